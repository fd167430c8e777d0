// Registration, start, stop and removal of the gateway service for
// installers.
#include "setup/setup_helper.h"

#include <cstring>
#include <string>
#include <utility>

#include "common/settings_names.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "setup/strings.h"

namespace qlsinstall {

namespace {

constexpr int kFailed = -3;
constexpr char kEventLogParent[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The setup helper's variant of the shared start and stop routine: no message
// of its own when a start fails (the caller's message 1 reports it).
const qlsmtp::CServiceControl::Style kControlStyle{nullptr, "Error"};

}  // namespace

CSetupHelper::CSetupHelper(qlsmtp::CServiceManager* manager, qlsmtp::ShowMessageFn show)
    : m_manager(manager ? *manager : qlsmtp::RealServiceManager()), m_show(std::move(show)) {}

std::string CSetupHelper::Text(unsigned id) {
    std::string text;
    if (plat::LoadOwnString(id, &text)) return text;
    switch (id) {
        case QLSINSTALL_START_FAILED: return QLSINSTALL_TEXT_1;
        case QLSINSTALL_CAPTION: return QLSINSTALL_TEXT_2;
        case QLSINSTALL_STOP_FAILED: return QLSINSTALL_TEXT_3;
        case QLSINSTALL_REMOVE_FAILED: return QLSINSTALL_TEXT_4;
        case QLSINSTALL_REGISTER_FAILED: return QLSINSTALL_TEXT_5;
        default: return std::string();
    }
}

void CSetupHelper::Show(const char* text, const char* caption, int icon) {
    if (m_show) {
        m_show(text, caption, icon);
    } else {
        plat::ShowMessage(text, caption, icon);
    }
}

void CSetupHelper::ShowString(unsigned id) {
    Show(Text(id).c_str(), Text(QLSINSTALL_CAPTION).c_str(), plat::kIconWarning);
}

int CSetupHelper::InitializeSMTPService(const char* path) {
    // Without a usable path the service would have no program to run.
    if (!path || !*path || std::strlen(path) >= plat::kMaxPath ||
        CreateSmtpService(qlsmtp::kServiceName, qlsmtp::kServiceName, path) != 0) {
        ShowString(QLSINSTALL_REGISTER_FAILED);
        return 0;
    }
    qlsmtp::CServiceControl control(kControlStyle, &m_manager, m_show);
    if (control.StartStopService(qlsmtp::kServiceName, 1) != 0) ShowString(QLSINSTALL_START_FAILED);
    return 0;
}

int CSetupHelper::UninstInitialize() {
    qlsmtp::CServiceControl control(kControlStyle, &m_manager, m_show);
    if (control.StartStopService(qlsmtp::kServiceName, 0) != 0) {
        ShowString(QLSINSTALL_STOP_FAILED);
        return 0;
    }
    if (RemoveSmtpService(qlsmtp::kServiceName) != 0) ShowString(QLSINSTALL_REMOVE_FAILED);
    return 0;
}

int CSetupHelper::CreateSmtpService(const char* name, const char* displayName, const char* path) {
    qlsmtp::CScHandle scm(m_manager), service(m_manager);
    if (m_manager.OpenManager(scm.Put()) != 0) return kFailed;
    // An existing registration is left as it is.
    if (m_manager.OpenServiceNamed(scm.Get(), name, service.Put()) == 0) return kFailed;
    if (m_manager.Create(scm.Get(), name, displayName, path, service.Put()) != 0) return kFailed;
    plat::CRegKey key;
    if (key.Open((std::string(kEventLogParent) + name).c_str(), true) != 0) return kFailed;
    const uint32_t types = 7;  // error, warning and information
    const plat::RegWrite values[] = {
        {"EventMessageFile", plat::kRegExpandSz, path, static_cast<uint32_t>(std::strlen(path) + 1)},
        {"TypesSupported", plat::kRegDword, &types, sizeof(types)},
    };
    if (key.SetValues(values, 2) != 0) return kFailed;
    return 0;
}

int CSetupHelper::RemoveSmtpService(const char* name) {
    qlsmtp::CScHandle scm(m_manager), service(m_manager);
    if (m_manager.OpenManager(scm.Put()) != 0) return kFailed;
    if (m_manager.OpenServiceNamed(scm.Get(), name, service.Put()) != 0) return kFailed;
    plat::ServiceStatus status;
    if (m_manager.QueryStatus(service.Get(), &status) != 0 || status.currentState != plat::kServiceStopped)
        return kFailed;
    if (m_manager.Delete(service.Get()) != 0) Show("Failed To Remove Service", "Warning", plat::kIconNone);
    return 0;
}

}  // namespace qlsinstall
