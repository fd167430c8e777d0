// Settings readers and diagnostics shared by the whole gateway: the debug
// log, the event log and the last-error logger.
#pragma once

#include <cstdint>

// Writes "line file - message\r\n" to the debug log when it is switched on.
// Never fails its caller.
void DebugLog(const char* message, const char* sourcePath, int line);
// Convenience: logs with the caller's source file and line.
#define DLOG(msg) DebugLog((msg), __FILE__, __LINE__)
// Formats with printf rules into a 260-byte buffer, then logs it.
void DebugLogF(const char* sourcePath, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define DLOGF(...) DebugLogF(__FILE__, __LINE__, __VA_ARGS__)

void GetDebugSettings();
int GetSMTPInPortNumber();
int GetSMTPOutPortNumber();

// type: 1 error, 2 warning, 4 information; absent strings are null and last.
void ReportServiceEvent(uint16_t type, uint32_t id, const char* s1 = nullptr,
                        const char* s2 = nullptr, const char* s3 = nullptr);
// One line on the console (standard error), for what an operator must see
// at once.
void ConsoleLine(const char* text);
// Reports an event and writes its text as a line on the console.
void ReportEventAndConsole(uint16_t type, uint32_t id, const char* s1 = nullptr, const char* s2 = nullptr,
                           const char* s3 = nullptr);
// Reports each required setting that is not set (event 439 and a console
// line naming the value and where the settings live); the number missing.
int ReportMissingSettings();

// Clears the cached event source (the program entry does this at start).
void ResetServiceEventSource();

// Logs the system text of the calling thread's last socket/system error and
// returns its code.
int GetAndDisplayError();
// The listener's variant: logs "FormatMessage Failed" when there is no text,
// and returns 0.
int GetAndDisplayErrorListener();

// Debug-log state, exposed for tests.
bool DebugLogIsEnabled();
void SetDebugLogForTest(bool enabled, const char* fileName);
