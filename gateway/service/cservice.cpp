#include "gateway/service/cservice.h"

#include "gateway/service/diag.h"
#include "platform/service.h"

namespace {
CService* g_Service = nullptr;
}

CService::CService() { DLOG("CService::CService.\r\n"); }

CService::~CService() { DLOG("CService::~CService.\r\n"); }

int CService::InitService(const char* name, EntryFn entry) {
    g_Service = this;
    m_EntryFunction = entry;
    m_ServiceName = name;
    DLOG("Before dispatcher in Initservice.\r\n");
    return plat::RunServiceDispatcher(name, ServiceMain) ? 1 : 0;
}

void CService::ServiceMain() {
    DLOG("Entered 'SmtpService' Service main.\r\n");
    if (g_Service && g_Service->m_EntryFunction) g_Service->m_EntryFunction(g_Service);
}
