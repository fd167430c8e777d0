// Service mode on Windows: the Service Control Manager's dispatcher.
#include "platform/win32/win.h"

#include <string>

#include "platform/service.h"

namespace plat {

namespace {

// The dispatcher calls its service main without a context, so the one
// service of the process is kept here.
ServiceMainFn g_serviceMain = nullptr;

void WINAPI DispatchedServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    if (g_serviceMain) g_serviceMain();
}

}  // namespace

bool RunServiceDispatcher(const char* name, ServiceMainFn serviceMain) {
    g_serviceMain = serviceMain;
    std::string serviceName(name ? name : "");
    SERVICE_TABLE_ENTRYA table[] = {
        {serviceName.data(), DispatchedServiceMain},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherA(table) != FALSE;
}

}  // namespace plat
