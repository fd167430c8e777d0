// The receiving SMTP dialogue: a small, strict subset of SMTP that stores
// each message in a raw message file and hands it to the fax server.
#include "gateway/smtp_in/smtp_in.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "gateway/smtp_in/handoff.h"
#include "gateway/core/cfileman.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/system.h"

namespace {

constexpr int kLineMax = 100;
constexpr uint32_t kRetrySeconds = 60;
constexpr size_t kWriteChunk = 65536;

const char kBadSequence[] = "503 Bad Sequence Of Commands.\r\n";
const char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
const char kLocalError[] = "451 Requested action aborted: local error in processing\r\n";

// The argument of a command line: the text after its first four characters.
std::string ArgumentOf(const char* line) {
    std::string arg = std::strlen(line) > 4 ? std::string(line + 4) : std::string();
    SMTPInThread::TrimArgument(arg);
    return arg;
}

}  // namespace

SMTPInListener::~SMTPInListener() {
    StopHandOffWorker();
    Shutdown();
}

std::unique_ptr<CClientThread> SMTPInListener::CreateThreadInstance() {
    return std::make_unique<SMTPInThread>();
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

int SMTPInThread::ParseCommand(const char* line) {
    char word[5];
    std::strncpy(word, line, 4);
    word[4] = '\0';
    for (char* p = word; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    static const char* const kWords[] = {"HELO", "MAIL", "RCPT", "DATA", "HELP", "QUIT", "NOOP", "RSET"};
    for (int i = 0; i < 8; ++i)
        if (std::strcmp(word, kWords[i]) == 0) return i + 1;
    return kNone;
}

void SMTPInThread::TrimArgument(std::string& text) {
    size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(0, start);
    size_t blank = text.find(' ');
    if (blank != std::string::npos) text.resize(blank);
}

void SMTPInThread::SendHelp() {
    // Sent as one piece: the same bytes as line by line, without waiting on
    // the peer's acknowledgements between lines.
    Reply(
        "214- SMTP Fax Gateway Service \r\n"
        "214- ================================================ \r\n"
        "214- Commands Accepted: \r\n"
        "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n"
        "214-    NOOP   RSET  \r\n"
        "214- Normal Communication Sequence: \r\n"
        "214-    HELO mail.example.com \r\n"
        "214-    MAIL From:<sender@example.com> \r\n"
        "214-    RCPT To:<fax@example.com> \r\n"
        "214-    DATA \r\n"
        "214-          << send email message here>> \r\n"
        "214-\t\tQUIT \r\n"
        "214  ================================================ \r\n");
}

void SMTPInThread::OnConnect() {
    DLOG("SMTPInThread::OnConnect : Entering.\r\n");
    DLOG("New Connection .............");
    char domain[99] = {};
    CFileMan* fm = m_Listener ? m_Listener->m_FileMan : nullptr;
    if (fm) fm->GetDomainName(domain, sizeof(domain));
    m_Domain = domain;
    Reply("220 " + m_Domain + " Service Ready\r\n");

    char line[kLineMax + 1];
    for (;;) {
        const char* stateName = m_State == kWaitHelo   ? "Wait for HELO"
                                : m_State == kWaitMail ? "Wait for MAIL"
                                                       : "Wait for RCPT or DATA";
        DLOG(stateName);
        if (ReadLine(line, kLineMax) <= 0) break;
        int cmd = ParseCommand(line);

        bool expected = (m_State == kWaitHelo && cmd == kHelo) || (m_State == kWaitMail && cmd == kMail) ||
                        (m_State == kWaitRcptOrData && (cmd == kRcpt || cmd == kData));
        if (!expected) {
            if (m_State == kWaitHelo) {
                DLOG("HELO not received");
            } else {
                DLOG(m_State == kWaitMail ? "MAIL not received" : "RCPT or DATA not received");
                DLOG(line);
            }
        }

        switch (cmd) {
            case kHelp: SendHelp(); continue;
            case kNoop: Reply("250 Requested mail action ok, completed\r\n"); continue;
            case kRset: Reply("250 Ok\r\n"); continue;
            case kQuit: Reply("221 Goodbye\r\n"); break;
            case kNone: Reply(kUnknown); continue;
            default: break;
        }
        if (cmd == kQuit) break;

        if (!expected) {
            Reply(kBadSequence);
            continue;
        }
        std::string arg = ArgumentOf(line);
        switch (cmd) {
            case kHelo:
                m_Helo = arg;
                Reply("250 " + m_Domain + " " + arg + "\r\n");
                DLOG("HELO received");
                m_State = kWaitMail;
                break;
            case kMail:
                m_HaveRecipient = false;
                Reply("250 OK  " + arg + " \r\n");
                DLOG("MAIL received");
                m_State = kWaitRcptOrData;
                break;
            case kRcpt:
                m_HaveRecipient = true;
                Reply("250 OK  " + arg + " \r\n");
                DLOG("RCPT received");
                break;
            case kData:
                DLOG("DATA received");
                if (!m_HaveRecipient) {
                    Reply(kBadSequence);
                    break;
                }
                Reply("354 Start mail input, end with <CRLF>.<CRLF>\r\n");
                ReceiveData();
                m_State = kWaitMail;
                break;
            default: break;
        }
    }
    DLOG("SMTPInThread::OnConnect : Leaving.\r\n");
}

// State 101: stores the message data. Only a complete message, safely on
// disk, is acknowledged and handed off.
void SMTPInThread::ReceiveData() {
    DLOG("DATASTREAM start");
    CFileMan* fm = m_Listener ? m_Listener->m_FileMan : nullptr;
    plat::FileHandle file = plat::kInvalidFile;
    bool fileOk = fm && fm->QUE_AddMsg(&file, m_MsgPath, sizeof(m_MsgPath)) == 0;

    std::string pending;
    pending.reserve(kWriteChunk + kLineMax + 1);  // one allocation for the whole message
    auto flush = [&]() {
        if (fileOk && !pending.empty() &&
            filestore::Write(file, pending.data(), static_cast<int>(pending.size())) != static_cast<int>(pending.size())) {
            DLOG("Unable to write the message data.");
            fileOk = false;
        }
        pending.clear();
    };

    DLOG(" Write First Message");
    pending.append("Received: from ").append(m_Helo).append(" by ").append(m_Domain).append(" ; \r\n");

    // The data end exactly at CR LF "." CR LF (or at "." CR LF as their first
    // line). A bare LF ends no line for that purpose, so "." after it, or "."
    // followed by a bare LF, is data: a peer that reads lines differently
    // cannot end the message early and smuggle commands in. A leading dot
    // that a client doubled is undone after any line feed, as clients that
    // send bare LFs also double a dot that follows one.
    char piece[kLineMax + 1];
    bool lineStart = true;  // the piece follows a line feed
    bool crLfStart = true;  // the piece follows CR LF
    char lastByte = '\0';   // the last byte of the previous piece
    bool complete = false;
    for (;;) {
        int n = ReadRawLine(piece, kLineMax);
        if (n <= 0) break;
        if (crLfStart && n == 3 && piece[0] == '.' && piece[1] == '\r' && piece[2] == '\n') {
            complete = true;
            break;
        }
        const char* data = piece;
        int len = n;
        if (lineStart && piece[0] == '.') {  // transparency: a leading dot was doubled
            ++data;
            --len;
        }
        pending.append(data, static_cast<size_t>(len));
        if (pending.size() >= kWriteChunk) flush();
        const char beforeLf = n >= 2 ? piece[n - 2] : lastByte;
        lineStart = piece[n - 1] == '\n';
        crLfStart = lineStart && beforeLf == '\r';
        lastByte = piece[n - 1];
    }
    flush();

    if (!complete) {
        // Not acknowledged: the client will send it again, and a truncated
        // message must never reach the fax server.
        DLOG("Connection lost during the data: the partial message is discarded.");
        if (file != plat::kInvalidFile) fm->DiscardMsg(file, m_MsgPath);
        return;
    }
    DLOG(" Close File");
    if (!fileOk || fm->CommitMsg(file, m_MsgPath) != 0) {
        if (fileOk == false && file != plat::kInvalidFile) fm->DiscardMsg(file, m_MsgPath);
        DLOG("Unable to store the message: answered 451.");
        Reply(kLocalError);
        return;
    }
    Reply("250 Mail Received OK\r\n");
    DLOG("DATASTREAM end");
    DLOG("SMTPInThread::OnConnect : Decode\r\n");
    auto* listener = static_cast<SMTPInListener*>(m_Listener);
    if (listener->m_HandOff) {
        if (listener->HandOffAndRemove(m_MsgPath) == 0) {
            DLOG("SMTPInThread::OnConnect : Removed\r\n");
        } else {
            DLOG("Hand-off failed: the raw message file stays and is handed off again later.");
        }
    }
    // From here a raw message file left in OUT is the hand-off worker's.
    fm->ReleaseMsg(m_MsgPath);
}
