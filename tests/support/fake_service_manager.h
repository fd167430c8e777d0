// A service manager that the tests script: services with states, dependants
// and errors, a log of the requests, and its own clock (a wait of 100 s takes
// no time). It gives what Wine's only imitates (dependants, log-on failure).
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
        int startError = 0, stopError = 0;    // answers to a start request and a stop control
        uint32_t stateAfterStart = plat::kServiceRunning, stateAfterStop = plat::kServiceStopped;
        uint32_t waitHint = 0;
        std::string path;  // of a registration
    };

    std::map<std::string, Service> m_services;
    std::vector<std::string> m_requests;  // "start NAME", "stop NAME", "create NAME", "delete NAME"
    int m_openManagerError = 0, m_createError = 0, m_deleteError = 0;
    Service m_created;  // what a registration makes
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
    int Start(intptr_t h) override { return Request("start ", h, Of(h).startError, Of(h).stateAfterStart); }
    int Control(intptr_t h, uint32_t) override { return Request("stop ", h, Of(h).stopError, Of(h).stateAfterStop); }
    int EnumDependents(intptr_t service, uint32_t filter, void* buffer, uint32_t size, uint32_t* needed,
                       uint32_t* count) override {
        std::vector<std::string> names;
        for (const std::string& d : Of(service).dependants)
            if ((filter == plat::kServiceActive) != (m_services[d].state == plat::kServiceStopped)) names.push_back(d);
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
    int Create(intptr_t scm, const char* name, const char*, const char* path, intptr_t* service) override {
        m_requests.push_back(std::string("create ") + name);
        if (m_createError) return m_createError;
        (m_services[name] = m_created).path = path;
        return OpenServiceNamed(scm, name, service);
    }
    int Delete(intptr_t service) override {
        m_requests.push_back("delete " + NameOf(service));
        if (!m_deleteError) m_services.erase(NameOf(service));
        return m_deleteError;
    }

private:
    int Request(const char* what, intptr_t h, int error, uint32_t stateAfter) {
        m_requests.push_back(what + NameOf(h));
        if (!error) Of(h).state = stateAfter;
        return error;
    }
    const std::string& NameOf(intptr_t h) const { return m_handles[static_cast<size_t>(h) - 1]; }
    Service& Of(intptr_t h) { return m_services[NameOf(h)]; }
    std::vector<std::string> m_handles;  // handle value - 1 -> service name
};

}  // namespace testsupport
