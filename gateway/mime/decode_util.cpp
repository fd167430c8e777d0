#include "gateway/mime/decode_util.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "platform/eventlog.h"
#include "platform/system.h"

namespace mime {

namespace {

inline unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

// Queued console output and the thread that writes it.
class CConsoleQueue {
public:
    CConsoleQueue() : m_state(std::make_shared<State>()) {}
    ~CConsoleQueue() {
        if (!m_thread.joinable()) return;
        std::unique_lock<std::mutex> lock(m_state->lock);
        m_state->stop = true;
        m_state->wake.notify_all();
        // A writer stuck on a full pipe must not hold up the process end.
        bool done = m_state->wake.wait_for(lock, std::chrono::seconds(2), [this] { return m_state->done; });
        lock.unlock();
        if (done)
            m_thread.join();
        else
            m_thread.detach();
    }

    void Write(bool toStdErr, const char* text, size_t length) {
        std::lock_guard<std::mutex> lock(m_state->lock);
        if (!m_thread.joinable()) m_thread = std::thread(Run, m_state);
        std::string& buf = toStdErr ? m_state->err : m_state->out;
        if (buf.size() + length > kMaxQueued) return;
        bool wasIdle = m_state->out.empty() && m_state->err.empty();
        buf.append(text, length);
        if (wasIdle) m_state->wake.notify_all();
    }

private:
    static constexpr size_t kMaxQueued = 1 << 20;

    struct State {
        std::mutex lock;
        std::condition_variable wake;
        std::string out;
        std::string err;
        bool stop = false;
        bool done = false;
    };

    static void Run(std::shared_ptr<State> state) {
        std::string out, err;
        std::unique_lock<std::mutex> lock(state->lock);
        for (;;) {
            state->wake.wait(lock, [&] { return state->stop || !state->out.empty() || !state->err.empty(); });
            out.swap(state->out);
            err.swap(state->err);
            bool stop = state->stop;
            lock.unlock();
            if (!err.empty()) {
                std::fwrite(err.data(), 1, err.size(), stderr);
                std::fflush(stderr);
                err.clear();
            }
            if (!out.empty()) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                std::fflush(stdout);
                out.clear();
            }
            lock.lock();
            if (stop && state->out.empty() && state->err.empty()) break;
        }
        state->done = true;
        state->wake.notify_all();
    }

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

CConsoleQueue& Queue() {
    static CConsoleQueue queue;
    return queue;
}

void OnMemoryExhausted() {
    std::fputs("Memory exhausted\n", stderr);
    std::fflush(stderr);
    // Other threads may still use the objects that exit() would destroy.
    std::_Exit(1);
}

}  // namespace

int CaseCompare(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = Upper(static_cast<unsigned char>(*a));
        unsigned char y = Upper(static_cast<unsigned char>(*b));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

int CaseCompareN(const char* a, const char* b, size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        unsigned char x = Upper(static_cast<unsigned char>(*a));
        unsigned char y = Upper(static_cast<unsigned char>(*b));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

void ConsoleWrite(bool toStdErr, const char* text, size_t length) { Queue().Write(toStdErr, text, length); }

void CConsoleReporter::DecodeWarning(const std::string& text) {
    std::string line = "qlsmtpgw: warning: ";
    line += text;
    line += '\n';
    ConsoleWrite(true, line.data(), line.size());
}

void CConsoleReporter::DecodeStatus(const std::string& text) {
    std::string line = text;
    line += '\n';
    ConsoleWrite(false, line.data(), line.size());
}

void CConsoleReporter::ErrorReport(const std::string& text, int error) {
    std::string line = text;
    line += ": ";
    line += plat::ErrorText(error);
    line += '\n';
    ConsoleWrite(true, line.data(), line.size());
}

void CConsoleReporter::FragmentStoreRefused(const std::string& path) {
    ReportServiceEvent(plat::kEventError, 442, qlsmtp::kServiceName, path.c_str());
}

CConsoleReporter& CConsoleReporter::Instance() {
    static CConsoleReporter reporter;
    return reporter;
}

void InstallMemoryExhaustedHandler() {
    static std::once_flag once;
    std::call_once(once, [] { std::set_new_handler(OnMemoryExhausted); });
}

}  // namespace mime
