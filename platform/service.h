// The service manager: the Windows Service Control Manager, or systemd on
// Linux (service mode when systemd started the program; install and remove
// write and delete a unit file in QLSMTP_UNIT_DIR, default
// /etc/systemd/system, with absolute paths in it, and call systemctl
// whenever systemd runs).
#pragma once

#include <cstdint>
#include <string>

namespace plat {

constexpr int kErrFailedServiceControllerConnect = 1063;
constexpr int kErrServiceExists = 1073;
constexpr int kErrServiceDoesNotExist = 1060;

// Service states and controls, with their Windows values.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptShutdown = 4;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kErrorServiceSpecificError = 1066;

using ServiceMainFn = void (*)();
using ServiceCtrlFn = void (*)(uint32_t control);
using ServiceStatusHandle = intptr_t;

struct ServiceStatus {
    uint32_t serviceType = kServiceWin32OwnProcess;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

// Runs the service dispatcher with one service. The service main runs on a
// thread of its own and the control handler on the calling thread. Blocks
// until the service main has returned and returns true; returns false at
// once (last error 1063) when the program was not started by the service
// manager. On Linux, SIGTERM (and SIGINT) arrives at the control handler as
// the stop control; one that comes before the handler is registered is kept
// and delivered once the service has reported its first status.
bool RunServiceDispatcher(const char* name, ServiceMainFn serviceMain);

// Registers the control handler; 0 on failure (last error set).
ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceCtrlFn handler);
// Reports a status; false on failure (last error set). On Linux, RUNNING
// sends "READY=1" and STOP_PENDING "STOPPING=1" to NOTIFY_SOCKET when set.
bool SetServiceStatus(ServiceStatusHandle h, const ServiceStatus& status);

// What a running service asks of its service manager, as one interface:
// CService talks to the system's through CSystemServiceControl, and tests
// put a fake in its place.
class IServiceControl {
public:
    virtual ~IServiceControl() = default;
    virtual bool RunServiceDispatcher(const char* name, ServiceMainFn serviceMain) = 0;
    virtual ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceCtrlFn handler) = 0;
    virtual bool SetServiceStatus(ServiceStatusHandle h, const ServiceStatus& status) = 0;
};

class CSystemServiceControl final : public IServiceControl {
public:
    bool RunServiceDispatcher(const char* name, ServiceMainFn serviceMain) override {
        return plat::RunServiceDispatcher(name, serviceMain);
    }
    ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceCtrlFn handler) override {
        return plat::RegisterServiceCtrlHandler(name, handler);
    }
    bool SetServiceStatus(ServiceStatusHandle h, const ServiceStatus& status) override {
        return plat::SetServiceStatus(h, status);
    }
};

// Owns a handle of the service manager or of a service.
class CServiceHandle {
public:
    CServiceHandle() = default;
    ~CServiceHandle() { Close(); }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    intptr_t Get() const { return m_handle; }
    intptr_t* Put() {
        Close();
        return &m_handle;
    }
    bool IsOpen() const { return m_handle != 0; }
    void Close();

private:
    intptr_t m_handle = 0;
};

// Each returns 0 or the system error code (Windows' codes on both systems:
// 1060 no such service, 1073 it exists already, 5 access denied).
int OpenServiceManager(uint32_t access, CServiceHandle* scm);
int OpenServiceByName(const CServiceHandle& scm, const char* name, CServiceHandle* service);
// An automatically started own-process service under the local system
// account, with binaryPath as its whole command line.
int CreateAutoStartService(const CServiceHandle& scm, const char* name, const char* displayName,
                           const char* binaryPath, CServiceHandle* service);
int QueryServiceState(const CServiceHandle& service, uint32_t* state);
int DeleteService(const CServiceHandle& service);
// Sends a control; the status after it in *state. 0 or the error.
int ControlServiceByHandle(const CServiceHandle& service, uint32_t control, uint32_t* state);

// Access rights used by the gateway.
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kScManagerCreateService = 0x0002;

}  // namespace plat

// Starting a service, its full status and the services that depend on it:
// what the applet and the setup helper need to start and stop the gateway
// together with its dependants.
namespace plat {

constexpr int kErrMoreData = 234;
constexpr int kErrServiceAlreadyRunning = 1056;
constexpr int kErrServiceNotActive = 1062;
constexpr int kErrServiceLogonFailed = 1069;

// State filters of EnumServiceDependants.
constexpr uint32_t kServiceActive = 1;
constexpr uint32_t kServiceInactive = 2;

// One entry of a dependent-service list, laid out as Windows'
// ENUM_SERVICE_STATUSA: the names point into the same buffer.
struct DependentService {
    char* serviceName;
    char* displayName;
    ServiceStatus status;
};

int QueryServiceStatusFull(const CServiceHandle& service, ServiceStatus* status);
// Starts the service without arguments; 0 or the error (1056 when it runs).
int StartServiceByHandle(const CServiceHandle& service);
// Lists the services that depend on this one and are in the given state
// (kServiceActive or kServiceInactive) into buffer, size bytes: the entries
// first, their names after them. 234 when it does not fit, with *needed the
// size that does; 0 with *count entries.
int EnumServiceDependants(const CServiceHandle& service, uint32_t stateFilter, void* buffer, uint32_t size,
                          uint32_t* needed, uint32_t* count);

}  // namespace plat
