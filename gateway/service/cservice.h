// The gateway as a service: the service manager's protocol around
// EntryFunction, and the stop path.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/service.h"

class SMTPInListener;
class SMTPOut;
class CService;

using EntryFn = void (*)(CService*);

// A manual-reset event.
class CEvent {
public:
    void Set();
    // Waits until set, or at most ms when ms >= 0; true when set.
    bool Wait(int ms = -1);

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_set = false;
};

class CService {
public:
    CService();
    ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Runs the dispatcher; non-zero after the service ran and stopped, zero
    // when the program was not started by the service manager.
    int InitService(const char* name, EntryFn entry);

    static void ServiceMain();
    static void ServiceCtrlHandler(uint32_t control);
    int OnStartService();
    void OnStopService();
    int SCMStatus(uint32_t state, uint32_t exitCode, uint32_t specificCode, uint32_t checkpoint,
                  uint32_t waitHint);
    void Exit(int error);

    // Called by EntryFunction once the listener is bound and the threads run.
    void EntryStarted() { m_EntryStarted.Set(); }

    // Set by EntryFunction on the entry thread; a stop request may read them
    // while they are still unset. The service main and the control handler
    // run on different threads, so every field that both touch is atomic.
    std::atomic<SMTPInListener*> m_SMTPIN{nullptr};
    std::atomic<SMTPOut*> m_SMTPOUT{nullptr};
    plat::ServiceStatusHandle m_ServiceStatusHandle = 0;

private:
    void RunServiceMain();
    void HandleControl(uint32_t control);

    std::string m_ServiceName;
    CEvent m_StopEvent;
    CEvent m_EntryStarted;
    std::thread m_EntryThread;
    EntryFn m_EntryFunction = nullptr;
    uint32_t m_StartWaitHint = 10000;
    uint32_t m_StopWaitHint = 15000;
    // The last state reported, repeated for an interrogation.
    std::atomic<uint32_t> m_CurrentState{0};
};
