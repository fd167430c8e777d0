// The receiving SMTP dialogue: a small, strict subset of SMTP that stores
// each message in a raw message file and hands it to the fax server.
#include "gateway/smtp_in/smtp_in.h"

#include <cctype>
#include <cstring>

#include "gateway/service/diag.h"
#include "gateway/smtp_out/cfileman.h"
#include "platform/file.h"

namespace {

constexpr int kLineMax = 100;
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

SMTPInListener::~SMTPInListener() { Shutdown(); }

std::unique_ptr<CClientThread> SMTPInListener::CreateThreadInstance() {
    return std::make_unique<SMTPInThread>();
}

void SMTPInListener::ReleaseThreadInstance(std::unique_ptr<CClientThread>) {}

int SMTPInListener::HandOffAndRemove(const char* rawPath) {
    int result = m_HandOff(HandOffLock(), rawPath);
    if (result == 0) plat::RemoveFile(rawPath);
    return result;
}

void RecoverReceivedMessages(SMTPInListener& listener) {
    if (!listener.m_FileMan) return;
    std::vector<std::string> raw;
    listener.m_FileMan->RecoverReceived(&raw);
    if (!listener.m_HandOff) return;
    for (const std::string& path : raw) {
        DLOGF("Handing off a message received before a restart: %s", path.c_str());
        if (listener.HandOffAndRemove(path.c_str()) != 0)
            DLOGF("Hand-off failed, the raw message file stays: %s", path.c_str());
    }
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
            Write(file, pending.data(), static_cast<int>(pending.size())) != static_cast<int>(pending.size())) {
            DLOG("Unable to write the message data.");
            fileOk = false;
        }
        pending.clear();
    };

    DLOG(" Write First Message");
    pending.append("Received: from ").append(m_Helo).append(" by ").append(m_Domain).append(" ; \r\n");

    // Lines end in CR LF only: the data end exactly at CR LF "." CR LF (or
    // at "." CR LF as their first line), and only there does a line begin
    // whose leading dot was doubled. A bare LF ends no line, so "." after it,
    // or "." followed by a bare LF, is data: a peer that reads lines
    // differently cannot end the message early and smuggle commands in.
    char piece[kLineMax + 1];
    bool lineStart = true;
    char lastByte = '\0';  // the last byte of the previous piece
    bool complete = false;
    for (;;) {
        int n = ReadRawLine(piece, kLineMax);
        if (n <= 0) break;
        if (lineStart && n == 3 && piece[0] == '.' && piece[1] == '\r' && piece[2] == '\n') {
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
        lineStart = piece[n - 1] == '\n' && beforeLf == '\r';
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
    if (!listener->m_HandOff) return;  // no hand-off: the raw message file stays for inspection
    if (listener->HandOffAndRemove(m_MsgPath) == 0) {
        DLOG("SMTPInThread::OnConnect : Removed\r\n");
    } else {
        DLOG("Hand-off failed: the raw message file stays and is handed off at the next start.");
    }
}
