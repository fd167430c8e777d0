// Installing and removing the gateway as a service. Both report to the user
// in message boxes, since they run from a prompt.
#include "gateway/service/install.h"

#include <string>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/system.h"

namespace {
void Box(const char* text, const char* caption) { plat::ShowMessage(text, caption, plat::kIconNone); }
}  // namespace

void InstallService() {
    std::string path;
    if (plat::GetModulePath(&path) != 0 || path.size() >= 512) {
        DLOG("Unable to get the module path name.");
        Box("Unable to get the module path name", "ERROR");
        return;
    }
    plat::CServiceHandle scm;
    if (plat::OpenServiceManager(plat::kScManagerAllAccess, &scm) != 0) {
        Box("Failed to Open NT Service Manager", "Error");
        return;
    }
    plat::CServiceHandle service;
    if (plat::OpenServiceByName(scm, qlsmtp::kServiceName, &service) == 0) {
        Box("Installation: Service Is already installed!! ", "Error");
        return;
    }
    if (plat::CreateAutoStartService(scm, qlsmtp::kServiceName, qlsmtp::kServiceName, path.c_str(), &service) !=
        0) {
        Box("Failed to Install NT Service", "Error");
        return;
    }
    plat::CRegKey key;
    if (key.Open(qlsmtp::kEventLogKey, true) != 0 ||
        key.SetValue("EventMessageFile", plat::kRegExpandSz, path.c_str(), static_cast<uint32_t>(path.size() + 1)) !=
            0 ||
        key.SetDword("TypesSupported", 7) != 0) {
        // A half-made install is undone: the service goes again.
        key.Close();
        plat::DeleteService(service);
        Box("Unable to Install Event Log for the Service", "Error");
        return;
    }
    key.Close();
    ReportServiceEvent(plat::kEventInformation, 420, qlsmtp::kServiceName);
    Box("Service Successfully Installed", "Finished");
}

void RemoveService() {
    plat::CServiceHandle scm;
    if (plat::OpenServiceManager(plat::kScManagerCreateService, &scm) != 0) {
        Box("Failed to Open NT Service Manager", "Error");
        return;
    }
    plat::CServiceHandle service;
    if (plat::OpenServiceByName(scm, qlsmtp::kServiceName, &service) != 0) {
        Box("Failed to Locate Installed Service", "Error");
        return;
    }
    uint32_t state = 0;
    if (plat::QueryServiceState(service, &state) != 0) {
        Box("Failed to QUERRY the Installed Service", "Error");
        return;
    }
    if (state != plat::kServiceStopped) {
        Box("Service is RUNNING.First STOP it to uninstall the SERVICE!!", "Error");
        return;
    }
    if (plat::DeleteService(service) == 0) {
        plat::EventSourceHandle source = plat::RegisterEventSource(qlsmtp::kServiceName);
        if (source != plat::kNoEventSource) {
            const char* strings[] = {qlsmtp::kServiceName};
            plat::ReportEvent(source, plat::kEventInformation, 421, strings, 1);
            plat::DeregisterEventSource(source);
        }
        Box("Service Removed !!, Please Reboot To Finish", "Finished");
    } else {
        ReportServiceEvent(plat::kEventError, 422, qlsmtp::kServiceName);
        Box("Failed To Remove Service", "Warning");
    }
}
