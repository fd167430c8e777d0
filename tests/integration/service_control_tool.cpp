// Sends one control to a service through the service manager and prints the
// state it reports afterwards ("STATE : <n>"). The Wine integration test
// uses it for controls that Wine's sc.exe cannot send (interrogate).
// Usage: qlsvcctl <control number> <service name>
// Exit status: 0 sent, 2 usage, 3 manager not opened, 4 service not
// opened, 5 control failed (the error is printed).
#include <cstdio>
#include <cstdlib>

#include "platform/service.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qlsvcctl <control> <service name>\n");
        return 2;
    }
    const auto control = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    plat::CServiceHandle scm;
    if (int err = plat::OpenServiceManager(plat::kScManagerAllAccess, &scm); err != 0) {
        std::fprintf(stderr, "OpenSCManager: %d\n", err);
        return 3;
    }
    plat::CServiceHandle service;
    if (int err = plat::OpenServiceByName(scm, argv[2], &service); err != 0) {
        std::fprintf(stderr, "OpenService: %d\n", err);
        return 4;
    }
    uint32_t state = 0;
    if (int err = plat::ControlServiceByHandle(service, control, &state); err != 0) {
        std::fprintf(stderr, "ControlService: %d\n", err);
        return 5;
    }
    std::printf("STATE : %u\n", static_cast<unsigned>(state));
    return 0;
}
