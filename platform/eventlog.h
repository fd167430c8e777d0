// Event log. Windows: RegisterEventSource/ReportEvent with the message table
// compiled into the program. Linux: the file named by QLSMTP_EVENTLOG, one
// line per event ("<id> <type> <text>"), else syslog (facility daemon).
#pragma once

#include <cstdint>

namespace plat {

enum EventType : uint16_t {
    kEventError = 1,
    kEventWarning = 2,
    kEventInformation = 4,
};

using EventSourceHandle = intptr_t;
constexpr EventSourceHandle kNoEventSource = 0;

// Registers a source on the local machine; kNoEventSource on failure.
EventSourceHandle RegisterEventSource(const char* source);
void DeregisterEventSource(EventSourceHandle h);
// Reports an event with count insertion strings; true on success.
bool ReportEvent(EventSourceHandle h, uint16_t type, uint32_t id, const char* const* strings,
                 int count);

// The message table (the same texts as the Windows resource), generated at
// build time from the one source file. nullptr for an unknown id.
const char* EventMessageText(uint32_t id);

// Expands %1..%9 of a message with the insertion strings, drops the trailing
// CR LF. Used on Linux and by tests.
void FormatEventMessage(const char* text, const char* const* strings, int count, char* out,
                        int outSize);

}  // namespace plat
