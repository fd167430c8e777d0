// Settings readers, the debug log, the event log and the error-text logger.
#include "gateway/core/diag.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/settings_names.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

// Written once by GetDebugSettings before other gateway threads exist.
std::atomic<int> g_DebugLogEnabled{0};
char g_LogFileName[260] = {};

std::mutex g_eventMutex;
plat::EventSourceHandle g_eventSource = plat::kNoEventSource;

const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') base = p + 1;
    return base;
}

int ReadPort(const char* value, const char* logLine) {
    plat::CRegKey key;
    if (key.Open(qlsmtp::kSettingsKey, false) != 0) return qlsmtp::kDefaultSmtpPort;
    DLOG(logLine);
    uint32_t port = 0;
    if (key.QueryDword(value, &port) != 0) return qlsmtp::kDefaultSmtpPort;
    return static_cast<int>(port);
}

}  // namespace

void DebugLog(const char* message, const char* sourcePath, int line) {
    if (g_DebugLogEnabled.load(std::memory_order_relaxed) != 1) return;
    char buf[260];
    int n = std::snprintf(buf, sizeof(buf), "%i %s - %s\r\n", line, BaseName(sourcePath ? sourcePath : ""),
                          message ? message : "");
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof(buf))) n = sizeof(buf) - 1;
    int savedError = plat::LastError();  // logging must not disturb the caller's error
    plat::CFile f;
    // One append write per line keeps concurrent lines whole.
    if (f.Open(g_LogFileName, plat::kOpenAppend) == 0) f.Write(buf, n);
    f.Close();
    plat::SetLastError(savedError);
}

void DebugLogF(const char* sourcePath, int line, const char* format, ...) {
    if (g_DebugLogEnabled.load(std::memory_order_relaxed) != 1) return;
    char buf[260];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    DebugLog(buf, sourcePath, line);
}

void GetDebugSettings() {
    plat::CRegKey key;
    if (key.Open(qlsmtp::kSettingsKey, false) != 0) return;
    DLOG("GetDebugSettings(): Reading Registry for Debug settings.");
    char name[260];
    if (key.QueryString(qlsmtp::kValLogFile, name, sizeof(name)) == 0) {
        std::memcpy(g_LogFileName, name, sizeof(g_LogFileName));
        g_DebugLogEnabled = std::strlen(g_LogFileName) > 3 ? 1 : 0;
    } else {
        g_DebugLogEnabled = 0;
    }
}

int GetSMTPInPortNumber() {
    return ReadPort(qlsmtp::kValSmtpRxPort, "GetSMTPInPortNumber(): Reading Registry for SMTP RX port number.");
}

int GetSMTPOutPortNumber() {
    return ReadPort(qlsmtp::kValSmtpTxPort, "GetSMTPOutPortNumber(): Reading Registry for SMTP TX port number.");
}

void ResetServiceEventSource() {
    std::lock_guard<std::mutex> g(g_eventMutex);
    g_eventSource = plat::kNoEventSource;
}

void ReportServiceEvent(uint16_t type, uint32_t id, const char* s1, const char* s2, const char* s3) {
    const char* strings[3] = {s1, s2, s3};
    int count = 0;
    while (count < 3 && strings[count]) ++count;
    plat::EventSourceHandle h;
    {
        std::lock_guard<std::mutex> g(g_eventMutex);
        if (g_eventSource == plat::kNoEventSource) g_eventSource = plat::RegisterEventSource(qlsmtp::kServiceName);
        h = g_eventSource;
    }
    if (h == plat::kNoEventSource) return;
    plat::ReportEvent(h, type, id, strings, count);
}

void ConsoleLine(const char* text) {
    std::fprintf(stderr, "%s\n", text ? text : "");
    std::fflush(stderr);
}

void ReportEventAndConsole(uint16_t type, uint32_t id, const char* s1, const char* s2, const char* s3) {
    ReportServiceEvent(type, id, s1, s2, s3);
    const char* strings[3] = {s1, s2, s3};
    int count = 0;
    while (count < 3 && strings[count]) ++count;
    const char* text = plat::EventMessageText(id);
    char line[1024];
    plat::FormatEventMessage(text ? text : "", strings, count, line, sizeof(line));
    ConsoleLine(line);
}

int ReportMissingSettings() {
    // Where the settings live: the Linux settings file, or the registry key.
    std::string where = plat::RegistryFilePath();
    if (where.empty()) where = std::string("HKEY_LOCAL_MACHINE\\") + qlsmtp::kSettingsKey;
    plat::CRegKey key;
    bool open = key.Open(qlsmtp::kSettingsKey, false) == 0;
    int missing = 0;
    for (const char* name : {qlsmtp::kValProgramPath, qlsmtp::kValDomainName}) {
        // Read as the file manager reads them: a value that does not fit is
        // as good as none.
        char value[80];
        if (open && key.QueryString(name, value, sizeof(value)) == 0 && value[0] != '\0') continue;
        DLOGF("Required setting %s is not set.", name);
        ReportEventAndConsole(plat::kEventError, 439, qlsmtp::kServiceName, name, where.c_str());
        ++missing;
    }
    return missing;
}

static int LogLastError(bool listenerVariant) {
    int code = plat::LastError();
    DLOG("GetAndDisplay Error:begin.\r\n");
    std::string text = plat::ErrorText(code);
    if (!text.empty()) {
        DLOG(text.c_str());
    } else if (listenerVariant) {
        DLOG("GetAndDisplayError() FormatMessage Failed\n\r");
    }
    DLOG("GetAndDisplay Error:End.\r\n");
    plat::SetLastError(code);
    return code;
}

int GetAndDisplayError() { return LogLastError(false); }

int GetAndDisplayErrorListener() {
    LogLastError(true);
    return 0;
}

bool DebugLogIsEnabled() { return g_DebugLogEnabled == 1; }
void SetDebugLogForTest(bool enabled, const char* fileName) {
    std::snprintf(g_LogFileName, sizeof(g_LogFileName), "%s", fileName ? fileName : "");
    g_DebugLogEnabled = enabled ? 1 : 0;
}
