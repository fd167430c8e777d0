#include "gateway/service/install.h"

#include "platform/system.h"

void InstallService() {
    plat::ShowMessage("Failed to Open NT Service Manager", "Error", plat::kIconNone);
}

void RemoveService() {
    plat::ShowMessage("Failed to Open NT Service Manager", "Error", plat::kIconNone);
}
