// Starting a service and listing its dependants through the Service Control
// Manager.
#include "platform/win32/win.h"

#include <cstddef>

#include "platform/service.h"

namespace plat {

static_assert(sizeof(DependentService) == sizeof(ENUM_SERVICE_STATUSA));
static_assert(offsetof(DependentService, status) == offsetof(ENUM_SERVICE_STATUSA, ServiceStatus));
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));

namespace {
SC_HANDLE ScOf(const CServiceHandle& h) { return reinterpret_cast<SC_HANDLE>(h.Get()); }
}  // namespace

int QueryServiceStatusFull(const CServiceHandle& service, ServiceStatus* status) {
    SERVICE_STATUS st;
    if (!QueryServiceStatus(ScOf(service), &st)) return static_cast<int>(GetLastError());
    status->serviceType = st.dwServiceType;
    status->currentState = st.dwCurrentState;
    status->controlsAccepted = st.dwControlsAccepted;
    status->win32ExitCode = st.dwWin32ExitCode;
    status->serviceSpecificExitCode = st.dwServiceSpecificExitCode;
    status->checkPoint = st.dwCheckPoint;
    status->waitHint = st.dwWaitHint;
    return 0;
}

int StartServiceByHandle(const CServiceHandle& service) {
    return StartServiceA(ScOf(service), 0, nullptr) ? 0 : static_cast<int>(GetLastError());
}

int EnumServiceDependants(const CServiceHandle& service, uint32_t stateFilter, void* buffer, uint32_t size,
                          uint32_t* needed, uint32_t* count) {
    DWORD need = 0, n = 0;
    BOOL ok = EnumDependentServicesA(ScOf(service), stateFilter, static_cast<LPENUM_SERVICE_STATUSA>(buffer), size,
                                     &need, &n);
    *needed = need;
    *count = ok ? n : 0;
    return ok ? 0 : static_cast<int>(GetLastError());
}

}  // namespace plat
