// Service control: status reports to the service manager, the entry thread
// and the stop path.
#include "gateway/service/cservice.h"

#include <chrono>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_out/smtp_out.h"
#include "platform/eventlog.h"
#include "platform/system.h"

namespace {
// The service manager calls the service main and the handler without any
// context; they reach the object through this.
CService* g_Service = nullptr;
}  // namespace

void CEvent::Set() {
    std::lock_guard<std::mutex> g(m_lock);
    m_set = true;
    m_cond.notify_all();
}

bool CEvent::Wait(int ms) {
    std::unique_lock<std::mutex> g(m_lock);
    if (ms < 0) {
        m_cond.wait(g, [this] { return m_set; });
        return true;
    }
    return m_cond.wait_for(g, std::chrono::milliseconds(ms), [this] { return m_set; });
}

CService::CService() : m_Control(&m_SystemControl) { DLOG("CService::CService.\r\n"); }

CService::CService(plat::IServiceControl* control) : m_Control(control) { DLOG("CService::CService.\r\n"); }

CService::~CService() {
    if (m_EntryThread.joinable()) m_EntryThread.detach();
    DLOG("CService::~CService.\r\n");
}

int CService::InitService(const char* name, EntryFn entry) {
    g_Service = this;
    m_EntryFunction = entry;
    m_ServiceName = name;
    DLOG("Before dispatcher in Initservice.\r\n");
    return m_Control->RunServiceDispatcher(name, ServiceMain) ? 1 : 0;
}

int CService::SCMStatus(uint32_t state, uint32_t exitCode, uint32_t specificCode, uint32_t checkpoint,
                        uint32_t waitHint) {
    DLOG("SCMStatus begin.\r\n");
    plat::ServiceStatus st;
    st.serviceType = plat::kServiceWin32OwnProcess;
    st.currentState = state;
    // Stop is taken in every state, the start-up included, so that a stop
    // is never refused or held back.
    st.controlsAccepted = plat::kServiceAcceptStop | plat::kServiceAcceptShutdown;
    st.win32ExitCode = specificCode != 0 ? plat::kErrorServiceSpecificError : exitCode;
    st.serviceSpecificExitCode = specificCode;
    st.checkPoint = checkpoint;
    st.waitHint = waitHint;
    DLOG("SCMStatus :before SetServiceStatus.\r\n");
    bool ok = m_Control->SetServiceStatus(m_ServiceStatusHandle, st);
    DLOG("SCMStatus :after SetServiceStatus.\r\n");
    if (ok) {
        m_CurrentState = state;
    } else {
        DLOG("SCMStatus failed . .. so will stop the service.\r\n");
        OnStopService();
    }
    DLOG("SCMStatus : Leaving.\r\n");
    return ok ? 1 : 0;
}

int CService::ReportStartStep(uint32_t state, uint32_t checkpoint, uint32_t waitHint) {
    std::lock_guard<std::mutex> g(m_StatusLock);
    if (m_StopRequested) return 0;
    return SCMStatus(state, 0, 0, checkpoint, waitHint);
}

void CService::ServiceMain() {
    if (g_Service) g_Service->RunServiceMain();
}

void CService::RunServiceMain() {
    DLOG("Entered 'SmtpService' Service main.\r\n");
    m_ServiceStatusHandle = m_Control->RegisterServiceCtrlHandler(m_ServiceName.c_str(), ServiceCtrlHandler);
    if (m_ServiceStatusHandle == 0) {
        int err = plat::LastError();
        DLOG("Unable to register our details with SCM.\r\n");
        ReportServiceEvent(plat::kEventError, 423, m_ServiceName.c_str());
        Exit(err);
        return;
    }
    DLOG("Smtpservice: Registered our details with the SCM.\r\n");
    if (!ReportStartStep(plat::kServiceStartPending, 1, 8000)) {
        Exit(plat::LastError());
        return;
    }
    DLOG("Smtpservice: SCMStatus - SERVICE_START_PENDING1.\r\n");
    DLOG("Smtpservice: Created event for Error conditions.\r\n");
    if (!ReportStartStep(plat::kServiceStartPending, 3, m_StartWaitHint)) {
        Exit(plat::LastError());
        return;
    }
    DLOG("Smtpservice: Before calling the SCMStatus - OnStartService.\r\n");
    if (!OnStartService()) {
        Exit(plat::LastError());
        return;
    }
    // Running is reported once the gateway accepts mail, and never after a
    // stop has come: the stop event is then set and the wait below ends.
    if (WaitForEntry() == EntryState::kFailed) {
        DLOG("Smtpservice: the gateway could not start.\r\n");
        Exit(1);
        return;
    }
    ReportStartStep(plat::kServiceRunning, 0, 0);
    DLOG("Smtpservice: Before Entering into the wait mode.\r\n");
    m_StopEvent.Wait();
    DLOG("Smtpservice: Leaving the Service main.\r\n");
    Exit(0);
}

int CService::OnStartService() {
    DLOG("OnStartService:creating a thread with user fn.\r\n");
    try {
        m_EntryThread = std::thread(m_EntryFunction, this);
    } catch (...) {
        // std::thread reports a failed start only this way.
        DLOG("OnStartService: unable to creating a thread with user fn.\r\n");
        return 0;
    }
    DLOG("OnStartService: successfully created a thread.\r\n");
    return 1;
}

void CService::EntryStarted() {
    std::lock_guard<std::mutex> g(m_EntryLock);
    m_EntryState = EntryState::kStarted;
    m_EntryChanged.notify_all();
}

void CService::EntryFailed(uint32_t exitCode, uint32_t specificCode) {
    std::lock_guard<std::mutex> g(m_EntryLock);
    m_EntryState = EntryState::kFailed;
    m_ExitCode = exitCode;
    m_SpecificExitCode = specificCode;
    m_EntryChanged.notify_all();
}

bool CService::HasEntryFailed() {
    std::lock_guard<std::mutex> g(m_EntryLock);
    return m_EntryState == EntryState::kFailed;
}

CService::EntryState CService::WaitForEntry() {
    std::unique_lock<std::mutex> g(m_EntryLock);
    m_EntryChanged.wait(g, [this] { return m_EntryState != EntryState::kStarting || m_StopRequested; });
    return m_EntryState;
}

void CService::ServiceCtrlHandler(uint32_t control) {
    if (g_Service) g_Service->HandleControl(control);
}

void CService::HandleControl(uint32_t control) {
    DLOG("SmtpService : Entering ServiceCtrlHandler.\r\n");
    if (control == plat::kServiceControlStop || control == plat::kServiceControlShutdown) {
        if (control == plat::kServiceControlStop)
            DLOG("SmtpService : ServiceCtrlHandler received SERVICE_CONTROL_STOP control code.\r\n");
        {
            // From here on the start-up reports nothing more.
            std::lock_guard<std::mutex> g(m_StatusLock);
            m_StopRequested = true;
            SCMStatus(plat::kServiceStopPending, 0, 0, 1, m_StopWaitHint);
        }
        DLOG("SmtpService : ServiceCtrlHandler will stop the service.\r\n");
        OnStopService();
        DLOG("SmtpService : ServiceCtrlHandler stopped the service.\r\n");
        return;
    }
    DLOG("SmtpService : ServiceCtrlHandler received unknown control code.\r\n");
    {
        // Interrogation and every other control: the current status again.
        std::lock_guard<std::mutex> g(m_StatusLock);
        if (uint32_t state = m_CurrentState.load(); state != 0) SCMStatus(state, 0, 0, 0, 0);
    }
    DLOG("SmtpService : Leaving ServiceCtrlHandler.\r\n");
}

void CService::OnStopService() {
    DLOG("OnStopService: Will set the stop event and stop the service.\r\n");
    {
        std::lock_guard<std::mutex> g(m_EntryLock);
        m_StopRequested = true;
        m_EntryChanged.notify_all();
    }
    ReportServiceEvent(plat::kEventInformation, 428, qlsmtp::kServiceName);
    if (SMTPInListener* in = m_SMTPIN.load()) {
        in->SetStopFlag();
        in->ReleaseAcceptThread();
    } else {
        DLOG("CServ->m_SMTPIN->m_AcceptThread is invalid");
    }
    if (SMTPOut* out = m_SMTPOUT.load()) {
        // No new send starts; a send in progress ends with the process.
        out->RequestShutdown();
    } else {
        DLOG("CServ->m_SMTPOUT->m_MainThreadID is invalid");
    }
    m_StopEvent.Set();
    DLOG("OnStopService: set the stop event.\r\n");
}

void CService::Exit(int error) {
    DLOG("CService::Exit : Entering .\r\n");
    if (m_ServiceStatusHandle != 0) {
        // A start that failed says so in the stopped state; a stop is clean.
        uint32_t exitCode, specificCode;
        {
            std::lock_guard<std::mutex> g(m_EntryLock);
            exitCode = m_ExitCode;
            specificCode = m_SpecificExitCode;
        }
        std::lock_guard<std::mutex> g(m_StatusLock);
        SCMStatus(plat::kServiceStopped, exitCode, specificCode, 0, 0);
        DLOGF("Error value in exit function :%d\r\n", error);
        DLOG("CService::Exit : m_ServiceStatusHandle is not NULL.\r\n");
    }
    if (m_EntryThread.joinable()) {
        DLOG("CService::Exit : Closing the Thread.\r\n");
        m_EntryThread.detach();
        DLOG("CService::Exit : Closed the Thread.\r\n");
    }
    DLOG("CService::Exit : Leaving.\r\n");
}
