// Outbound engine: polling loop, send runs and the SMTP client dialogue.
#include "gateway/smtp_out/smtp_out.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <system_error>
#include <vector>

#include "common/outgoing_settings.h"
#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "gateway/core/cfileman.h"
#include "gateway/smtp_out/compose.h"
#include "gateway/smtp_out/dns.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

constexpr uint32_t kIdleWaitMs = 10000;
constexpr uint32_t kHeldWaitMs = 20000;
constexpr int kResolveBudget = 20;
// Bytes of the message file read and sent at once in the data phase.
constexpr int kDataBlock = 65536;
// Reply lines skipped while waiting for one code before giving up.
constexpr int kMaxSkippedLines = 100;
// Event of a queue file set aside after a permanent refusal.
constexpr uint32_t kEventRefused = 460;
// Failure counts kept for files that may have left the queue meanwhile.
constexpr size_t kMaxTrackedFiles = 256;
// Paths on a system whose separator is a backslash ignore case, so the whole
// path of a given-up file is upper-cased there; elsewhere only its name.
constexpr bool kUpperCaseWholePath = plat::kPathSep == '\\';

int ReplyCode(const char* line) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int code = 0;
    for (int digits = 0; *p >= '0' && *p <= '9' && digits < 6; ++p, ++digits) code = code * 10 + (*p - '0');
    return negative ? -code : code;
}

void CopyText(char* dest, int size, const std::string& src) {
    if (size <= 0) return;
    std::snprintf(dest, static_cast<size_t>(size), "%s", src.c_str());
}

std::string UpperCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWithNoCase(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
    return true;
}

// A composed file "<n>.qmx" or an attachment's scratch file "At<n>.qmx".
bool IsSendScratchName(const std::string& name) {
    size_t start = name.compare(0, 2, "At") == 0 ? 2 : 0;
    if (name.size() < start + 5 || name.compare(name.size() - 4, 4, ".qmx") != 0) return false;
    for (size_t i = start; i < name.size() - 4; ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// Removes the composed and scratch files that a stop or a crash during a
// send left in IN. Queue files and attachment sources are not touched.
void RemoveSendLeftovers(const std::string& dataDir) {
    std::string in = dataDir + "IN";
    std::vector<plat::DirEntry> entries;
    if (plat::ListDirectory(in.c_str(), "*.qmx", &entries) != 0) return;
    for (const plat::DirEntry& e : entries) {
        if (e.isDirectory || !IsSendScratchName(e.name)) continue;
        std::string path = in + plat::kPathSep + e.name;
        DLOGF("SMTPOut: removing %s, left by an earlier send.\r\n", path.c_str());
        plat::RemoveFile(path.c_str());
    }
}

// A string value of any length up to 4 KB: its size first, then that many
// bytes and a terminator. "" when absent or unreadable.
std::string QueryText(const plat::CRegKey& key, bool open, const char* name) {
    uint32_t size = 0;
    uint32_t type = 0;
    if (!open || key.QueryValue(name, &type, nullptr, &size) != 0 || size == 0 || size >= 4096) return std::string();
    std::string text(size + 1, '\0');
    if (key.QueryString(name, text.data(), size + 1) != 0) return std::string();
    return text.c_str();
}

// What the name server's answer gave, for the failure kept.
std::string DnsOutcome(int resolved, int exchangers) {
    std::string text = resolved == 0    ? "an authoritative answer"
                       : resolved == 2  ? "an answer without authority"
                       : resolved == 10 ? "no answer"
                                        : "referrals not settled within the step limit";
    return text + " with " + std::to_string(exchangers) + " mail exchanger(s)";
}

}  // namespace

SMTPOut::SMTPOut() {
    DLOG("SmtpOut:SMTPOut() begin.\r\n");
    DLOG("SmtpOut: Reading Registry for Config info.\r\n");
    plat::CRegKey key;
    bool open = key.Open(qlsmtp::kSettingsKey, false) == 0;
    uint32_t maxOut = 0;
    if (open && key.QueryDword(qlsmtp::kValMaxOut, &maxOut) == 0) {
        m_MaxOut = static_cast<int32_t>(maxOut);
    } else {
        DLOG("SmtpOut: Unable to find MaxOut value under our key in the Registry.\r\n");
        m_MaxOut = qlsmtp::kDefaultMaxOut;
    }
    m_DNSServer = QueryText(key, open, qlsmtp::kValDNSName);
    if (m_DNSServer.empty()) m_DNSServer = qlsmtp::kDefaultDNSName;
    DLOG("The DNS Name :");
    DLOG(m_DNSServer.c_str());
    m_RemotePort = GetSMTPOutPortNumber();
    DLOGF("Using remote port %d", m_RemotePort);
    ReadOutgoingOptions(key, open);
    std::string sendTimeout;
    if (plat::GetEnv("QLSMTP_SEND_TIMEOUT_MS", &sendTimeout)) {
        unsigned long ms = std::strtoul(sendTimeout.c_str(), nullptr, 10);
        if (ms > 0 && ms < kSendTimeoutMs) m_SendTimeoutMs = static_cast<uint32_t>(ms);
        DLOGF("SmtpOut: send time-out %u ms.\r\n", static_cast<unsigned>(m_SendTimeoutMs));
    }
    m_Active = 0;
    m_Shutdown = 0;
    DLOG("SmtpOut:SMTPOut() end.\r\n");
}

void SMTPOut::ReadOutgoingOptions(const plat::CRegKey& key, bool open) {
    // A value that cannot be used is logged and left out: mail then goes
    // out as without it.
    std::string text = QueryText(key, open, qlsmtp::kValSmartHost);
    unsigned port = 0;
    if (!qlsmtp::ParseSmartHost(text, &m_SmartHost, &port)) {
        DLOGF("SmtpOut: SmartHost \"%.100s\" is not host or host:port; mail goes to the exchangers.\r\n",
              text.c_str());
    } else if (!m_SmartHost.empty()) {
        m_SmartHostPort = port != 0 ? static_cast<int>(port) : m_RemotePort;
        DLOGF("SmtpOut: all mail goes through the smarthost %.100s port %d, without MX lookups.\r\n",
              m_SmartHost.c_str(), m_SmartHostPort);
    }
    text = QueryText(key, open, qlsmtp::kValRetryMinutes);
    if (!qlsmtp::ParseRetryMinutes(text, &m_RetryWaitsMs)) {
        DLOGF("SmtpOut: RetryMinutes \"%.100s\" is not up to four numbers of minutes; attempts follow one "
              "another.\r\n", text.c_str());
    } else if (!m_RetryWaitsMs.empty()) {
        DLOGF("SmtpOut: attempts spaced by RetryMinutes \"%.100s\"; a permanent refusal sets a file aside at "
              "once.\r\n", text.c_str());
    }
}

SMTPOut::~SMTPOut() {
    RequestShutdown();
    if (m_MainThreadID.joinable()) m_MainThreadID.join();
}

int SMTPOut::Start() {
    DLOG("SMTPOut::Start():Begin.\r\n");
    if (m_Shutdown) {
        DLOG("SMTPOut::Start():Shutdown flag is set so unable to start.\r\n");
        return 1;
    }
    if (m_MainThreadID.joinable()) {
        DLOG("SMTPOut::Start():Already started.\r\n");
        return 0;
    }
    try {
        m_MainThreadID = std::thread(SMTPMainThread, this);
    } catch (const std::system_error&) {
        DLOG("SMTPOut::Start():Unable to Create thread.\r\n");
        return 2;
    }
    DLOG("SMTPOut::Start():Created thread for StmtpOut.\r\n");
    DLOG("SMTPOut::Start():end.\r\n");
    return 0;
}

void SMTPOut::RequestShutdown() {
    {
        std::lock_guard<std::mutex> g(m_WaitLock);
        m_Shutdown = 1;
    }
    m_WaitSignal.notify_all();
}

void SMTPOut::SetTimeouts(uint32_t replyMs, uint32_t dataEndMs, uint32_t sendMs) {
    if (replyMs) m_ReplyTimeoutMs = replyMs;
    if (dataEndMs) m_DataEndTimeoutMs = dataEndMs;
    if (sendMs) m_SendTimeoutMs = sendMs;
}

bool SMTPOut::WaitMs(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_WaitLock);
    return !m_WaitSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_Shutdown.load() != 0; });
}

void SMTPOut::SMTPMainThread(SMTPOut* self) {
    DLOG("SMTPOut::SMTPMainThread() begin.\r\n");
    if (self->m_FileMan) RemoveSendLeftovers(self->m_FileMan->GetProgramPath());
    while (!self->m_Shutdown) {
        int count = 0;
        if (self->m_FileMan) self->m_FileMan->GetQueueCount(&count);
        if (count <= self->m_Active || self->m_Active >= self->m_MaxOut) {
            DLOG("SMTP out --- No Messages to send");
            self->WaitMs(kIdleWaitMs);
            continue;
        }
        DLOG("SMTP out --- New Thread Started");
        ++self->m_Active;
        // A run that moved no file out of the queue (none could be opened,
        // or the composed file could not be made) waits before the next
        // poll instead of spinning on the same files.
        if (SMTPOutThread(self) == 0) self->WaitMs(self->IdleWaitMs());
    }
    DLOG("SMTPOut::SMTPMainThread() end.\r\n");
}

void SMTPOut::ExtractAddress(char* address, int size, const char* line) {
    if (!address || size <= 0) return;
    std::string text(line ? line : "");
    size_t lt = text.find('<');
    if (lt != std::string::npos) {
        text.erase(0, lt + 1);
    } else {
        if (text.size() >= 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'T' &&
            std::toupper(static_cast<unsigned char>(text[1])) == 'O' && text[2] == ':')
            text.erase(0, 3);
        size_t first = text.find_first_not_of(" \t");
        text.erase(0, first == std::string::npos ? text.size() : first);
        size_t last = text.find_last_not_of(" \t");
        text.resize(last == std::string::npos ? 0 : last + 1);
    }
    size_t gt = text.find('>');
    if (gt != std::string::npos) text.resize(gt);
    CopyText(address, size, text);
}

int SMTPOut::ComposeMessage(plat::FileHandle queue, plat::FileHandle composed,
                            std::vector<std::string>* attachments) {
    m_LastFailure.clear();
    return ::ComposeMessage(m_FileMan ? m_FileMan->GetProgramPath() : "", queue, composed, attachments,
                            &m_LastFailure);
}

uint32_t SMTPOut::IdleWaitMs() const {
    auto now = std::chrono::steady_clock::now();
    auto wait = std::chrono::milliseconds(kIdleWaitMs);
    for (const auto& [path, attempts] : m_Attempts)
        if (attempts.notBefore > now)
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(attempts.notBefore - now));
    return static_cast<uint32_t>(wait.count());
}

bool SMTPOut::SetAside(const std::string& path, bool upperCase, std::string* target) {
    size_t sep = path.find_last_of(plat::kPathSep);
    std::string dir = sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
    std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    if (upperCase) {
        if (kUpperCaseWholePath) dir = UpperCase(dir);
        name = UpperCase(name);
    }
    if (EndsWithNoCase(name, ".tmp")) name.resize(name.size() - 4);
    const char* ext = upperCase ? ".ERR" : ".err";
    std::string first = dir + name + ext;
    int err = plat::RenameFile(path.c_str(), first.c_str());
    if (err == 0) {
        *target = first;
        return true;
    }
    if (plat::PathExists(first.c_str())) {
        // An older file under that name is kept: the next free numbered name.
        err = 0;
        for (int n = 1; n < 100; ++n) {
            std::string numbered = dir + name + "." + std::to_string(n) + ext;
            if (plat::PathExists(numbered.c_str())) continue;
            err = plat::RenameFile(path.c_str(), numbered.c_str());
            if (err == 0) {
                *target = numbered;
                return true;
            }
            break;
        }
    }
    DLOG("Could not rename the message file.\r\n");
    *target = err == 0 ? "none (every error name up to " + dir + name + ".99" + ext + " is taken)"
                       : "none (the rename to " + first + " failed: " + plat::ErrorText(err) + ")";
    *target += "; the file stays in IN and is not sent again until the gateway restarts";
    DLOG(target->c_str());
    return false;
}

int SMTPOut::SMTPOutThread(SMTPOut* self) {
    DLOG("SMTPOut::SMTPOutThread() Begin.\r\n");
    int moved = 0;
    CFileMan* fm = self->m_FileMan;
    // Queue files whose attempt failed in this run wait until the others
    // have been tried, so that a receiver that stalls holds up no other mail.
    std::set<std::string> tried;
    while (fm && !self->m_Shutdown) {
        plat::FileHandle queue = plat::kInvalidFile;
        char queuePath[260] = {};
        // Files whose next attempt is not due yet are passed over too.
        std::set<std::string> skip = tried;
        auto now = std::chrono::steady_clock::now();
        for (const auto& [path, attempts] : self->m_Attempts)
            if (attempts.notBefore > now) skip.insert(path);
        int r = fm->Que_OpenMsg(&queue, queuePath, sizeof(queuePath), &skip);
        if (r == 1 && !tried.empty()) {
            tried.clear();
            continue;
        }
        if (r == plat::kErrSharingViolation) self->WaitMs(kHeldWaitMs);
        if (r != 0) {
            DLOG("SMTP out --- no files to send");
            break;
        }

        std::string composedPath =
            std::string(fm->GetProgramPath()) + "IN" + plat::kPathSep + std::to_string(queue) + ".qmx";
        plat::CFile composed;
        if (composed.Open(composedPath.c_str(), plat::kCreateTruncRW) != 0) {
            DLOG("SMTPOut::SMTPOutThread() : Unable to create & new file for send.\r\n");
            fm->CloseQueueFile(queue);
            break;
        }
        std::vector<std::string> attachments;
        enum { kSent, kNoReceiver, kFailed } outcome;
        char receiver[201] = {};
        if (self->ComposeMessage(queue, composed.Get(), &attachments) != 0) {
            // Nothing goes out without every part whole.
            DLOG("SMTP out --- the message could not be composed whole");
            DLOG(self->m_LastFailure.c_str());
            outcome = kFailed;
        } else if (FindReceiverLine(composed.Get(), receiver, sizeof(receiver)) != 0) {
            outcome = kNoReceiver;
        } else {
            DLOG("SMTP out -- receiver name");
            DLOG(receiver);
            char address[201];
            ExtractAddress(address, sizeof(address), receiver);
            DLOG("SMTP out -- receiver name");
            DLOG(address);
            outcome = self->SendMessageViaMX(composed.Get(), address, receiver, 200) == 0 ? kSent : kFailed;
        }
        composed.Close();
        plat::RemoveFile(composedPath.c_str());

        std::string path(queuePath);
        if (outcome == kSent) {
            fm->CloseAndDelete(queue);
            for (const std::string& source : attachments) plat::RemoveFile(source.c_str());
            self->m_Attempts.erase(path);
            moved = 1;
            break;
        }
        fm->CloseQueueFile(queue);
        // A file that cannot be set aside is reported once and passed over
        // for the rest of the run, never picked (and sent) again.
        auto setAside = [&](bool upperCase) {
            std::string errorPath;
            if (!self->SetAside(path, upperCase, &errorPath)) fm->PassOver(path);
            self->m_Attempts.erase(path);
            moved = 1;
            return errorPath;
        };
        if (outcome == kNoReceiver) {
            std::string errorPath = setAside(false);
            DLOG("SMTP out --- no rcpt name");
            ReportServiceEvent(plat::kEventError, 435, qlsmtp::kServiceName, path.c_str(), errorPath.c_str());
            break;
        }
        // A failed attempt: counted for this file only.
        tried.insert(path);
        if (self->m_Attempts.size() >= kMaxTrackedFiles && !self->m_Attempts.count(path)) self->m_Attempts.clear();
        bool spaced = !self->m_RetryWaitsMs.empty();
        if (spaced && self->m_Refused) {
            // A permanent refusal does not change with another attempt.
            std::string errorPath = setAside(true);
            DLOG("SMTP out --- set aside at once after a permanent refusal:");
            DLOG(self->m_LastFailure.c_str());
            ReportServiceEvent(plat::kEventError, kEventRefused, path.c_str(), errorPath.c_str(),
                               self->m_LastFailure.c_str());
            break;
        }
        Attempts& attempts = self->m_Attempts[path];
        if (++attempts.failures >= kMaxAttempts) {
            std::string errorPath = setAside(true);
            DLOG("SMTP out --- given up after the last failed attempt:");
            DLOG(self->m_LastFailure.c_str());
            ReportServiceEvent(plat::kEventError, 437, path.c_str(), errorPath.c_str(), self->m_LastFailure.c_str());
            break;
        }
        if (spaced) {
            size_t i = std::min(static_cast<size_t>(attempts.failures), self->m_RetryWaitsMs.size()) - 1;
            uint32_t waitMs = self->m_RetryWaitsMs[i];
            attempts.notBefore = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
            DLOGF("SMTP out --- attempt %d of %.150s failed; the next in %u.%03u s.\r\n", attempts.failures,
                  path.c_str(), static_cast<unsigned>(waitMs / 1000), static_cast<unsigned>(waitMs % 1000));
        }
    }
    --self->m_Active;
    DLOG("SMTPOut::SMTPOutThread() end.\r\n");
    return moved;
}

int SMTPOut::WaitForReply(int expected, const char* step, char* work, int size) {
    for (int lines = 0; lines < kMaxSkippedLines; ++lines) {
        if (ReadLine(work, size) <= 0) {
            m_LastFailure = "no reply to " + std::string(step) + " from " + m_Host +
                            " (the wait ran out or the connection closed)";
            return 1;
        }
        int code = ReplyCode(work);
        if (code == expected) return 0;
        if (code >= 400 && code <= 599) {
            DLOG("SMTP Out -- Rejected :");
            DLOG(work);
            m_LastFailure = m_Host + " replied to " + step + ": " + work;
            return 1;
        }
    }
    m_LastFailure = "no " + std::to_string(expected) + " reply to " + step + " from " + m_Host;
    return 1;
}

int SMTPOut::SendMessageViaMX(plat::FileHandle message, const char* recipient, char* work, int size) {
    CDnsResolver resolver;
    m_LastFailure.clear();
    m_Host.clear();
    m_Refused = false;
    if (size <= 0) return 2;

    // Recipient without "<"; its domain after the first "@" up to a blank or ">".
    std::string rcpt;
    for (const char* p = recipient ? recipient : ""; *p; ++p)
        if (*p != '<') rcpt.push_back(*p);
    std::string domain = HostPart(rcpt);

    if (!m_SmartHost.empty()) {
        if (ConnectToSmartHost() != 0) return 2;
    } else {
        int resolved = FindExchangers(&resolver, domain);
        if (ConnectToExchanger(resolver, resolved, rcpt, domain, size) != 0) return 2;
    }
    // work takes each reply line.
    return RunDialogue(message, rcpt, work, size);
}

int SMTPOut::FindExchangers(CDnsResolver* resolver, const std::string& domain) {
    DLOG("SMTP Out -- Get Address");
    DLOG(m_DNSServer.c_str());
    int resolved = resolver->Resolve(m_DNSServer.c_str(), domain.c_str(), kResolveBudget);
    if (resolved != 0) DLOG("SMTP Out -- Auth Lookup Failed");
    return resolved;
}

int SMTPOut::ConnectToExchanger(const CDnsResolver& resolver, int resolved, const std::string& rcpt,
                                const std::string& domain, int size) {
    // The dotted address connected to; host names and recipients longer
    // than size are not taken whole.
    std::vector<char> address(static_cast<size_t>(size) + 1, '\0');
    int n = 0;
    for (DnsRecord mx; resolver.GetRecordOfType(n, &mx, CDnsResolver::kTypeMX); ++n) {
        DLOG("SMTP Out -- MX Rec Found : ");
        DLOG(mx.data);
        if (mx.data[0] == '\0' || static_cast<int>(std::strlen(mx.data)) > size) {
            DLOG("SMTP Out -- MX host name skipped");
            continue;
        }
        if (!resolver.FindAddressRecord(mx.data, address.data(), size + 1)) {
            CopyText(address.data(), size + 1, mx.data);
            ResolveHostAddress(address.data(), size + 1);
        }
        if (Connect(m_RemotePort, address.data()) == 0) {
            m_Host = mx.data;
            return 0;
        }
        DLOG("Unable to connect to the Client.\r\n");
    }
    DLOG("SMTP Out -- No MX Rec, Using domain name");
    CopyText(address.data(), size + 1, rcpt);
    ResolveHostAddress(address.data(), size + 1);
    if (Connect(m_RemotePort, address.data()) != 0) {
        DLOG("Unable to connect to the Client.\r\n");
        m_LastFailure = "DNS lookup of " + domain + " at " + m_DNSServer + ": " + DnsOutcome(resolved, n) +
                        "; no host accepted a connection on port " + std::to_string(m_RemotePort);
        return 2;
    }
    m_Host = domain;
    return 0;
}

int SMTPOut::ConnectToSmartHost() {
    DLOGF("SMTP Out -- Smarthost %.150s port %d", m_SmartHost.c_str(), m_SmartHostPort);
    // The host name, or the dotted address it resolves to.
    std::string address = m_SmartHost + std::string(16, '\0');
    bool resolved = ResolveHostAddress(address.data(), static_cast<int>(address.size())) == 0;
    if (resolved && Connect(m_SmartHostPort, address.data()) == 0) {
        m_Host = m_SmartHost;
        return 0;
    }
    DLOG("Unable to connect to the Client.\r\n");
    m_LastFailure = "the smarthost " + m_SmartHost +
                    (resolved ? " accepted no connection on port " + std::to_string(m_SmartHostPort)
                              : " did not resolve to an address");
    return 2;
}

int SMTPOut::EndFailedDialogue() {
    GetAndDisplayError();
    Disconnect();
    return 3;
}

void SMTPOut::SendCommand(const char* verb, const char* argument, const char* end) {
    // Each command goes out in one send: a command split over several small
    // sends waits for the peer's delayed acknowledgement before its end.
    std::string line(verb);
    line += argument;
    line += end;
    SendString(line.c_str());
}

int SMTPOut::RunDialogue(plat::FileHandle message, const std::string& rcpt, char* reply, int size) {
    DLOG("SMTP Out -- Connecting");
    SetReceiveTimeout(m_ReplyTimeoutMs);
    // A receiver that stops taking data fails the send after this long.
    SetSendTimeout(m_SendTimeoutMs);
    DrainInput();

    char domainName[80] = {};
    if (m_FileMan) m_FileMan->GetDomainName(domainName, sizeof(domainName));

    DLOG("SMTP Out -- HELO");
    SendCommand("HELO ", domainName, "\r\n");
    if (WaitForReply(250, "HELO", reply, size) != 0) return EndFailedDialogue();

    DLOG("SMTP Out -- MAIL");
    bool accepted = false;
    for (int tries = 0; tries < 2 && !accepted; ++tries) {
        SendCommand("Mail from:<", domainName, ">\r\n");
        accepted = WaitForReply(250, "MAIL", reply, size) == 0;
    }
    if (!accepted) return EndFailedDialogue();

    DLOG("SMTP Out -- RCPT");
    SendCommand("RCPT to:<", rcpt.c_str(), ">\r\n");
    if (WaitForReply(250, "RCPT", reply, size) != 0) {
        m_Refused = ReplyCode(reply) / 100 == 5;
        return EndFailedDialogue();
    }

    DLOG("SMTP Out -- DATA");
    SendString("DATA\r\n");
    if (WaitForReply(354, "DATA", reply, size) != 0) return EndFailedDialogue();

    DLOG("SMTP Out -- Sending Message");
    if (SendMessageData(message, size) != 0) return EndFailedDialogue();
    // Only the server's 250 to the end of data means it took the message;
    // the receiver may take up to 10 minutes for it (RFC 5321 4.5.3.2.6).
    SetReceiveTimeout(m_DataEndTimeoutMs);
    if (WaitForReply(250, "the end of the data", reply, size) != 0) {
        m_Refused = ReplyCode(reply) / 100 == 5;
        return EndFailedDialogue();
    }

    DLOG("SMTP Out -- QUIT");
    SendString("QUIT\r\n");
    Disconnect();
    return 0;
}

int SMTPOut::SendMessageData(plat::FileHandle message, int chunkSize) {
    // The file is read in blocks of whole chunks; "TO:<<" becomes "TO:<"
    // within each chunk (one split between two chunks stays), and the block
    // goes out in one send.
    std::string block(static_cast<size_t>(chunkSize) * std::max(1, kDataBlock / chunkSize), '\0');
    for (;;) {
        int n = filestore::Read(message, block.data(), static_cast<int>(block.size()));
        if (n <= 0) return 0;
        char* p = block.data();
        int out = 0;
        for (int chunk = 0; chunk < n; chunk += chunkSize) {
            int end = std::min(n, chunk + chunkSize);
            for (int i = chunk; i < end; ++i) {
                if (i + 5 <= end && std::memcmp(p + i, "TO:<<", 5) == 0) {
                    std::memmove(p + out, "TO:<", 4);
                    out += 4;
                    i += 4;
                    continue;
                }
                p[out++] = p[i];
            }
        }
        auto t0 = std::chrono::steady_clock::now();
        if (Send(p, out) != out) {
            int err = plat::SocketError();
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
            DLOG("SMTP Out -- Message send failed");
            m_LastFailure = ms.count() >= static_cast<long long>(m_SendTimeoutMs)
                                ? m_Host + " took no data for " + std::to_string(m_SendTimeoutMs / 1000) + " s"
                                : "sending the message to " + m_Host + " failed: " + plat::ErrorText(err);
            return 1;
        }
    }
}
