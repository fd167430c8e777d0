// Process-level services on Linux.
#include <malloc.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "platform/system.h"

namespace plat {

void InitProcess() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGIO, SIG_IGN);  // a broken file lease must not end the process
    // Freed memory goes back to the system only beyond 1 MB at the top of a
    // heap: every message frees its buffers and takes them again, and giving
    // the pages back and faulting them in again each time costs more than
    // the message's own work.
    ::mallopt(M_TRIM_THRESHOLD, 1 << 20);
}

int LastError() { return errno; }
void SetLastError(int code) { errno = code; }

std::string ErrorText(int code) {
    // Codes that only Windows defines keep their Windows texts.
    if (code == 32) return "The process cannot access the file because it is being used by another process.";
    if (code == 1063) return "The service process could not connect to the service controller.";
    char buf[256];
    // GNU strerror_r may return a static text instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof(buf));
    return text ? std::string(text) : std::string();
}

void ShowMessage(const char* text, const char* caption, int /*icon*/) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

std::string CommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i) line.push_back(' ');
        line += argv[i];
    }
    return line;
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void CurrentSecondAndMillisecond(int* second, int* millisecond) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    *second = tmv.tm_sec;
    *millisecond = static_cast<int>(tv.tv_usec / 1000);
}

bool GetEnv(const char* name, std::string* value) {
    const char* v = std::getenv(name);
    if (!v) return false;
    *value = v;
    return true;
}

int SetEnv(const char* name, const char* value) {
    return value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

int ProcessId() { return static_cast<int>(::getpid()); }

bool LoadOwnString(uint32_t /*id*/, std::string* /*text*/) { return false; }


}  // namespace plat
