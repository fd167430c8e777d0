// The SMTP listener and its connections: each stores the messages of its
// session in raw message files and hands them to the fax server.
#include "gateway/smtp_in/smtp_in.h"

#include <chrono>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "gateway/smtp_in/handoff.h"
#include "gateway/core/cfileman.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

constexpr size_t kLineMax = 100;  // the longest piece the session stores at once
constexpr uint32_t kRetrySeconds = 60;
constexpr size_t kWriteChunk = 65536;

// A refusal of the receive policy in the event log; client in host order.
void ReportRefusal(SmtpVerdict verdict, uint32_t client, std::string_view sender, uint32_t sizeLimit) {
    const std::string address = qlsmtp::FormatIPv4(client);
    switch (verdict) {
        case SmtpVerdict::kClientRefused:
            ReportServiceEvent(plat::kEventWarning, 443, qlsmtp::kServiceName, address.c_str());
            break;
        case SmtpVerdict::kSenderRefused:
            ReportServiceEvent(plat::kEventWarning, 444, qlsmtp::kServiceName, std::string(sender).c_str(),
                               address.c_str());
            break;
        case SmtpVerdict::kMessageTooLarge:
            ReportServiceEvent(plat::kEventWarning, 445, qlsmtp::kServiceName, address.c_str(),
                               std::to_string(sizeLimit).c_str());
            break;
    }
}

// A list setting of the receive policy; one that cannot be read allows nobody.
template <typename List>
void ReadList(const plat::CRegKey& key, const char* name, List* list) {
    char text[8192];
    const long r = key.QueryString(name, text, sizeof(text));
    if (r == plat::kRegNotFound) return;
    if (r != 0) {
        DLOGF("Setting %s cannot be read (error %ld): nobody is allowed.", name, r);
        list->DenyAll();
        return;
    }
    std::vector<std::string> bad;
    list->Parse(text, &bad);
    for (const std::string& entry : bad) DLOGF("Setting %s: entry \"%s\" is not understood and skipped.", name, entry.c_str());
    if (list->Restricted() && bad.size() == qlsmtp::SplitList(text).size())
        DLOGF("Setting %s has no entry that is understood: nobody is allowed.", name);
}

}  // namespace

void SMTPInListener::ReadReceivePolicy() {
    m_Policy = {};
    plat::CRegKey key;
    if (key.Open(qlsmtp::kSettingsKey, false) != 0) return;
    ReadList(key, qlsmtp::kValAllowedClients, &m_Policy.clients);
    ReadList(key, qlsmtp::kValAllowedSenders, &m_Policy.senders);
    if (key.QueryDword(qlsmtp::kValMaxMessageSize, &m_Policy.maxMessageSize) != 0) m_Policy.maxMessageSize = 0;
}

SMTPInListener::~SMTPInListener() {
    StopHandOffWorker();
    Shutdown();
}

std::unique_ptr<CClientThread> SMTPInListener::CreateThreadInstance() {
    return std::make_unique<SMTPInThread>(*this);
}

void SMTPInListener::ReleaseThreadInstance(std::unique_ptr<CClientThread>) {}

int SMTPInListener::HandOffAndRemove(const char* rawPath) {
    int result = m_HandOff(HandOffLock(), rawPath);
    if (result == 0) plat::RemoveFile(rawPath);
    std::lock_guard<std::mutex> g(m_FailedLock);
    if (result != 0) {
        if (m_Failed.insert(rawPath).second)
            ReportServiceEvent(plat::kEventError, 440, qlsmtp::kServiceName, rawPath);
    } else if (m_Failed.erase(rawPath) != 0) {
        ReportServiceEvent(plat::kEventInformation, 441, qlsmtp::kServiceName, rawPath);
    }
    return result;
}

void SMTPInListener::HandOffLeftovers() {
    if (!m_FileMan || !m_HandOff) return;
    const std::string out = std::string(m_FileMan->GetProgramPath()) + "OUT";
    {
        // No hand-off runs while the lock is held: what a crash left of one
        // can be told apart and ended.
        std::lock_guard<std::mutex> g(HandOffLock());
        RecoverHandoffs(out);
    }
    std::vector<std::string> raw;
    m_FileMan->RecoverReceived(&raw);  // the files are this worker's until released
    for (const std::string& path : raw) {
        if (!m_WorkerStop) {
            DLOGF("Handing off a message left in OUT: %s", path.c_str());
            if (HandOffAndRemove(path.c_str()) != 0)
                DLOGF("Hand-off failed, the raw message file stays for the next round: %s", path.c_str());
        }
        m_FileMan->ReleaseMsg(path.c_str());
    }
}

void SMTPInListener::StartHandOffWorker() {
    if (m_Worker.joinable() || !m_FileMan) return;
    uint32_t seconds = kRetrySeconds;
    std::string text;
    if (plat::GetEnv("QLSMTP_RETRY_SECONDS", &text) && std::atoi(text.c_str()) > 0)
        seconds = static_cast<uint32_t>(std::atoi(text.c_str()));
    m_WorkerStop = false;
    m_Worker = std::thread([this, seconds] {
        std::unique_lock<std::mutex> lk(m_WorkerLock);
        while (!m_WorkerStop) {
            lk.unlock();
            HandOffLeftovers();
            lk.lock();
            m_WorkerWake.wait_for(lk, std::chrono::seconds(seconds), [this] { return m_WorkerStop.load(); });
        }
    });
}

void SMTPInListener::StopHandOffWorker() {
    {
        std::lock_guard<std::mutex> g(m_WorkerLock);
        m_WorkerStop = true;
    }
    m_WorkerWake.notify_all();
    if (m_Worker.joinable()) m_Worker.join();
}

void SMTPInThread::OnConnect() {
    DLOG("SMTPInThread::OnConnect : Entering.\r\n");
    DLOG("New Connection .............");
    m_FileMan = m_SmtpListener->m_FileMan;
    char domain[99] = {};
    if (m_FileMan) m_FileMan->GetDomainName(domain, sizeof(domain));
    const uint32_t client = plat::HostToNet32(m_ClientAddr.addr);  // to host order
    const qlsmtp::ReceivePolicy& policy = m_SmtpListener->m_Policy;
    SmtpSession session(domain, {
        .reply = [this](std::string_view text) { Send(text.data(), static_cast<int>(text.size())); },
        .beginMessage = [this] { OpenMessage(); },
        .storeBytes = [this](std::string_view bytes) { StoreMessageBytes(bytes); },
        .endOfData = [this] { return CommitMessage(); },
        .messageAcknowledged = [this] { HandOffMessage(); },
        .messageAbandoned = [this] { DropMessage(); },
        .messageDiscarded = [this] { DiscardMessage(); },
        .refused = [client, &policy](SmtpVerdict verdict, std::string_view sender) {
            ReportRefusal(verdict, client, sender, policy.maxMessageSize);
        },
    }, &policy, client);
    session.Start();
    // Large reads: a big message arrives in a few calls instead of hundreds.
    char buffer[65536];
    while (!session.Ended()) {  // a refused client is closed at once
        const int n = Receive(buffer, sizeof(buffer));
        if (n <= 0) {
            session.EndOfInput();
            break;
        }
        if (!session.Feed(buffer, static_cast<size_t>(n))) break;
    }
    DLOG("SMTPInThread::OnConnect : Leaving.\r\n");
}

void SMTPInThread::OpenMessage() {
    m_File = plat::kInvalidFile;
    m_FileOk = m_FileMan && m_FileMan->QUE_AddMsg(&m_File, m_MsgPath, sizeof(m_MsgPath)) == 0;
    m_Pending.clear();
    m_Pending.reserve(kWriteChunk + kLineMax + 1);  // one allocation for the whole message
}

void SMTPInThread::StoreMessageBytes(std::string_view bytes) {
    m_Pending.append(bytes);
    if (m_Pending.size() >= kWriteChunk) Flush();
}

void SMTPInThread::Flush() {
    if (m_FileOk && !m_Pending.empty() &&
        filestore::Write(m_File, m_Pending.data(), static_cast<int>(m_Pending.size())) != static_cast<int>(m_Pending.size())) {
        DLOG("Unable to write the message data.");
        m_FileOk = false;
    }
    m_Pending.clear();
}

// Only a complete message, safely on disk, is acknowledged.
bool SMTPInThread::CommitMessage() {
    Flush();
    DLOG(" Close File");
    const plat::FileHandle file = std::exchange(m_File, plat::kInvalidFile);
    // The hand-off record is made first, so that the commit's folder flush
    // covers its name as well.
    const bool recordMade = m_FileOk && m_SmtpListener->m_PrepareHandOff && m_SmtpListener->m_PrepareHandOff(m_MsgPath);
    if (!m_FileOk || m_FileMan->CommitMsg(file, m_MsgPath) != 0) {
        if (recordMade) plat::RemoveFile(HandoffRecordPath(m_MsgPath).c_str());
        if (!m_FileOk && file != plat::kInvalidFile) m_FileMan->DiscardMsg(file, m_MsgPath);
        DLOG("Unable to store the message: answered 451.");
        return false;
    }
    return true;
}

void SMTPInThread::HandOffMessage() {
    DLOG("DATASTREAM end");
    DLOG("SMTPInThread::OnConnect : Decode\r\n");
    if (m_SmtpListener->m_HandOff) {
        if (m_SmtpListener->HandOffAndRemove(m_MsgPath) == 0) {
            DLOG("SMTPInThread::OnConnect : Removed\r\n");
        } else {
            DLOG("Hand-off failed: the raw message file stays and is handed off again later.");
        }
    }
    // From here a raw message file left in OUT is the hand-off worker's.
    m_FileMan->ReleaseMsg(m_MsgPath);
}

void SMTPInThread::DropMessage() {
    DLOG("Connection lost during the data: the partial message is discarded.");
    DiscardMessage();
}

void SMTPInThread::DiscardMessage() {
    m_Pending.clear();  // the data are discarded: nothing to write
    const plat::FileHandle file = std::exchange(m_File, plat::kInvalidFile);
    if (file != plat::kInvalidFile) m_FileMan->DiscardMsg(file, m_MsgPath);
}
