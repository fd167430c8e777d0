// Drives the configuration applet as the Control Panel and a person would:
// loads qlsmtpcg.cpl, sends the Control Panel messages and checks their
// answers, then, while the dialog runs on the main thread, a second thread
// types into its controls, presses its buttons and answers the message
// boxes it finds. Progress lines go to standard output; exit status 0 when
// every check held.
//   qlcpldrv run <cpl> yes <domain> <port> <go-file>  (answer Yes to the restart)
//   qlcpldrv run <cpl> nan <go-file>                  (a port that is no number)
//   qlcpldrv close                                    (Cancel an open dialog)
#include <windows.h>

#include <cpl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kDialogTitle[] = "Quillon SMTP Server configuration";
int g_failures = 0;

void Say(const char* format, const std::string& a = "", const std::string& b = "") {
    std::printf(format, a.c_str(), b.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

void Check(bool ok, const std::string& what) {
    if (!ok) ++g_failures;
    Say("%s %s", ok ? "ok" : "FAILED", what);
}

template <class F>
bool WaitFor(F f, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
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

// A message box: a dialog-class window with the caption, and its text.
struct Box {
    HWND hwnd = nullptr;
    std::string text;
};

Box FindBox(const char* caption) {
    Box box;
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "#32770", caption)) != nullptr) {
        if (!IsWindowVisible(w)) continue;
        box.hwnd = w;
        EnumChildWindows(
            w,
            [](HWND child, LPARAM p) -> BOOL {
                char cls[32];
                GetClassNameA(child, cls, sizeof(cls));
                if (_stricmp(cls, "Static") == 0) reinterpret_cast<std::string*>(p)->append(TextOf(child));
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&box.text));
        return box;
    }
    return box;
}

// Waits for a box under the caption whose text holds want, presses answer.
bool Answer(const char* caption, const char* want, int answer, int seconds = 200) {
    Box box;
    bool found = WaitFor(
        [&] {
            box = FindBox(caption);
            return box.hwnd && !box.text.empty();
        },
        seconds);
    if (!found) {
        Check(false, std::string("a box \"") + want + "\"");
        return false;
    }
    Check(box.text.find(want) != std::string::npos, "box \"" + box.text + "\"");
    PostMessageA(box.hwnd, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(box.hwnd); }, 20);
    return true;
}

HWND Dialog() { return FindWindowA("#32770", kDialogTitle); }

// Selects the field's text and types over it, key by key.
void Type(HWND dialog, int id, const std::string& text) {
    HWND edit = GetDlgItem(dialog, id);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    for (char c : text) PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
    if (text.empty()) PostMessageA(edit, WM_CHAR, VK_BACK, 1);
    Check(WaitFor([&] { return TextOf(edit) == text; }, 20), "typed \"" + text + "\"");
}

void Press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void Person(const std::vector<std::string>& args) {
    const std::string& scenario = args[0];
    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = Dialog()) != nullptr && IsWindowVisible(dialog); }, 120)) {
        Check(false, "the dialog opens");
        return;
    }
    std::string values;
    for (int id : {1002, 1005, 1006, 1007, 1008}) values += (values.empty() ? "" : "|") + TextOf(GetDlgItem(dialog, id));
    Say("values %s", values);
    Say("OPEN");
    // The test takes its screenshot now, then lets the person go on.
    const std::string& go = args.back();
    WaitFor([&] { return GetFileAttributesA(go.c_str()) != INVALID_FILE_ATTRIBUTES; }, 120);
    if (scenario == "yes") {
        Type(dialog, 1002, args[1]);
        Type(dialog, 1007, args[2]);
        Press(dialog, IDOK);
        Answer("qlsmtpcg", "is running. Would you like", IDYES);
        // Stopping and starting the service can take a while.
        Check(WaitFor([&] { return !IsWindow(dialog); }, 200), "the dialog closes");
    } else {
        Type(dialog, 1007, "25x");
        Press(dialog, IDOK);
        // Once while saving, once when the dialog tries to close.
        Answer("qlsmtpcg", "Please enter a positive integer.", IDOK);
        Answer("qlsmtpcg", "Please enter a positive integer.", IDOK);
        Sleep(500);
        Check(IsWindow(dialog) && IsWindowVisible(dialog), "the dialog stays open");
        Press(dialog, IDCANCEL);
        Check(WaitFor([&] { return !IsWindow(dialog); }, 20), "Cancel closes the dialog");
    }
    // Anything still shown is a message the scenario did not expect.
    for (const char* caption : {"qlsmtpcg", "Service control"}) {
        Box extra = FindBox(caption);
        if (extra.hwnd) Check(false, std::string("no further box, but \"") + extra.text + "\"");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "close") == 0) {
        HWND dialog = nullptr;
        if (!WaitFor([&] { return (dialog = Dialog()) != nullptr; }, 60)) return 1;
        Press(dialog, IDCANCEL);
        return WaitFor([&] { return !IsWindow(dialog); }, 20) ? 0 : 1;
    }
    if (argc < 5 || std::strcmp(argv[1], "run") != 0) {
        std::fprintf(stderr, "usage: qlcpldrv run <cpl> yes|nan ... <go-file> | qlcpldrv close\n");
        return 2;
    }
    HMODULE cpl = LoadLibraryA(argv[2]);
    if (!cpl) {
        Say("FAILED loading %s", argv[2]);
        return 1;
    }
    auto entry = reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(GetProcAddress(cpl, "CPlApplet")));
    if (!entry) {
        Say("FAILED: no CPlApplet export");
        return 1;
    }
    Check(entry(nullptr, CPL_INIT, 0, 0) == 1, "CPL_INIT 1");
    Check(entry(nullptr, CPL_GETCOUNT, 0, 0) == 1, "CPL_GETCOUNT 1");
    CPLINFO old;
    std::memset(&old, 0x5A, sizeof(old));
    CPLINFO untouched = old;
    Check(entry(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&old)) == 0 &&
              std::memcmp(&old, &untouched, sizeof(old)) == 0,
          "CPL_INQUIRE 0, record untouched");
    NEWCPLINFOA info;
    std::memset(&info, 0x5A, sizeof(info));
    Check(entry(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)) == 0, "CPL_NEWINQUIRE 0");
    Check(info.dwSize == sizeof(NEWCPLINFOA) && info.dwFlags == 0 && info.dwHelpContext == 0 && info.lData == 0 &&
              info.hIcon != nullptr && std::strcmp(info.szName, "Quillon SMTP") == 0 &&
              std::strcmp(info.szInfo, "Quillon SMTP Server") == 0 && info.szHelpFile[0] == '\0',
          std::string("NEWCPLINFOA ") + std::to_string(info.dwSize) + " \"" + info.szName + "\" \"" + info.szInfo +
              "\"");
    Check(entry(nullptr, CPL_SELECT, 0, 0) == 1, "CPL_SELECT 1");
    // Another message: a box, answered by the person, and 1.
    std::thread other([] { Answer("qlsmtpcg", "default case param", IDOK, 60); });
    Check(entry(nullptr, 99, 0, 0) == 1, "message 99 answered 1");
    other.join();

    std::vector<std::string> args(argv + 3, argv + argc);
    std::thread person(Person, args);
    Check(entry(nullptr, CPL_DBLCLK, 0, 0) == 0, "CPL_DBLCLK 0");
    person.join();
    Check(entry(nullptr, CPL_STOP, 0, 0) == 1, "CPL_STOP 1");
    Check(entry(nullptr, CPL_EXIT, 0, 0) == 0, "CPL_EXIT 0");
    FreeLibrary(cpl);
    Say(g_failures ? "DONE with failures" : "DONE");
    return g_failures ? 1 : 0;
}
