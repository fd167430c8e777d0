// Process-level services on Windows.
#include "platform/win32/win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace plat {

void InitProcess() {}


int LastError() { return static_cast<int>(GetLastError()); }

void SetLastError(int code) { ::SetLastError(static_cast<DWORD>(code)); }

std::string ErrorText(int code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n == 0 || !text) return std::string();
    std::string result(text, n);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

void ShowMessage(const char* text, const char* caption, int icon) {
    if (!text) text = "";
    if (!caption) caption = "";
    // Where no box can be shown (QLSMTP_NO_UI=1, or no desktop: a service
    // session, or Wine without a display), the message goes to the console.
    // A box that cannot be made answers 0 (Windows) or -1 (Wine, whose
    // dialog fails).
    std::string noUi;
    if ((GetEnv("QLSMTP_NO_UI", &noUi) && noUi == "1") ||
        MessageBoxA(nullptr, text, caption, MB_OK | static_cast<UINT>(icon)) <= 0) {
        std::fprintf(stderr, "%s: %s\n", caption, text);
        std::fflush(stderr);
    }
}

std::string CommandLine(int /*argc*/, char** /*argv*/) {
    const char* line = GetCommandLineA();
    return line ? std::string(line) : std::string();
}

void SleepMs(uint32_t ms) { Sleep(ms); }

void CurrentSecondAndMillisecond(int* second, int* millisecond) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    *second = now.wSecond;
    *millisecond = now.wMilliseconds;
}

bool GetEnv(const char* name, std::string* value) {
    if (!name) return false;
    // Looking a variable up must not disturb the caller's last error.
    DWORD saved = GetLastError();
    std::string buf(256, '\0');
    bool found = false;
    for (;;) {
        ::SetLastError(0);
        DWORD n = GetEnvironmentVariableA(name, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            found = GetLastError() != ERROR_ENVVAR_NOT_FOUND;
            buf.clear();
            break;
        }
        if (n < buf.size()) {
            buf.resize(n);
            found = true;
            break;
        }
        buf.resize(n);  // n is the size needed, terminator included
    }
    if (found) *value = buf;
    ::SetLastError(saved);
    return found;
}

int SetEnv(const char* name, const char* value) {
    // Both copies: the process environment and the runtime's getenv view.
    if (!SetEnvironmentVariableA(name, value)) return static_cast<int>(GetLastError());
    return _putenv_s(name, value ? value : "") == 0 ? 0 : 1;
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

bool LoadOwnString(uint32_t id, std::string* text) {
    // The module that holds this function: the library itself when the
    // platform layer is linked into a library, not the program that loaded it.
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&LoadOwnString), &self))
        return false;
    char buf[512];
    int n = LoadStringA(self, id, buf, sizeof(buf));
    if (n <= 0) return false;
    text->assign(buf, static_cast<size_t>(n));
    return true;
}


}  // namespace plat
