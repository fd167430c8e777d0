// A service manager that the tests script: services with states, dependants
// and errors, a log of the requests made, and its own clock, so that a wait
// of 100 seconds takes no time. It gives what Wine's manager only imitates
// (dependent services, log-on failure 1069).
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/service_control.h"

namespace testsupport {

class CFakeServiceManager : public qlsmtp::CServiceManager {
public:
    struct Service {
        uint32_t state = plat::kServiceStopped;
        std::vector<std::string> dependants;  // in the order they are listed
        int startError = 0;                   // answer to a start request
        int stopError = 0;                    // answer to a stop control
        uint32_t stateAfterStart = plat::kServiceRunning;
        uint32_t stateAfterStop = plat::kServiceStopped;
        uint32_t waitHint = 0;
    };

    std::map<std::string, Service> m_services;
    std::vector<std::string> m_requests;  // "start NAME" / "stop NAME"
    int m_openManagerError = 0;
    int64_t m_nowMs = 1000000;
    std::vector<uint32_t> m_sleeps;
    int m_openHandles = 0;

    int OpenManager(intptr_t* scm) override {
        if (m_openManagerError) return m_openManagerError;
        ++m_openHandles;
        *scm = -1;
        return 0;
    }
    int OpenServiceNamed(intptr_t, const char* name, intptr_t* service) override {
        if (!m_services.count(name)) return plat::kErrServiceDoesNotExist;
        m_handles.push_back(name);
        ++m_openHandles;
        *service = static_cast<intptr_t>(m_handles.size());
        return 0;
    }
    void Close(intptr_t) override { --m_openHandles; }
    int QueryStatus(intptr_t service, plat::ServiceStatus* status) override {
        *status = plat::ServiceStatus();
        status->currentState = Of(service).state;
        status->waitHint = Of(service).waitHint;
        return 0;
    }
    int Start(intptr_t service) override {
        m_requests.push_back("start " + NameOf(service));
        Service& s = Of(service);
        if (s.startError) return s.startError;
        s.state = s.stateAfterStart;
        return 0;
    }
    int Control(intptr_t service, uint32_t) override {
        m_requests.push_back("stop " + NameOf(service));
        Service& s = Of(service);
        if (s.stopError) return s.stopError;
        s.state = s.stateAfterStop;
        return 0;
    }
    int EnumDependents(intptr_t service, uint32_t filter, void* buffer, uint32_t size, uint32_t* needed,
                       uint32_t* count) override {
        std::vector<std::string> names;
        for (const std::string& d : Of(service).dependants) {
            bool stopped = m_services[d].state == plat::kServiceStopped;
            if ((filter == plat::kServiceActive) != stopped) names.push_back(d);
        }
        *needed = static_cast<uint32_t>(names.size() * sizeof(plat::DependentService));
        for (const std::string& n : names) *needed += static_cast<uint32_t>(n.size() + 1);
        *count = 0;
        if (*needed > size) return plat::kErrMoreData;
        char* text = static_cast<char*>(buffer) + names.size() * sizeof(plat::DependentService);
        for (size_t i = 0; i < names.size(); ++i) {
            plat::DependentService e{text, text, plat::ServiceStatus()};
            std::memcpy(text, names[i].c_str(), names[i].size() + 1);
            text += names[i].size() + 1;
            std::memcpy(static_cast<char*>(buffer) + i * sizeof(e), &e, sizeof(e));
        }
        *count = static_cast<uint32_t>(names.size());
        return 0;
    }
    int64_t NowSeconds() override { return m_nowMs / 1000; }
    void Sleep(uint32_t ms) override {
        m_sleeps.push_back(ms);
        m_nowMs += ms;
    }

private:
    const std::string& NameOf(intptr_t h) const { return m_handles[static_cast<size_t>(h) - 1]; }
    Service& Of(intptr_t h) { return m_services[NameOf(h)]; }
    std::vector<std::string> m_handles;  // handle value - 1 -> service name
};

}  // namespace testsupport
