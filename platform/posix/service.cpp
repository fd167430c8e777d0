// Service mode on Linux: the program runs as a service when systemd started
// it (NOTIFY_SOCKET or INVOCATION_ID in its environment).
#include <cerrno>
#include <cstdlib>

#include "platform/service.h"
#include "platform/system.h"

namespace plat {

bool RunServiceDispatcher(const char* /*name*/, ServiceMainFn serviceMain) {
    if (!std::getenv("NOTIFY_SOCKET") && !std::getenv("INVOCATION_ID")) {
        SetLastError(kErrFailedServiceControllerConnect);
        return false;
    }
    serviceMain();
    return true;
}

}  // namespace plat
