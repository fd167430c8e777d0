// The setup helper: registers the gateway as a service and starts it for an
// installer, and stops and removes it for an uninstaller. Failures reach the
// user in message boxes only; every export returns 0.
#pragma once

#include <string>

#include "common/service_control.h"

namespace qlsinstall {

class CSetupHelper {
public:
    // manager null: the platform's. show null: plat::ShowMessage.
    explicit CSetupHelper(qlsmtp::CServiceManager* manager = nullptr, qlsmtp::ShowMessageFn show = nullptr);

    // Registers "Quillon SMTP Server" with path as its program and its
    // event-log source, then starts it. A missing, empty or over-long path
    // registers nothing.
    int InitializeSMTPService(const char* path);
    // Stops the service and its dependants, then deletes it.
    int UninstInitialize();

    // 0, or -3 when anything failed; an existing service is never changed.
    int CreateSmtpService(const char* name, const char* displayName, const char* path);
    // 0, or -3 unless the service was found stopped. A refused deletion
    // shows its own message and still gives 0.
    int RemoveSmtpService(const char* name);

    // A text of the string table: the module's own resource where there is
    // one, else the same text compiled in.
    static std::string Text(unsigned id);

private:
    void ShowString(unsigned id);
    void Show(const char* text, const char* caption, int icon);

    qlsmtp::CServiceManager& m_manager;
    qlsmtp::ShowMessageFn m_show;
};

}  // namespace qlsinstall
