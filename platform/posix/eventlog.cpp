// The event log on Linux: one line per event appended to the file named by
// QLSMTP_EVENTLOG, else syslog (facility daemon), with the texts of the
// Windows message table.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/eventlog.h"

namespace plat {

EventSourceHandle RegisterEventSource(const char* source) {
    static bool opened = false;
    if (!opened && !std::getenv("QLSMTP_EVENTLOG")) {
        ::openlog(source, LOG_PID, LOG_DAEMON);
        opened = true;
    }
    return 1;
}

void DeregisterEventSource(EventSourceHandle) {}

bool ReportEvent(EventSourceHandle h, uint16_t type, uint32_t id, const char* const* strings,
                 int count) {
    if (h == kNoEventSource) return false;
    const char* text = EventMessageText(id);
    char msg[2048];
    if (text) {
        FormatEventMessage(text, strings, count, msg, sizeof(msg));
    } else {
        std::snprintf(msg, sizeof(msg), "Event %u", static_cast<unsigned>(id));
    }
    const char* word = type == kEventError ? "error" : type == kEventWarning ? "warning" : "information";
    const char* file = std::getenv("QLSMTP_EVENTLOG");
    if (file && *file) {
        std::string line = std::to_string(id) + " " + word + " " + msg + "\n";
        int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        // One write of the whole line, so concurrent reports never interleave.
        bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(fd);
        return ok;
    }
    int prio = type == kEventError ? LOG_ERR : type == kEventWarning ? LOG_WARNING : LOG_INFO;
    ::syslog(LOG_DAEMON | prio, "%s", msg);
    return true;
}

}  // namespace plat
