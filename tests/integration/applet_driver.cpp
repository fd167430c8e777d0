// Drives the configuration applet as the Control Panel and a person would:
// loads qlsmtpcg.cpl, sends the Control Panel messages and checks their
// answers; while the dialog runs on the main thread, a second thread prints
// the dialog's values and "OPEN", waits for the go-file (the test takes its
// screenshot meanwhile), types the new domain and port, presses OK and
// answers the restart question Yes. Exit status 0 when every check held.
//   qlcpldrv <cpl> <domain> <port> <go-file>
#include <windows.h>

#include <cpl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) ++g_failures;
    std::printf("%s %s\n", ok ? "ok" : "FAILED", what.c_str());
    std::fflush(stdout);
}

template <class F>
bool WaitFor(F f, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!f()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(50);
    }
    return true;
}

std::string TextOf(HWND w) {
    char buf[512] = "";
    DWORD_PTR n = 0;
    SendMessageTimeoutA(w, WM_GETTEXT, sizeof(buf), reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, &n);
    return buf;
}

// A visible message box with the caption: its window and its text.
HWND FindBox(const char* caption, std::string* text) {
    HWND w = nullptr;
    do w = FindWindowExA(nullptr, w, "#32770", caption);
    while (w && !IsWindowVisible(w));
    text->clear();
    auto statics = [](HWND child, LPARAM p) -> BOOL {
        char cls[32];
        GetClassNameA(child, cls, sizeof(cls));
        if (_stricmp(cls, "Static") == 0) reinterpret_cast<std::string*>(p)->append(TextOf(child));
        return TRUE;
    };
    if (w) EnumChildWindows(w, statics, reinterpret_cast<LPARAM>(text));
    return w;
}

// Waits for a box whose text holds want and presses answer.
void Answer(const char* want, int answer) {
    HWND box = nullptr;
    std::string text;
    const bool found = WaitFor([&] { return (box = FindBox("qlsmtpcg", &text)) != nullptr && !text.empty(); }, 200);
    Check(found && text.find(want) != std::string::npos, std::string("box \"") + text + "\"");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(box); }, 20);
}

// Selects a field's text and types over it, key by key.
void Type(HWND dialog, int id, const std::string& text) {
    HWND edit = GetDlgItem(dialog, id);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    for (char c : text) PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
    Check(WaitFor([&] { return TextOf(edit) == text; }, 20), "typed \"" + text + "\"");
}

void Person(char** argv) {
    HWND dialog = nullptr;
    if (!WaitFor([&] {
            dialog = FindWindowA("#32770", "Quillon SMTP Server configuration");
            return dialog && IsWindowVisible(dialog);
        }, 120))
        return Check(false, "the dialog opens");
    std::string values;
    for (int id : {1002, 1005, 1006, 1007, 1008})
        values += (values.empty() ? "" : "|") + TextOf(GetDlgItem(dialog, id));
    std::printf("values %s\nOPEN\n", values.c_str());
    std::fflush(stdout);
    WaitFor([&] { return GetFileAttributesA(argv[4]) != INVALID_FILE_ATTRIBUTES; }, 120);
    Type(dialog, 1002, argv[2]);
    Type(dialog, 1007, argv[3]);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    Answer("is running. Would you like", IDYES);
    Check(WaitFor([&] { return !IsWindow(dialog); }, 200), "the dialog closes");  // after the restart
    std::string extra;
    for (const char* caption : {"qlsmtpcg", "Service control"})
        if (FindBox(caption, &extra)) Check(false, std::string("no further box, but \"") + extra + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    HMODULE cpl = argc == 5 ? LoadLibraryA(argv[1]) : nullptr;
    auto entry = cpl ? reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(GetProcAddress(cpl, "CPlApplet")))
                     : nullptr;
    if (!entry) {
        std::fprintf(stderr, "usage: qlcpldrv <cpl> <domain> <port> <go-file> (a cpl with CPlApplet)\n");
        return 2;
    }
    Check(entry(nullptr, CPL_INIT, 0, 0) == 1 && entry(nullptr, CPL_GETCOUNT, 0, 0) == 1, "CPL_INIT, CPL_GETCOUNT 1");
    CPLINFO old, untouched;
    std::memset(&old, 0x5A, sizeof(old));
    untouched = old;
    Check(entry(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&old)) == 0 &&
              std::memcmp(&old, &untouched, sizeof(old)) == 0,
          "CPL_INQUIRE 0, record untouched");
    NEWCPLINFOA info;
    std::memset(&info, 0x5A, sizeof(info));
    const bool answered = entry(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)) == 0;
    Check(answered && info.dwSize == sizeof(NEWCPLINFOA) && info.dwFlags == 0 && info.dwHelpContext == 0 &&
              info.lData == 0 && info.hIcon != nullptr && std::strcmp(info.szName, "Quillon SMTP") == 0 &&
              std::strcmp(info.szInfo, "Quillon SMTP Server") == 0 && info.szHelpFile[0] == '\0',
          std::string("CPL_NEWINQUIRE \"") + info.szName + "\" \"" + info.szInfo + "\"");
    Check(entry(nullptr, CPL_SELECT, 0, 0) == 1, "CPL_SELECT 1");
    std::thread other([] { Answer("default case param", IDOK); });  // another message: a box, and 1
    Check(entry(nullptr, 99, 0, 0) == 1, "message 99 answered 1");
    other.join();
    std::thread person(Person, argv);
    Check(entry(nullptr, CPL_DBLCLK, 0, 0) == 0, "CPL_DBLCLK 0");
    person.join();
    Check(entry(nullptr, CPL_STOP, 0, 0) == 1 && entry(nullptr, CPL_EXIT, 0, 0) == 0, "CPL_STOP 1, CPL_EXIT 0");
    FreeLibrary(cpl);
    std::printf(g_failures ? "DONE with failures\n" : "DONE\n");
    return g_failures ? 1 : 0;
}
