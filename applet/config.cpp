// The configuration dialog's logic (see config.h).
#include "applet/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "applet/strings.h"
#include "common/outgoing_settings.h"
#include "common/receive_policy.h"
#include "common/settings_names.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"

namespace qlsmtpcg {

namespace {

constexpr int kEventSettingsSaved = 436;
constexpr uint32_t kBufferSize = 260;

}  // namespace

const char* AppletText(int id) {
    switch (id) {
        case IDS_NO_DOMAIN: return TEXT_NO_DOMAIN;
        case IDS_NO_PROGRAM_PATH: return TEXT_NO_PROGRAM_PATH;
        case IDS_NO_DNS: return TEXT_NO_DNS;
        case IDS_NOT_INSTALLED_CORRECTLY: return TEXT_NOT_INSTALLED_CORRECTLY;
        case IDS_RESTART_QUESTION: return TEXT_RESTART_QUESTION;
        case IDS_INVALID_PATH: return TEXT_INVALID_PATH;
        case IDS_KEY_NOT_OPENED: return TEXT_KEY_NOT_OPENED;
        case IDS_NO_SERVICE_MANAGER: return TEXT_NO_SERVICE_MANAGER;
        case IDS_SERVICE_NOT_INSTALLED: return TEXT_SERVICE_NOT_INSTALLED;
        case IDS_BROWSE_TITLE: return TEXT_BROWSE_TITLE;
        case IDS_NO_MEMORY: return TEXT_NO_MEMORY;
        case IDS_START_FAILED: return TEXT_START_FAILED;
        case IDS_STOP_FAILED: return TEXT_STOP_FAILED;
        case IDS_NO_RX_PORT: return TEXT_NO_RX_PORT;
        case IDS_NO_TX_PORT: return TEXT_NO_TX_PORT;
        default: return "";
    }
}

void CDataExchange::Fail(int id, const std::string& text) {
    m_ui.Message(text.c_str(), kMbOk | kMbIconExclamation);
    m_ui.FocusControl(id);
    m_failed = true;
}

void CDataExchange::Text(int id, std::string* value, size_t maxChars, bool withSeparator) {
    if (m_failed) return;
    if (!m_save) {
        m_ui.SetControlText(id, *value);
        return;
    }
    std::string text = m_ui.GetControlText(id);
    size_t length = text.size();
    if (withSeparator && !text.empty() && text.back() != plat::kPathSep) ++length;
    if (length > maxChars) {
        Fail(id, "Please enter no more than " + std::to_string(maxChars) + " characters.");
        return;
    }
    *value = text;
}

void CDataExchange::UInt(int id, uint32_t* value, uint32_t min, uint32_t max) {
    if (m_failed) return;
    if (!m_save) {
        m_ui.SetControlText(id, std::to_string(*value));
        return;
    }
    // Blanks around the digits are allowed, nothing else.
    std::string text = m_ui.GetControlText(id);
    size_t at = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    uint64_t n = 0;
    bool number = at != std::string::npos;
    for (size_t i = at; number && i <= end; ++i) {
        if (text[i] < '0' || text[i] > '9') number = false;
        n = n * 10 + static_cast<uint64_t>(text[i] - '0');
        if (n > 0xFFFFFFFFull) number = false;
    }
    if (!number) {
        Fail(id, "Please enter a positive integer.");
        return;
    }
    if (n < min || n > max) {
        Fail(id, "Please enter an integer between " + std::to_string(min) + " and " + std::to_string(max) + ".");
        return;
    }
    *value = static_cast<uint32_t>(n);
}

HtmlHelpCall TranslateHelpCommand(uint32_t winHelpCommand, uintptr_t data) {
    switch (winHelpCommand) {
        case 1: return {true, 15, data, true, 0};   // context -> HH_HELP_CONTEXT
        case 2: return {true, 18, 0, false, 0};     // quit -> HH_CLOSE_ALL
        case 3:                                     // contents
        case 11: return {true, 0, 0, true, 0};      // finder -> HH_DISPLAY_TOPIC
        case 5: return {true, 3, 0, true, 0};       // set index -> HH_DISPLAY_SEARCH
        case 10: return {true, 16, data, true, 0};  // context menu -> HH_TP_HELP_CONTEXTMENU
        default: return {false, 0, 0, false, data != 0 ? 1 : 0};
    }
}

CConfigDialog::CConfigDialog(CAppletUi& ui, qlsmtp::CServiceManager* manager)
    : m_ui(ui), m_manager(manager ? *manager : qlsmtp::RealServiceManager()) {}

int CConfigDialog::Message(int id, unsigned type) { return m_ui.Message(AppletText(id), type); }

bool CConfigDialog::DoDataExchange(bool save) {
    CDataExchange dx(m_ui, save);
    dx.Text(IDC_DOMAIN, &m_DomainName, kMaxText);
    dx.Text(IDC_DNS, &m_DNSName, kMaxText);
    dx.Text(IDC_DATA_DIR, &m_DataDirectory, kMaxText, true);
    dx.UInt(IDC_RX_PORT, &m_RxPort, 1, kMaxPort);
    dx.UInt(IDC_TX_PORT, &m_TxPort, 1, kMaxPort);
    return !dx.Failed();
}

int CConfigDialog::ReadSettings() {
    plat::CRegKey key;
    if (key.Open(qlsmtp::kSettingsKey, false) != 0) {
        Message(IDS_KEY_NOT_OPENED, kMbOk);
        return 0;
    }
    char buf[kBufferSize];
    struct {
        const char* name;
        std::string* field;
        int missing;
    } texts[] = {
        {qlsmtp::kValDomainName, &m_DomainName, IDS_NO_DOMAIN},
        {qlsmtp::kValProgramPath, &m_DataDirectory, IDS_NO_PROGRAM_PATH},
        {qlsmtp::kValDNSName, &m_DNSName, IDS_NO_DNS},
    };
    for (const auto& t : texts) {
        if (key.QueryString(t.name, buf, sizeof(buf)) != 0) {
            Message(t.missing, kMbOk);
        } else {
            *t.field = buf;
        }
    }
    uint32_t port = 0;
    if (key.QueryDword(qlsmtp::kValSmtpRxPort, &port) != 0) {
        Message(IDS_NO_RX_PORT, kMbOk);
    } else {
        m_RxPort = port;
    }
    if (key.QueryDword(qlsmtp::kValSmtpTxPort, &port) != 0) {
        Message(IDS_NO_TX_PORT, kMbOk);
    } else {
        m_TxPort = port;
    }
    return 1;
}

uint32_t CConfigDialog::GetServiceState(bool quiet) {
    qlsmtp::CScHandle scm(m_manager), service(m_manager);
    if (m_manager.OpenManager(scm.Put()) != 0) {
        if (!quiet) Message(IDS_NO_SERVICE_MANAGER, kMbOk);
        return 0;
    }
    if (m_manager.OpenServiceNamed(scm.Get(), qlsmtp::kServiceName, service.Put()) != 0) {
        if (!quiet) Message(IDS_SERVICE_NOT_INSTALLED, kMbOk);
        return 0;
    }
    plat::ServiceStatus status;
    if (m_manager.QueryStatus(service.Get(), &status) != 0) return 0;
    return status.currentState;
}

int CConfigDialog::SaveSettings() {
    DoDataExchange(true);  // a refused value keeps its previous one
    if (GetServiceState() != plat::kServiceStopped) {
        Message(IDS_RESTART_QUESTION, kMbOk);
        return 0;
    }
    return SaveSettingsDirectly();
}

int CConfigDialog::SaveSettingsDirectly() {
    plat::CRegKey key;
    if (key.Open(qlsmtp::kSettingsKey, false) != 0) {
        Message(IDS_KEY_NOT_OPENED, kMbOk);
        return 0;
    }
    std::string path = m_DataDirectory;
    bool validPath = ValidateDataDirectory(&path) != 0;
    if (validPath) m_DataDirectory = path;
    plat::RegWrite writes[5 + 5];
    uint32_t maxMessageSize = 0;
    int n = 0;
    if (validPath)
        writes[n++] = {qlsmtp::kValProgramPath, plat::kRegSz, path.c_str(), static_cast<uint32_t>(path.size() + 1)};
    writes[n++] = {qlsmtp::kValDomainName, plat::kRegSz, m_DomainName.c_str(),
                   static_cast<uint32_t>(m_DomainName.size() + 1)};
    writes[n++] = {qlsmtp::kValDNSName, plat::kRegSz, m_DNSName.c_str(), static_cast<uint32_t>(m_DNSName.size() + 1)};
    writes[n++] = {qlsmtp::kValSmtpRxPort, plat::kRegDword, &m_RxPort, 4};
    writes[n++] = {qlsmtp::kValSmtpTxPort, plat::kRegDword, &m_TxPort, 4};
    // MaxMessageSize is the one DWORD among them; 0 removes it too.
    const auto removes = [](const std::string& name, const std::string& text) {
        return text.empty() || (name == qlsmtp::kValMaxMessageSize && std::strtoul(text.c_str(), nullptr, 10) == 0);
    };
    for (const auto& [name, text] : m_OptionalChanges) {
        if (removes(name, text) || n >= static_cast<int>(std::size(writes))) continue;
        if (name == qlsmtp::kValMaxMessageSize) {
            maxMessageSize = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
            writes[n++] = {name.c_str(), plat::kRegDword, &maxMessageSize, 4};
        } else {
            writes[n++] = {name.c_str(), plat::kRegSz, text.c_str(), static_cast<uint32_t>(text.size() + 1)};
        }
    }
    // A write that fails is a save that did not happen, not a success.
    if (key.SetValues(writes, n) != 0) return 0;
    for (const auto& [name, text] : m_OptionalChanges) {
        long r = removes(name, text) ? key.DeleteValue(name.c_str()) : 0;
        if (r != 0 && r != plat::kRegNotFound) return 0;
    }
    plat::EventSourceHandle source = plat::RegisterEventSource(qlsmtp::kServiceName);
    if (source != plat::kNoEventSource) {
        plat::ReportEvent(source, plat::kEventInformation, kEventSettingsSaved, nullptr, 0);
        plat::DeregisterEventSource(source);
    }
    return 1;
}

bool CConfigDialog::CheckOptionalValue(const std::string& name, const std::string& text) {
    std::string host;
    unsigned port = 0;
    std::vector<uint32_t> waits;
    const char* refusal = nullptr;
    if (name == qlsmtp::kValSmartHost && !qlsmtp::ParseSmartHost(text, &host, &port))
        refusal = "Please enter the smarthost as host or host:port, with a port between 1 and 65535.";
    if (name == qlsmtp::kValRetryMinutes && !qlsmtp::ParseRetryMinutes(text, &waits))
        refusal = "Please enter up to four waits in minutes, each between 0 and 1440, separated by blanks.";
    // The receive limits: every entry must be one the gateway understands.
    std::vector<std::string> bad;
    if (name == qlsmtp::kValAllowedClients) qlsmtp::CidrList().Parse(text, &bad);
    if (name == qlsmtp::kValAllowedSenders) qlsmtp::SenderPatterns().Parse(text, &bad);
    if (!bad.empty())
        refusal = name == qlsmtp::kValAllowedClients
                      ? "Please enter IPv4 networks as 192.0.2.0/24, separated by blanks or commas."
                      : "Please enter sender addresses as fax@example.com or *@example.com, separated by blanks or "
                        "commas.";
    if (name == qlsmtp::kValMaxMessageSize && !text.empty() &&
        (text.find_first_not_of("0123456789") != std::string::npos ||
         std::strtoull(text.c_str(), nullptr, 10) > 0xFFFFFFFFull))
        refusal = "Please enter the largest message in bytes, from 0 (no limit) to 4294967295.";
    if (refusal) m_ui.Message(refusal, kMbOk | kMbIconExclamation);
    for (const std::string& entry : bad) m_ui.Message(("Not understood: " + entry).c_str(), kMbOk);
    return refusal == nullptr;
}

bool CConfigDialog::ReadOptionalValue(const char* name, std::string* text) {
    plat::CRegKey key;
    uint32_t type = 0, size = 0;
    if (key.Open(qlsmtp::kSettingsKey, false) != 0 || key.QueryValue(name, &type, nullptr, &size) != 0) return false;
    if (type == plat::kRegDword) {
        uint32_t value = 0;
        if (key.QueryDword(name, &value) != 0) return false;
        *text = std::to_string(value);
        return true;
    }
    std::string buf(size + 1, '\0');
    if (key.QueryString(name, buf.data(), size + 1) != 0) return false;
    *text = buf.c_str();
    return true;
}

int CConfigDialog::ValidateDataDirectory(std::string* path) {
    if (plat::SetCurrentDir(path->c_str()) != 0) {
        Message(IDS_INVALID_PATH, kMbOk);
        return 0;
    }
    plat::MakeDirectory(path->c_str());
    AddTrailingBackslash(path);
    plat::MakeDirectory((*path + "OUT").c_str());
    plat::MakeDirectory((*path + "IN").c_str());
    return 1;
}

void CConfigDialog::RemoveTrailingBackslash(std::string* path) {
    size_t n = path->size();
    if (n >= 2 && (*path)[n - 1] == plat::kPathSep && (*path)[n - 2] != ':') path->pop_back();
}

void CConfigDialog::AddTrailingBackslash(std::string* path) {
    if (!path->empty() && path->back() != plat::kPathSep) path->push_back(plat::kPathSep);
}

bool CConfigDialog::OnOK() {
    uint32_t state = GetServiceState();
    if (state == plat::kServiceStopped) {
        // A failed save keeps the dialog open, so that the edits are not lost.
        if (!SaveSettings()) {
            Message(IDS_NOT_INSTALLED_CORRECTLY, kMbOk);
            return false;
        }
        return DoDataExchange(true);
    }
    if (Message(IDS_RESTART_QUESTION, kMbYesNo | kMbIconExclamation) != kIdYes) return false;
    qlsmtp::CServiceControl control({AppletText(IDS_START_FAILED), kCaption}, &m_manager);
    m_ui.WaitCursor(true);
    if (control.StartStopService(qlsmtp::kServiceName, 0) != 0) {
        m_ui.WaitCursor(false);
        Message(IDS_STOP_FAILED, kMbOk);
        return false;
    }
    if (!SaveSettings()) {
        m_ui.WaitCursor(false);
        Message(IDS_NOT_INSTALLED_CORRECTLY, kMbOk);
        return false;
    }
    if (control.StartStopService(qlsmtp::kServiceName, 1) != 0) {
        m_ui.WaitCursor(false);
        Message(IDS_START_FAILED, kMbOk);
        return false;
    }
    m_ui.WaitCursor(false);
    return DoDataExchange(true);
}

}  // namespace qlsmtpcg
