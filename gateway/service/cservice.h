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
    // Talks to the given service manager instead of the system's.
    explicit CService(plat::IServiceControl* control);
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

    // EntryFunction's outcome: started once the listener accepts (or its
    // port is being retried) and the threads run; failed when the gateway
    // cannot run at all, with the code that the stopped state reports.
    void EntryStarted();
    void EntryFailed(uint32_t exitCode, uint32_t specificCode);
    bool HasEntryFailed();

    // Set by EntryFunction on the entry thread; a stop request may read them
    // while they are still unset. The service main and the control handler
    // run on different threads, so every field that both touch is atomic.
    std::atomic<SMTPInListener*> m_SMTPIN{nullptr};
    std::atomic<SMTPOut*> m_SMTPOUT{nullptr};
    std::atomic<plat::ServiceStatusHandle> m_ServiceStatusHandle{0};

private:
    enum class EntryState { kStarting, kStarted, kFailed };

    void RunServiceMain();
    void HandleControl(uint32_t control);
    // A start-up status, unless a stop came first: 0 when the start ends here.
    int ReportStartStep(uint32_t state, uint32_t checkpoint, uint32_t waitHint);
    // Waits until the gateway is up, has failed, or a stop came.
    EntryState WaitForEntry();

    plat::CSystemServiceControl m_SystemControl;
    plat::IServiceControl* m_Control;
    std::string m_ServiceName;
    CEvent m_StopEvent;
    std::thread m_EntryThread;
    EntryFn m_EntryFunction = nullptr;
    uint32_t m_StartWaitHint = 10000;
    uint32_t m_StopWaitHint = 15000;
    // The last state reported, repeated for an interrogation.
    std::atomic<uint32_t> m_CurrentState{0};
    // Orders the status reports, so that no start-up state follows
    // STOP_PENDING and an interrogation repeats the state last reported.
    std::mutex m_StatusLock;
    std::atomic<bool> m_StopRequested{false};
    // The entry function's outcome, and the codes of a failed start.
    std::mutex m_EntryLock;
    std::condition_variable m_EntryChanged;
    EntryState m_EntryState = EntryState::kStarting;
    uint32_t m_ExitCode = 0;
    uint32_t m_SpecificExitCode = 0;
};
