// Event log on Windows: the message texts live in the program's message
// table resource; only the id and the insertion strings are reported.
#include "platform/win32/win.h"

#include "platform/eventlog.h"

namespace plat {

EventSourceHandle RegisterEventSource(const char* source) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    return h ? reinterpret_cast<EventSourceHandle>(h) : kNoEventSource;
}

void DeregisterEventSource(EventSourceHandle h) {
    if (h != kNoEventSource) ::DeregisterEventSource(reinterpret_cast<HANDLE>(h));
}

bool ReportEvent(EventSourceHandle h, uint16_t type, uint32_t id, const char* const* strings,
                 int count) {
    if (h == kNoEventSource) return false;
    if (count < 0 || !strings) count = 0;
    // ReportEventA does not write the strings; its prototype only lacks const.
    LPCSTR* texts = const_cast<LPCSTR*>(strings);
    return ReportEventA(reinterpret_cast<HANDLE>(h), type, 0, id, nullptr,
                        static_cast<WORD>(count), 0, count ? texts : nullptr, nullptr) != FALSE;
}

}  // namespace plat
