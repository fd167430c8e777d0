// The Service Control Manager: the dispatcher, the control handler and
// status reports of the running service, and the calls that install, remove,
// start and stop it.
#include "platform/win32/win.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/service.h"

namespace plat {

namespace {

// The dispatcher calls its service main and the handler without a context,
// so the one service of the process is kept here.
ServiceMainFn g_serviceMain = nullptr;
ServiceCtrlFn g_handler = nullptr;

// The dispatcher returns as soon as the service reports STOPPED, while the
// service main is still finishing on its own thread; the process must not
// end under it. How long to wait for it, should it never return.
constexpr auto kServiceMainEndWait = std::chrono::seconds(10);
std::mutex g_mainLock;
std::condition_variable g_mainEnded;
bool g_mainRunning = false;

void WINAPI DispatchedServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    {
        std::lock_guard<std::mutex> g(g_mainLock);
        g_mainRunning = true;
    }
    if (g_serviceMain) g_serviceMain();
    std::lock_guard<std::mutex> g(g_mainLock);
    g_mainRunning = false;
    g_mainEnded.notify_all();
}

void WINAPI DispatchedHandler(DWORD control) {
    if (g_handler) g_handler(control);
}

SC_HANDLE Sc(intptr_t h) { return reinterpret_cast<SC_HANDLE>(h); }

}  // namespace

bool RunServiceDispatcher(const char* name, ServiceMainFn serviceMain) {
    g_serviceMain = serviceMain;
    std::string serviceName(name ? name : "");
    SERVICE_TABLE_ENTRYA table[] = {
        {serviceName.data(), DispatchedServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherA(table)) return false;
    std::unique_lock<std::mutex> g(g_mainLock);
    g_mainEnded.wait_for(g, kServiceMainEndWait, [] { return !g_mainRunning; });
    return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceCtrlFn handler) {
    g_handler = handler;
    SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerA(name, DispatchedHandler);
    return reinterpret_cast<ServiceStatusHandle>(h);
}

bool SetServiceStatus(ServiceStatusHandle h, const ServiceStatus& status) {
    SERVICE_STATUS st;
    st.dwServiceType = status.serviceType;
    st.dwCurrentState = status.currentState;
    st.dwControlsAccepted = status.controlsAccepted;
    st.dwWin32ExitCode = status.win32ExitCode;
    st.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    st.dwCheckPoint = status.checkPoint;
    st.dwWaitHint = status.waitHint;
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(h), &st) != FALSE;
}

void CServiceHandle::Close() {
    if (m_handle != 0) CloseServiceHandle(Sc(m_handle));
    m_handle = 0;
}

int OpenServiceManager(uint32_t access, CServiceHandle* scm) {
    SC_HANDLE h = OpenSCManagerA(nullptr, nullptr, access);
    if (!h) return static_cast<int>(GetLastError());
    *scm->Put() = reinterpret_cast<intptr_t>(h);
    return 0;
}

int OpenServiceByName(const CServiceHandle& scm, const char* name, CServiceHandle* service) {
    SC_HANDLE h = OpenServiceA(Sc(scm.Get()), name, SERVICE_ALL_ACCESS);
    if (!h) return static_cast<int>(GetLastError());
    *service->Put() = reinterpret_cast<intptr_t>(h);
    return 0;
}

int CreateAutoStartService(const CServiceHandle& scm, const char* name, const char* displayName,
                           const char* binaryPath, CServiceHandle* service) {
    // An empty dependency list is a double NUL.
    SC_HANDLE h = CreateServiceA(Sc(scm.Get()), name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, "\0\0",
                                 nullptr, nullptr);
    if (!h) return static_cast<int>(GetLastError());
    *service->Put() = reinterpret_cast<intptr_t>(h);
    return 0;
}

int QueryServiceState(const CServiceHandle& service, uint32_t* state) {
    SERVICE_STATUS st;
    if (!QueryServiceStatus(Sc(service.Get()), &st)) return static_cast<int>(GetLastError());
    *state = st.dwCurrentState;
    return 0;
}

int DeleteService(const CServiceHandle& service) {
    return ::DeleteService(Sc(service.Get())) ? 0 : static_cast<int>(GetLastError());
}

int ControlServiceByHandle(const CServiceHandle& service, uint32_t control, uint32_t* state) {
    SERVICE_STATUS st;
    if (!ControlService(Sc(service.Get()), control, &st)) return static_cast<int>(GetLastError());
    *state = st.dwCurrentState;
    return 0;
}

}  // namespace plat
