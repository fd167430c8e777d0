// qlsmtpcg on Linux: the configuration dialog's logic as a command. Without
// options it shows the five settings (and the optional outgoing ones and
// receive limits that are set); with options it checks and saves them as the dialog's OK button
// does, stopping and restarting the gateway's systemd unit around the save
// when it is installed.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "applet/config.h"
#include "applet/strings.h"
#include "common/settings_names.h"

namespace {

const char kUsage[] =
    "usage: qlsmtpcg [--domain NAME] [--dns SERVER] [--data-dir FOLDER] [--rx-port N] [--tx-port N] [--yes]\n"
    "                [--smarthost HOST[:PORT]] [--retry-minutes \"W2 W3 W4 W5\"]\n"
    "                [--allowed-clients NETWORKS] [--allowed-senders PATTERNS] [--max-message-size BYTES]\n"
    "Without options the settings are shown. The settings file is $QLSMTP_REGISTRY\n"
    "(default /var/lib/qlsmtp/registry.reg). An empty --smarthost, --retry-minutes,\n"
    "--allowed-clients or --allowed-senders, or --max-message-size 0, removes that setting.\n";

// Messages go to standard error as "qlsmtpcg: text"; the control texts are
// the current settings with the options laid over them.
class CConsoleUi : public qlsmtpcg::CAppletUi {
public:
    bool m_yes = false;
    std::map<int, std::string> m_options;

    int Message(const char* text, unsigned type) override {
        if ((type & 0xF) != qlsmtpcg::kMbYesNo) {
            std::fprintf(stderr, "%s: %s\n", qlsmtpcg::kCaption, text);
            return qlsmtpcg::kIdOk;
        }
        std::fprintf(stderr, "%s: %s [y/N] ", qlsmtpcg::kCaption, text);
        if (m_yes) {
            std::fprintf(stderr, "y\n");
            return qlsmtpcg::kIdYes;
        }
        std::fflush(stderr);
        char line[64];
        if (!std::fgets(line, sizeof(line), stdin)) {
            std::fprintf(stderr, "\n");
            return 7;
        }
        return (line[0] == 'y' || line[0] == 'Y') ? qlsmtpcg::kIdYes : 7;
    }
    std::string GetControlText(int id) override {
        auto o = m_options.find(id);
        return o != m_options.end() ? o->second : m_controls[id];
    }
    void SetControlText(int id, const std::string& text) override { m_controls[id] = text; }

private:
    std::map<int, std::string> m_controls;
};

}  // namespace

int main(int argc, char** argv) {
    CConsoleUi ui;
    const struct {
        const char* option;
        int control;
    } options[] = {{"--domain", IDC_DOMAIN},  {"--dns", IDC_DNS},         {"--data-dir", IDC_DATA_DIR},
                   {"--rx-port", IDC_RX_PORT}, {"--tx-port", IDC_TX_PORT}};
    // Optional values that the dialog has no field for.
    const struct {
        const char* option;
        const char* value;
    } optional[] = {{"--smarthost", qlsmtp::kValSmartHost},
                    {"--retry-minutes", qlsmtp::kValRetryMinutes},
                    {"--allowed-clients", qlsmtp::kValAllowedClients},
                    {"--allowed-senders", qlsmtp::kValAllowedSenders},
                    {"--max-message-size", qlsmtp::kValMaxMessageSize}};
    std::map<std::string, std::string> changes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--yes") == 0) {
            ui.m_yes = true;
            continue;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        bool known = false;
        for (const auto& o : options) {
            if (std::strcmp(argv[i], o.option) != 0) continue;
            if (i + 1 >= argc) break;
            ui.m_options[o.control] = argv[++i];
            known = true;
        }
        for (const auto& o : optional) {
            if (known || std::strcmp(argv[i], o.option) != 0) continue;
            if (i + 1 >= argc) break;
            changes[o.value] = argv[++i];
            known = true;
        }
        if (!known) {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }

    qlsmtpcg::CConfigDialog dialog(ui);
    int keyOpened = dialog.ReadSettings();
    if (ui.m_options.empty() && changes.empty()) {
        if (!keyOpened) return 1;
        std::printf("Domain name: %s\nDNS server: %s\nData directory: %s\nReceive port: %u\nSend port: %u\n",
                    dialog.m_DomainName.c_str(), dialog.m_DNSName.c_str(), dialog.m_DataDirectory.c_str(),
                    dialog.m_RxPort, dialog.m_TxPort);
        std::string text;
        if (dialog.ReadOptionalValue(qlsmtp::kValSmartHost, &text)) std::printf("Smarthost: %s\n", text.c_str());
        if (dialog.ReadOptionalValue(qlsmtp::kValRetryMinutes, &text))
            std::printf("Retry minutes: %s\n", text.c_str());
        if (dialog.ReadOptionalValue(qlsmtp::kValAllowedClients, &text))
            std::printf("Allowed clients: %s\n", text.c_str());
        if (dialog.ReadOptionalValue(qlsmtp::kValAllowedSenders, &text))
            std::printf("Allowed senders: %s\n", text.c_str());
        if (dialog.ReadOptionalValue(qlsmtp::kValMaxMessageSize, &text))
            std::printf("Largest message: %s bytes\n", text.c_str());
        return 0;
    }
    if (!keyOpened) {
        dialog.Message(IDS_NOT_INSTALLED_CORRECTLY);
        return 1;
    }
    dialog.DoDataExchange(false);
    // A refused value saves nothing: a script sees the message and status 1.
    if (!dialog.DoDataExchange(true)) return 1;
    for (const auto& [name, text] : changes)
        if (!dialog.CheckOptionalValue(name, text)) return 1;
    dialog.m_OptionalChanges = changes;
    if (dialog.GetServiceState(true) == 0) {
        // Unlike the dialog, the command needs no service: on Linux the
        // gateway often runs from a console.
        std::fprintf(stderr, "%s: %s; the settings are saved directly\n", qlsmtpcg::kCaption,
                     TEXT_SERVICE_NOT_INSTALLED);
        return dialog.SaveSettingsDirectly() ? 0 : 1;
    }
    return dialog.OnOK() ? 0 : 1;
}
