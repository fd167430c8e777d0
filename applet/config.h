// The configuration dialog's logic, apart from drawing: reading the five
// settings, exchanging them with the controls, checking and saving them, and
// the OK flow that stops and restarts the service around the save. The
// Windows dialog and the Linux command put their own CAppletUi under it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/service_control.h"

namespace qlsmtpcg {

// Message box types and answers, with their Windows values.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbYesNo = 0x4;
constexpr unsigned kMbIconStop = 0x10;
constexpr unsigned kMbIconExclamation = 0x30;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;

// The caption of the applet's messages: its module's name.
constexpr char kCaption[] = "qlsmtpcg";

// Text of the applet's string table; "" for an unknown id.
const char* AppletText(int id);

// What the logic needs of the window it runs in.
class CAppletUi {
public:
    virtual ~CAppletUi() = default;
    // A message box with the applet's caption; the button pressed.
    virtual int Message(const char* text, unsigned type) = 0;
    virtual std::string GetControlText(int id) = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    // Where a refused value puts the caret.
    virtual void FocusControl(int id) {}
    virtual void WaitCursor(bool on) {}
};

// Moves values between the controls and the fields, as a dialog framework's
// data exchange does: in save mode each value is checked, and the first one
// refused shows its message and ends the exchange, leaving that field and the
// fields after it unchanged.
class CDataExchange {
public:
    CDataExchange(CAppletUi& ui, bool save) : m_ui(ui), m_save(save) {}
    // At most maxChars characters; withSeparator counts the path separator
    // the text will end in.
    void Text(int id, std::string* value, size_t maxChars, bool withSeparator = false);
    // Decimal as "%u" reads and writes it, within min..max.
    void UInt(int id, uint32_t* value, uint32_t min, uint32_t max);
    bool Failed() const { return m_failed; }

private:
    void Fail(int id, const std::string& text);
    CAppletUi& m_ui;
    bool m_save;
    bool m_failed = false;
};

// What the help button's WinHelp-style command becomes in HTML Help.
struct HtmlHelpCall {
    bool call;           // false: nothing is called
    uint32_t command;    // HH_ command
    uintptr_t data;
    bool withWindowAndFile;
    int resultWithoutCall;  // the answer when nothing is called
};
HtmlHelpCall TranslateHelpCommand(uint32_t winHelpCommand, uintptr_t data);

class CConfigDialog {
public:
    // Values that a 260-byte buffer of the gateway must hold with a
    // terminator, the trailing separator and "OUT" or "IN" appended.
    static constexpr size_t kMaxText = 79;
    static constexpr uint32_t kMaxPort = 65535;

    CConfigDialog(CAppletUi& ui, qlsmtp::CServiceManager* manager = nullptr);

    // Moves the fields to the controls (save false) or checks and takes the
    // controls into the fields (save true); false when a value was refused.
    bool DoDataExchange(bool save);
    // 1 when the settings key could be opened. A missing value shows its
    // message and leaves its field as it was.
    int ReadSettings();
    // The OK button: true when the dialog is to close.
    bool OnOK();
    // 1 saved, 0 not saved (service not stopped, key or write failed).
    int SaveSettings();
    // Saves without asking about the service: the Linux command's save when
    // no service is installed.
    int SaveSettingsDirectly();
    // State of the gateway service (1..7), 0 when it cannot be learned; a
    // missing manager or service shows its message unless quiet.
    uint32_t GetServiceState(bool quiet = false);
    // Enters the folder and creates it with its OUT and IN folders; the
    // path then ends in the separator. 0 when it cannot be entered.
    int ValidateDataDirectory(std::string* path);

    static void RemoveTrailingBackslash(std::string* path);
    static void AddTrailingBackslash(std::string* path);

    std::string m_DomainName;
    std::string m_DNSName;
    std::string m_DataDirectory;
    uint32_t m_RxPort = 0;
    uint32_t m_TxPort = 0;

    // Shows the string-table message id.
    int Message(int id, unsigned type = kMbOk);

    // Optional values without a field in the dialog (SmartHost,
    // RetryMinutes, AllowedClients, AllowedSenders and MaxMessageSize, a
    // DWORD given in decimal), which the Linux command edits: value name ->
    // new text, "" (or "0" for MaxMessageSize) to remove the value.
    // SaveSettingsDirectly writes them with the others; the dialog leaves
    // the map empty.
    std::map<std::string, std::string> m_OptionalChanges;
    // false with a message when text is not a valid form of the value name.
    bool CheckOptionalValue(const std::string& name, const std::string& text);
    // The stored text of an optional value (a DWORD in decimal); false when
    // it is absent.
    bool ReadOptionalValue(const char* name, std::string* text);

private:
    CAppletUi& m_ui;
    qlsmtp::CServiceManager& m_manager;
};

}  // namespace qlsmtpcg
