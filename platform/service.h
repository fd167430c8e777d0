// The service manager: the Windows Service Control Manager, or systemd on
// Linux (service mode when systemd started the program).
#pragma once

#include <cstdint>

namespace plat {

constexpr int kErrFailedServiceControllerConnect = 1063;

using ServiceMainFn = void (*)();

// Runs the service dispatcher with one service; blocks until the service has
// stopped and returns true, or returns false at once (last error 1063) when
// the program was not started by the service manager.
bool RunServiceDispatcher(const char* name, ServiceMainFn serviceMain);

}  // namespace plat
