// Program entry and run modes.
#include "gateway/service/entry.h"

#include <cstdio>
#include <memory>
#include <string>

#include "common/settings_names.h"
#include "gateway/service/cservice.h"
#include "gateway/core/diag.h"
#include "gateway/service/install.h"
#include "gateway/smtp_in/handoff.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/core/cfileman.h"
#include "gateway/smtp_out/smtp_out.h"
#include "platform/eventlog.h"
#include "platform/system.h"

namespace {

// The stopped state's exit code when the gateway lacks a thread.
constexpr uint32_t kNotEnoughMemory = 8;

// Live until the process ends.
std::unique_ptr<CFileMan> g_FileMan;
std::unique_ptr<SMTPInListener> g_Listener;
std::unique_ptr<SMTPOut> g_Outbound;

CService g_Service;

void RunConsole() {
    auto service = std::make_unique<CService>();
    EntryFunction(service.get());
    // What stops the gateway is on the console already.
    if (service->HasEntryFailed()) return;
    std::fputs("Press q to stop the gateway\n", stdout);
    std::fflush(stdout);  // a reader on a pipe sees the prompt at once
    int c = std::getchar();
    while (c != 'q') {
        plat::SleepMs(1000);
        c = std::getchar();
    }
    service.reset();
}

void RunService() {
    if (g_Service.InitService(qlsmtp::kServiceName, EntryFunction) != 0) return;
    int code = plat::LastError();
    plat::ShowMessage("Command prompt:Service will about to start", "Startup Message", plat::kIconNone);
    plat::ShowMessage(plat::ErrorText(code).c_str(), "Error", plat::kIconInformation);
}

}  // namespace

RunMode ChooseMode(const std::string& commandLine) {
    char last = commandLine.empty() ? '\0' : commandLine.back();
    switch (last) {
        case 'i':
        case 'I': return RunMode::Install;
        case 'u':
        case 'U': return RunMode::Remove;
        case 'm':
        case 'M': return RunMode::Console;
        default: return RunMode::Service;
    }
}

void EntryFunction(CService* service) {
    GetDebugSettings();
    DLOG("Entered Entry function for the service.");
    // Without its data directory and domain the gateway can do nothing
    // right: it says what is missing and does not start.
    if (ReportMissingSettings() != 0) {
        service->EntryFailed(0, 439);
        return;
    }
    g_FileMan = std::make_unique<CFileMan>();
    g_Listener = std::make_unique<SMTPInListener>();
    g_Listener->m_FileMan = g_FileMan.get();
    g_Listener->m_HandOff = TranslateReceivedMessage;
    g_Listener->m_PrepareHandOff = PrepareHandoffRecord;
    g_Listener->ReadReceivePolicy();
    service->m_SMTPIN = g_Listener.get();
    int port = GetSMTPInPortNumber();
    if (g_Listener->ConnectToPort(port) == 0) {
        DLOGF("Connected to Port %d", port);
    } else {
        // Sending goes on; the accept thread binds the port again later.
        ReportEventAndConsole(plat::kEventError, 438, qlsmtp::kServiceName, std::to_string(port).c_str(),
                              plat::ErrorText(g_Listener->BindError()).c_str());
    }
    DLOG("start to accept the calls.");
    if (g_Listener->StartAcceptThread() != 0) {
        ConsoleLine("Unable to create Thread for accepting for the connections.");
        service->EntryFailed(kNotEnoughMemory, 0);
        return;
    }
    g_Listener->StartHandOffWorker();  // messages left by a crash, in the background
    DLOG("INCOMING TRAFFIC : Waiting for connections.");
    g_Outbound = std::make_unique<SMTPOut>();
    g_Outbound->SetFileManager(g_FileMan.get());
    service->m_SMTPOUT = g_Outbound.get();
    g_Outbound->Start();
    DLOG("OUTGOING TRAFFIC : SMTP out started");
    service->EntryStarted();
}

int RunProgram(int argc, char** argv) {
    plat::InitProcess();
    ResetServiceEventSource();
    switch (ChooseMode(plat::CommandLine(argc, argv))) {
        case RunMode::Install: InstallService(); break;
        case RunMode::Remove: RemoveService(); break;
        case RunMode::Console: RunConsole(); break;
        case RunMode::Service: RunService(); break;
    }
    return 1;
}

