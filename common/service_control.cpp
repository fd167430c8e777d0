// Starting and stopping a service with its dependants.
#include "common/service_control.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>

#include "platform/system.h"

namespace qlsmtp {

namespace {

constexpr char kMemoryFailed[] = "Memory allocation failed";
constexpr char kErrorCaption[] = "Service control";
constexpr size_t kErrorTextMax = 200;

// The platform's handles are owned by CServiceHandle objects that the
// manager's handle values point to.
plat::CServiceHandle* Own(intptr_t h) { return reinterpret_cast<plat::CServiceHandle*>(h); }

int OpenInto(intptr_t* out, const std::function<int(plat::CServiceHandle*)>& open) {
    auto* h = new (std::nothrow) plat::CServiceHandle;
    if (!h) return 8;  // not enough memory
    int r = open(h);
    if (r != 0) {
        delete h;
        return r;
    }
    *out = reinterpret_cast<intptr_t>(h);
    return 0;
}

}  // namespace

int CServiceManager::OpenManager(intptr_t* scm) {
    return OpenInto(scm, [](plat::CServiceHandle* h) { return plat::OpenServiceManager(plat::kScManagerAllAccess, h); });
}

int CServiceManager::OpenServiceNamed(intptr_t scm, const char* name, intptr_t* service) {
    return OpenInto(service, [&](plat::CServiceHandle* h) { return plat::OpenServiceByName(*Own(scm), name, h); });
}

void CServiceManager::Close(intptr_t handle) { delete Own(handle); }

int CServiceManager::QueryStatus(intptr_t service, plat::ServiceStatus* status) {
    return plat::QueryServiceStatusFull(*Own(service), status);
}

int CServiceManager::Start(intptr_t service) { return plat::StartServiceByHandle(*Own(service)); }

int CServiceManager::Control(intptr_t service, uint32_t control) {
    uint32_t state = 0;
    return plat::ControlServiceByHandle(*Own(service), control, &state);
}

int CServiceManager::EnumDependents(intptr_t service, uint32_t stateFilter, void* buffer, uint32_t size,
                                    uint32_t* needed, uint32_t* count) {
    return plat::EnumServiceDependants(*Own(service), stateFilter, buffer, size, needed, count);
}

int64_t CServiceManager::NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void CServiceManager::Sleep(uint32_t ms) { plat::SleepMs(ms); }

int CServiceManager::Create(intptr_t scm, const char* name, const char* displayName, const char* path,
                            intptr_t* service) {
    return OpenInto(service, [&](plat::CServiceHandle* h) {
        return plat::CreateAutoStartService(*Own(scm), name, displayName, path, h);
    });
}

int CServiceManager::Delete(intptr_t service) { return plat::DeleteService(*Own(service)); }

CServiceManager& RealServiceManager() {
    static CServiceManager manager;
    return manager;
}

CServiceControl::CServiceControl(const Style& style, CServiceManager* manager, ShowMessageFn show)
    : m_style(style), m_manager(manager ? *manager : RealServiceManager()), m_show(std::move(show)) {}

void CServiceControl::Show(const char* text, const char* caption, int icon) {
    if (m_show) {
        m_show(text, caption, icon);
    } else {
        plat::ShowMessage(text, caption, icon);
    }
}

int CServiceControl::StartStopService(const char* name, int start) {
    int result = kFailed;
    m_lastError = 0;
    CScHandle scm(m_manager), service(m_manager);
    if (int r = m_manager.OpenManager(scm.Put())) {
        m_lastError = r;
        return kFailed;
    }
    if (int r = m_manager.OpenServiceNamed(scm.Get(), name, service.Put())) {
        m_lastError = r;
        return kFailed;
    }
    plat::ServiceStatus status;
    // Starts or stops every dependant of the service; the list's own result.
    auto forDependants = [&](int startThem) {
        std::unique_ptr<char[]> list;
        uint32_t count = 0;
        int listed = ListDependentServices(service.Get(), startThem, &list, &count);
        auto* deps = reinterpret_cast<plat::DependentService*>(list.get());
        for (uint32_t i = 0; i < count; ++i) {
            CServiceControl dependant(*this);
            dependant.StartStopService(deps[i].serviceName, startThem);
        }
        return listed;
    };
    auto startFailed = [&] {
        if (m_style.startFailedText) Show(m_style.startFailedText, m_style.caption, plat::kIconError);
    };
    if (start) {
        int r = m_manager.QueryStatus(service.Get(), &status);
        if (r == 0 && status.currentState == plat::kServiceRunning) {
            result = kOk;
        } else if ((r = m_manager.Start(service.Get())) != 0) {
            m_lastError = r;
            startFailed();
        } else if ((result = WaitForServiceState(service.Get(), plat::kServiceRunning)) != kOk) {
            startFailed();
        } else {
            if (forDependants(1)) return result;
        }
    } else {
        int listed = forDependants(0);
        int r = m_manager.QueryStatus(service.Get(), &status);
        if (r != 0) m_lastError = r;
        if (r == 0 && status.currentState == plat::kServiceStopped) {
            result = kOk;
            if (listed) return result;
        } else if ((r = m_manager.Control(service.Get(), plat::kServiceControlStop)) != 0) {
            m_lastError = r;
        } else if ((result = WaitForServiceState(service.Get(), plat::kServiceStopped)) == kOk && listed) {
            return result;
        }
    }
    // The error of the step that failed decides the result.
    switch (m_lastError) {
        case 0: return result;
        case plat::kErrServiceNotActive:
            if (!start) return kOk;
            break;
        case plat::kErrServiceAlreadyRunning:
            if (start) return kOk;
            break;
        case plat::kErrServiceLogonFailed: return kLogonFailed;
        default: break;
    }
    std::string system = plat::ErrorText(m_lastError);
    if (system.size() >= kErrorTextMax) system.resize(kErrorTextMax - 1);
    std::string text = std::string("ERROR ") + (start ? "starting" : "stopping") + " service " + name + ":\n\n" + system;
    Show(text.c_str(), kErrorCaption, plat::kIconError);
    return result;
}

int CServiceControl::ListDependentServices(intptr_t service, int start, std::unique_ptr<char[]>* list,
                                           uint32_t* count) {
    uint32_t filter = start ? plat::kServiceInactive : plat::kServiceActive;
    uint32_t needed = 0;
    list->reset();
    m_lastError = 0;
    int r = m_manager.EnumDependents(service, filter, nullptr, 0, &needed, count);
    if (r == 0) return 1;
    if (r == plat::kErrMoreData) {
        list->reset(new (std::nothrow) char[needed]);
        if (!*list) {
            *count = 0;
            Show(kMemoryFailed, m_style.caption, plat::kIconError);
            return 0;
        }
        m_lastError = 0;
        r = m_manager.EnumDependents(service, filter, list->get(), needed, &needed, count);
        if (r == 0) return 1;
    }
    m_lastError = r;
    *count = 0;
    list->reset();
    return 0;
}

int CServiceControl::WaitForServiceState(intptr_t service, uint32_t state) {
    const int64_t started = m_manager.NowSeconds();
    plat::ServiceStatus status;
    for (;;) {
        int r = m_manager.QueryStatus(service, &status);
        if (r != 0) m_lastError = r;
        if (r == 0 && status.currentState == state) return kOk;
        // A tenth of the service's own estimate, between 10 and 250 ms, so the
        // wait neither spins nor lags far behind the service.
        m_manager.Sleep(std::clamp<uint32_t>(status.waitHint / 10, 10, 250));
        int64_t now = m_manager.NowSeconds();
        if (now - started >= kWaitLimitSeconds || now < started) return kTimedOut;
    }
}

}  // namespace qlsmtp
