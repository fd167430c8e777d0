// The service manager on Linux is systemd. Service mode is the mode when
// systemd started the program; readiness and stopping are told through
// NOTIFY_SOCKET, and SIGTERM is the stop control. Install and remove write
// and delete a unit file, and tell systemd through systemctl whenever it
// runs (QLSMTP_SYSTEMCTL names another systemctl to call).
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/system.h"

namespace plat {

extern const char kServiceUnitTemplate[];

namespace {

const char kDefaultUnitDir[] = "/etc/systemd/system";

std::atomic<ServiceCtrlFn> g_handler{nullptr};
// Set by the first status report: the service then holds its status handle
// and can take a stop control.
std::mutex g_statusLock;
std::condition_variable g_statusChanged;
bool g_statusReported = false;

std::mutex g_handlesLock;
std::map<intptr_t, std::string> g_services;  // service handle -> service name
intptr_t g_nextHandle = 2;                    // 1 is the service manager

std::string UnitDir() {
    const char* d = std::getenv("QLSMTP_UNIT_DIR");
    return (d && *d) ? std::string(d) : std::string(kDefaultUnitDir);
}

std::string UnitName(const char* name) {
    std::string u;
    for (const char* p = name; *p; ++p) {
        char c = *p;
        if (c == ' ') {
            u.push_back('-');
        } else if (c >= 'A' && c <= 'Z') {
            u.push_back(static_cast<char>(c - 'A' + 'a'));
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.') {
            u.push_back(c);
        }
    }
    return u + ".service";
}

// The systemctl to call: QLSMTP_SYSTEMCTL when set, else the system's own
// whenever systemd runs; empty when there is none to call.
std::string Systemctl() {
    const char* s = std::getenv("QLSMTP_SYSTEMCTL");
    if (s && *s) return s;
    if (::access("/run/systemd/system", F_OK) != 0) return std::string();
    for (const char* p : {"/bin/systemctl", "/usr/bin/systemctl"})
        if (::access(p, X_OK) == 0) return p;
    return std::string();
}

// Runs systemctl with the arguments, its output (without the last line
// end) in *out; its exit status, or -1 when it could not run.
int RunSystemctl(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string program = Systemctl();
    if (program.empty()) return -1;
    // Made before the fork: the child only calls what is safe there.
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        ::dup2(fds[1], 1);
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The folders that systemd reads units from: a unit elsewhere is enabled by
// its path, which links it into them.
bool InSystemdSearchPath(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path d = std::filesystem::weakly_canonical(dir, ec);
    for (const char* p : {"/etc/systemd/system", "/run/systemd/system", "/usr/local/lib/systemd/system",
                          "/usr/lib/systemd/system", "/lib/systemd/system"}) {
        std::error_code e2;
        if (!ec && d == std::filesystem::weakly_canonical(p, e2)) return true;
    }
    return false;
}

// An absolute path for one given relative to the current folder, so that
// the service, which runs from /, finds the same file.
std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The folders that install created for the settings file, innermost
// first; an install that is undone removes them again while they are empty.
std::vector<std::string> g_createdStateDirs;

void RemoveCreatedStateDirs() {
    for (const std::string& d : g_createdStateDirs) ::rmdir(d.c_str());
    g_createdStateDirs.clear();
}

void Notify(const char* message) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t len = std::strlen(path);
    if (len >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract socket
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
    ::close(fd);
}

std::string ServiceName(const CServiceHandle& h) {
    std::lock_guard<std::mutex> g(g_handlesLock);
    auto it = g_services.find(h.Get());
    return it == g_services.end() ? std::string() : it->second;
}

intptr_t NewServiceHandle(const char* name) {
    std::lock_guard<std::mutex> g(g_handlesLock);
    intptr_t h = g_nextHandle++;
    g_services[h] = name;
    return h;
}

// Quotes a word for the unit file's ExecStart and Environment lines.
std::string Quote(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q.push_back('\\');
        q.push_back(c);
    }
    return q + "\"";
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string ServiceUnitPath(const char* name) { return UnitDir() + "/" + UnitName(name); }

}  // namespace

bool RunServiceDispatcher(const char* /*name*/, ServiceMainFn serviceMain) {
    if (!std::getenv("NOTIFY_SOCKET") && !std::getenv("INVOCATION_ID")) {
        SetLastError(kErrFailedServiceControllerConnect);
        return false;
    }
    // SIGTERM and SIGINT are taken here, on the dispatcher thread, as the
    // stop control; every thread started from now on inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::atomic<bool> done{false};
    std::thread main([&] {
        serviceMain();
        done = true;
    });
    // A stop that comes before the service can take it is kept, and handed
    // on as soon as the service has reported its first status.
    bool stopPending = false;
    while (!done) {
        if (stopPending) {
            std::unique_lock<std::mutex> g(g_statusLock);
            if (g_statusChanged.wait_for(g, std::chrono::milliseconds(100), [] { return g_statusReported; })) {
                g.unlock();
                stopPending = false;
                if (ServiceCtrlFn handler = g_handler.load()) handler(kServiceControlStop);
            }
            continue;
        }
        timespec wait = {0, 100 * 1000 * 1000};
        int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig == SIGTERM || sig == SIGINT) stopPending = true;
    }
    main.join();
    return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* /*name*/, ServiceCtrlFn handler) {
    g_handler = handler;
    return 1;
}

bool SetServiceStatus(ServiceStatusHandle h, const ServiceStatus& status) {
    if (h == 0) {
        SetLastError(6);
        return false;
    }
    switch (status.currentState) {
        case kServiceRunning: Notify("READY=1"); break;
        case kServiceStopPending: Notify("STOPPING=1"); break;
        case kServiceStartPending:
        case kServiceStopped: break;
        default: SetLastError(87); return false;  // no such state
    }
    {
        std::lock_guard<std::mutex> g(g_statusLock);
        g_statusReported = true;
    }
    g_statusChanged.notify_all();
    return true;
}

void CServiceHandle::Close() {
    if (m_handle > 1) {
        std::lock_guard<std::mutex> g(g_handlesLock);
        g_services.erase(m_handle);
    }
    m_handle = 0;
}

int OpenServiceManager(uint32_t /*access*/, CServiceHandle* scm) {
    if (!IsDirectory(UnitDir().c_str())) return kErrPathNotFound;
    if (::access(UnitDir().c_str(), W_OK) != 0) return 5;  // access denied
    *scm->Put() = 1;
    return 0;
}

int OpenServiceByName(const CServiceHandle& scm, const char* name, CServiceHandle* service) {
    if (!scm.IsOpen()) return 6;
    // A unit that a package installed lives in systemd's own folders: ask
    // systemd about it when the unit folder does not hold it.
    std::string loaded;
    if (!PathExists(ServiceUnitPath(name).c_str()) &&
        (RunSystemctl({"show", "-p", "LoadState", "--value", UnitName(name)}, &loaded) != 0 || loaded != "loaded"))
        return kErrServiceDoesNotExist;
    *service->Put() = NewServiceHandle(name);
    return 0;
}

int CreateAutoStartService(const CServiceHandle& scm, const char* name, const char* /*displayName*/,
                           const char* binaryPath, CServiceHandle* service) {
    if (!scm.IsOpen()) return 6;
    std::string path = ServiceUnitPath(name);
    if (PathExists(path.c_str())) return kErrServiceExists;
    // The folder of the settings file (by default the state folder
    // /var/lib/qlsmtp) is there before anything is written into it.
    std::string stateDir = std::filesystem::path(AbsolutePath(RegistryFilePath())).parent_path().string();
    g_createdStateDirs.clear();
    for (std::filesystem::path d = stateDir; !d.empty() && !IsDirectory(d.c_str()); d = d.parent_path()) {
        g_createdStateDirs.push_back(d.string());
        if (d == d.parent_path()) break;
    }
    for (auto d = g_createdStateDirs.rbegin(); d != g_createdStateDirs.rend(); ++d) {
        if (::mkdir(d->c_str(), 0755) != 0 && errno != EEXIST) {
            RemoveCreatedStateDirs();
            return kErrPathNotFound;
        }
    }
    // The service reads the same settings and event log as the installer,
    // by absolute paths: it runs from /.
    std::string env;
    for (const char* var : {"QLSMTP_REGISTRY", "QLSMTP_EVENTLOG"}) {
        const char* v = std::getenv(var);
        if (v && *v) env += "Environment=" + Quote(std::string(var) + "=" + AbsolutePath(v)) + "\n";
    }
    std::string text = ReplaceAll(kServiceUnitTemplate, "{{EXEC}}", Quote(AbsolutePath(binaryPath)));
    text = ReplaceAll(text, "{{ENVIRONMENT}}\n", env);
    CFile f;
    int r = f.Open(path.c_str(), kCreateNewExclusiveRW);
    if (r != 0) return r == kErrFileExists ? kErrServiceExists : r;
    bool written = f.Write(text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
    f.Close();
    if (written && !Systemctl().empty()) {
        std::string unit = InSystemdSearchPath(UnitDir()) ? UnitName(name) : AbsolutePath(path);
        written = RunSystemctl({"daemon-reload"}) == 0 && RunSystemctl({"enable", unit}) == 0;
    }
    if (!written) {
        // Nothing of a failed install stays behind.
        RemoveFile(path.c_str());
        RunSystemctl({"daemon-reload"});
        RemoveCreatedStateDirs();
        return 1603;  // fatal error during installation
    }
    *service->Put() = NewServiceHandle(name);
    return 0;
}

int QueryServiceState(const CServiceHandle& service, uint32_t* state) {
    std::string name = ServiceName(service);
    if (name.empty()) return 6;
    *state = kServiceStopped;
    std::string s;
    if (RunSystemctl({"show", "-p", "ActiveState", "--value", UnitName(name.c_str())}, &s) != 0) return 0;
    if (s == "active" || s == "reloading") {
        *state = kServiceRunning;
    } else if (s == "activating") {
        *state = kServiceStartPending;
    } else if (s == "deactivating") {
        *state = kServiceStopPending;
    }
    return 0;
}

int DeleteService(const CServiceHandle& service) {
    std::string name = ServiceName(service);
    if (name.empty()) return 6;
    RunSystemctl({"disable", UnitName(name.c_str())});
    int r = RemoveFile(ServiceUnitPath(name.c_str()).c_str());
    if (r == 0) RunSystemctl({"daemon-reload"});
    RemoveCreatedStateDirs();
    return r;
}

int ControlServiceByHandle(const CServiceHandle& service, uint32_t control, uint32_t* state) {
    std::string name = ServiceName(service);
    if (name.empty()) return 6;
    if (control == kServiceControlStop) RunSystemctl({"stop", UnitName(name.c_str())});
    return QueryServiceState(service, state);
}

}  // namespace plat

// Starting a unit and listing the units that depend on it, for the
// configuration command. Without systemd nothing can be started and nothing
// depends on the gateway.
namespace plat {

int QueryServiceStatusFull(const CServiceHandle& service, ServiceStatus* status) {
    *status = ServiceStatus();
    // systemd gives no wait hint; each query runs systemctl, so a waiter
    // polling at a tenth of this asks ten times a second.
    status->waitHint = 1000;
    return QueryServiceState(service, &status->currentState);
}

int StartServiceByHandle(const CServiceHandle& service) {
    std::string name = ServiceName(service);
    if (name.empty()) return 6;
    if (Systemctl().empty()) return 50;  // not supported
    uint32_t state = 0;
    if (QueryServiceState(service, &state) == 0 && state == kServiceRunning) return kErrServiceAlreadyRunning;
    int rc = RunSystemctl({"start", "--no-block", UnitName(name.c_str())});
    return rc == 0 ? 0 : (::geteuid() == 0 ? 1064 : 5);
}

int EnumServiceDependants(const CServiceHandle& service, uint32_t stateFilter, void* buffer, uint32_t size,
                          uint32_t* needed, uint32_t* count) {
    std::string name = ServiceName(service);
    if (name.empty()) return 6;
    // Units that need this one (RequiredBy, BoundBy), as service names: the
    // unit name without ".service".
    std::vector<std::pair<std::string, uint32_t>> found;
    std::string list;
    if (RunSystemctl({"show", "-p", "RequiredBy", "-p", "BoundBy", "--value", UnitName(name.c_str())}, &list) == 0) {
        for (char& c : list)
            if (c == '\n') c = ' ';
        size_t at = 0;
        while (at < list.size()) {
            size_t end = list.find(' ', at);
            if (end == std::string::npos) end = list.size();
            std::string unit = list.substr(at, end - at);
            at = end + 1;
            const std::string suffix = ".service";
            if (unit.size() <= suffix.size() || unit.compare(unit.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            std::string state;
            RunSystemctl({"show", "-p", "ActiveState", "--value", unit}, &state);
            bool active = state != "inactive" && state != "failed";
            if (((stateFilter & kServiceActive) && active) || ((stateFilter & kServiceInactive) && !active))
                found.emplace_back(unit.substr(0, unit.size() - suffix.size()), active ? kServiceRunning : kServiceStopped);
        }
    }
    uint32_t need = static_cast<uint32_t>(found.size() * sizeof(DependentService));
    for (const auto& f : found) need += static_cast<uint32_t>(2 * (f.first.size() + 1));
    *needed = need;
    *count = 0;
    if (need > size) return kErrMoreData;
    auto* entries = static_cast<DependentService*>(buffer);
    char* text = static_cast<char*>(buffer) + found.size() * sizeof(DependentService);
    for (size_t i = 0; i < found.size(); ++i) {
        DependentService e;
        e.serviceName = text;
        std::memcpy(text, found[i].first.c_str(), found[i].first.size() + 1);
        text += found[i].first.size() + 1;
        e.displayName = text;
        std::memcpy(text, found[i].first.c_str(), found[i].first.size() + 1);
        text += found[i].first.size() + 1;
        e.status = ServiceStatus();
        e.status.currentState = found[i].second;
        std::memcpy(static_cast<void*>(&entries[i]), &e, sizeof(e));
    }
    *count = static_cast<uint32_t>(found.size());
    return 0;
}

}  // namespace plat
