// The gateway as a service: the service manager's protocol around
// EntryFunction.
#pragma once

#include <string>

class SMTPInListener;
class SMTPOut;
class CService;

using EntryFn = void (*)(CService*);

class CService {
public:
    CService();
    ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Runs the dispatcher; non-zero after the service ran and stopped, zero
    // when the program was not started by the service manager.
    int InitService(const char* name, EntryFn entry);

    SMTPInListener* m_SMTPIN = nullptr;
    SMTPOut* m_SMTPOUT = nullptr;

private:
    static void ServiceMain();
    std::string m_ServiceName;
    EntryFn m_EntryFunction = nullptr;
};
