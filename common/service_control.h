// Starting and stopping a service together with the services that depend on
// it, waiting until it has reached the wanted state. The configuration applet
// and the setup helper share this routine; they differ only in the messages
// of CServiceControl::Style.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/service.h"

namespace qlsmtp {

// The service manager as the routine uses it. This one forwards to the
// platform layer and the real clock; tests put a fake in its place. Handles
// are the manager's own values, released with Close.
class CServiceManager {
public:
    virtual ~CServiceManager() = default;
    virtual int OpenManager(intptr_t* scm);
    virtual int OpenServiceNamed(intptr_t scm, const char* name, intptr_t* service);
    virtual void Close(intptr_t handle);
    virtual int QueryStatus(intptr_t service, plat::ServiceStatus* status);
    virtual int Start(intptr_t service);
    virtual int Control(intptr_t service, uint32_t control);
    virtual int EnumDependents(intptr_t service, uint32_t stateFilter, void* buffer, uint32_t size,
                               uint32_t* needed, uint32_t* count);
    // Wall-clock seconds, and a sleep.
    virtual int64_t NowSeconds();
    virtual void Sleep(uint32_t ms);
    // Registration, for the setup helper: an automatically started
    // own-process service under the local system account with path as its
    // whole command line, and its deletion.
    virtual int Create(intptr_t scm, const char* name, const char* displayName, const char* path,
                       intptr_t* service);
    virtual int Delete(intptr_t service);
};

// The manager of the platform layer.
CServiceManager& RealServiceManager();

// Closes a handle of a CServiceManager when it goes.
class CScHandle {
public:
    explicit CScHandle(CServiceManager& manager) : m_manager(manager) {}
    ~CScHandle() { Close(); }
    CScHandle(const CScHandle&) = delete;
    CScHandle& operator=(const CScHandle&) = delete;
    intptr_t Get() const { return m_handle; }
    intptr_t* Put() {
        Close();
        return &m_handle;
    }
    void Close() {
        if (m_handle) m_manager.Close(m_handle);
        m_handle = 0;
    }

private:
    CServiceManager& m_manager;
    intptr_t m_handle = 0;
};

using ShowMessageFn = std::function<void(const char* text, const char* caption, int icon)>;

class CServiceControl {
public:
    struct Style {
        // Shown with the stop icon when the start request fails or the
        // service does not reach running; nullptr shows nothing.
        const char* startFailedText;
        // Caption of that message and of "Memory allocation failed".
        const char* caption;
    };

    // Results of StartStopService and WaitForServiceState.
    static constexpr int kOk = 0;
    static constexpr int kFailed = -1;
    static constexpr int kLogonFailed = -2;
    static constexpr int kTimedOut = -3;
    static constexpr int64_t kWaitLimitSeconds = 100;

    // manager null: the platform's. show null: plat::ShowMessage.
    CServiceControl(const Style& style, CServiceManager* manager = nullptr, ShowMessageFn show = nullptr);

    // Brings the named service to running (start 1) or stopped (start 0);
    // kOk, kFailed, kLogonFailed or kTimedOut.
    int StartStopService(const char* name, int start);
    // The dependants that are stopped (start 1) or running (start 0), in the
    // order the manager lists them; non-zero when the list was obtained.
    int ListDependentServices(intptr_t service, int start, std::unique_ptr<char[]>* list, uint32_t* count);
    // kOk once the service is in the state, kTimedOut after 100 seconds.
    int WaitForServiceState(intptr_t service, uint32_t state);

private:
    void Show(const char* text, const char* caption, int icon);

    Style m_style;
    CServiceManager& m_manager;
    ShowMessageFn m_show;
    // The error of the last failed call, as the thread's last error would
    // hold it: cleared where a step starts afresh.
    int m_lastError = 0;
};

}  // namespace qlsmtp
