// Process-level services: errors and their texts, messages to a user, the
// command line, time and environment.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// Process set-up at program start: on Linux a write to a closed pipe or
// socket fails with an error instead of ending the process, and freed memory
// is kept for reuse rather than given back to the system at once.
void InitProcess();

// Last system error of the calling thread (GetLastError / errno).
int LastError();
void SetLastError(int code);
// System text of an error code ("" when the system has none).
std::string ErrorText(int code);

enum MessageBoxIcon { kIconNone = 0, kIconError = 0x10, kIconWarning = 0x30, kIconInformation = 0x40 };
// A message box with an OK button and no owner. On Linux, or on Windows when
// QLSMTP_NO_UI=1 or no box can be shown, one line "CAPTION: text" on
// standard error.
void ShowMessage(const char* text, const char* caption, int icon);

// The whole command line as the platform gives it, program path included.
// On Linux: the program path and its arguments joined with single blanks.
std::string CommandLine(int argc, char** argv);

void SleepMs(uint32_t ms);

// Wall-clock seconds (0..59) and milliseconds (0..999) of the current time.
void CurrentSecondAndMillisecond(int* second, int* millisecond);

// Value of an environment variable; false when it is not set.
bool GetEnv(const char* name, std::string* value);

// Sets (or, with a null value, removes) an environment variable of this
// process; 0 on success.
int SetEnv(const char* name, const char* value);

int ProcessId();

// A string of the string table compiled into the module (program or
// library) that holds this code; false when there is none, as always on
// Linux.
bool LoadOwnString(uint32_t id, std::string* text);


}  // namespace plat
