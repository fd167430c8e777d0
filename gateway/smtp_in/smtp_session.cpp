// The receiving SMTP dialogue: a small, strict subset of SMTP. Commands are
// handled by one table of state and command; the message data are cut into
// the same pieces as the commands and stored through the events.
#include "gateway/smtp_in/smtp_session.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "gateway/core/diag.h"

namespace {

// The longest piece: a longer line comes in pieces of this many bytes, and
// each piece of a command line is a command line of its own.
constexpr size_t kLineMax = 100;

const char kBadSequence[] = "503 Bad Sequence Of Commands.\r\n";
const char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
const char kLocalError[] = "451 Requested action aborted: local error in processing\r\n";
const char kHelp[] =
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
    "214  ================================================ \r\n";

// Commands, by their first four characters in any case; kNone for the rest.
enum Command : uint8_t { kNone, kHeloCmd, kMailCmd, kRcptCmd, kDataCmd, kHelpCmd, kQuitCmd, kNoopCmd, kRsetCmd };
constexpr int kCommands = 9;

enum Action : uint8_t { kDoUnknown, kDoBadSeq, kDoHelo, kDoMail, kDoRcpt, kDoData, kDoHelp, kDoQuit, kDoNoop, kDoRset };

// What each command does while the session waits for HELO, for MAIL, and
// for RCPT or DATA. HELO, MAIL, RCPT and DATA are what a state expects;
// every other command is logged as the expected one not received.
constexpr Action kTable[3][kCommands] = {
    // waits for   none        HELO       MAIL       RCPT       DATA       HELP     QUIT     NOOP     RSET
    /* HELO */    {kDoUnknown, kDoHelo,   kDoBadSeq, kDoBadSeq, kDoBadSeq, kDoHelp, kDoQuit, kDoNoop, kDoRset},
    /* MAIL */    {kDoUnknown, kDoBadSeq, kDoMail,   kDoBadSeq, kDoBadSeq, kDoHelp, kDoQuit, kDoNoop, kDoRset},
    /* RCPT */    {kDoUnknown, kDoBadSeq, kDoBadSeq, kDoRcpt,   kDoData,   kDoHelp, kDoQuit, kDoNoop, kDoRset},
};
const char* const kStateNames[3] = {"Wait for HELO", "Wait for MAIL", "Wait for RCPT or DATA"};
const char* const kNotReceived[3] = {"HELO not received", "MAIL not received", "RCPT or DATA not received"};

Command ParseCommand(std::string_view line) {
    static const char* const kWords[] = {"HELO", "MAIL", "RCPT", "DATA", "HELP", "QUIT", "NOOP", "RSET"};
    if (line.size() < 4) return kNone;
    char word[4];
    for (int i = 0; i < 4; ++i) word[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    for (int i = 0; i < 8; ++i)
        if (std::memcmp(word, kWords[i], 4) == 0) return static_cast<Command>(i + 1);
    return kNone;
}

// The argument: the first blank-delimited word after the first four
// characters (only the space is a blank).
std::string_view ArgumentOf(std::string_view line) {
    if (line.size() <= 4) return {};
    std::string_view arg = line.substr(4);
    const size_t start = arg.find_first_not_of(' ');
    if (start == std::string_view::npos) return {};
    arg.remove_prefix(start);
    return arg.substr(0, arg.find(' '));
}

// The sender address of a MAIL line: after "FROM:" (in any case, blanks
// around it allowed), the text between "<" and ">", or without brackets the
// word. Empty for the null sender "<>".
std::string_view SenderOf(std::string_view line) {
    std::string_view arg = line.substr(std::min<size_t>(4, line.size()));
    const auto skipBlanks = [&arg] { arg.remove_prefix(std::min(arg.find_first_not_of(" \t"), arg.size())); };
    skipBlanks();
    static const char kFrom[] = "FROM:";
    if (arg.size() >= 5 && std::equal(arg.begin(), arg.begin() + 5, kFrom, [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) == b;
        })) {
        arg.remove_prefix(5);
        skipBlanks();
    }
    if (!arg.empty() && arg[0] == '<') {
        arg.remove_prefix(1);
        return arg.substr(0, arg.find_first_of(">\r\t "));
    }
    return arg.substr(0, arg.find_first_of("\r\t "));
}

// Shared by the sessions that are given no policy: everything allowed.
const qlsmtp::ReceivePolicy kOpenPolicy;

}  // namespace

SmtpSession::SmtpSession(std::string domain, SmtpSessionEvents events, const qlsmtp::ReceivePolicy* policy,
                         uint32_t clientAddress)
    : m_Events(std::move(events)),
      m_Policy(policy ? *policy : kOpenPolicy),
      m_ClientAddress(clientAddress),
      m_Domain(std::move(domain)) {
    m_Piece.reserve(kLineMax);
}

void SmtpSession::Start() {
    if (!m_Policy.clients.Allows(m_ClientAddress)) {
        const std::string address = qlsmtp::FormatIPv4(m_ClientAddress);
        DLOGF("Client %s is not in AllowedClients: refused.", address.c_str());
        Reply("554 5.7.1 " + address + " may not send faxes through this gateway\r\n");
        Refused(SmtpVerdict::kClientRefused, {});
        m_State = kEnded;
        return;
    }
    Reply("220 " + m_Domain + " Service Ready\r\n");
    EnterState(kWaitHelo);
}

void SmtpSession::Refused(SmtpVerdict verdict, std::string_view sender) {
    if (m_Events.refused) m_Events.refused(verdict, sender);
}

void SmtpSession::EnterState(State state) {
    m_State = state;
    if (state <= kWaitRcptOrData) DLOG(kStateNames[state]);
}

bool SmtpSession::Feed(const char* data, size_t size) {
    while (size > 0 && !Ended()) {
        const size_t room = kLineMax - m_Piece.size();
        const size_t avail = std::min(size, room);
        const void* lf = std::memchr(data, '\n', avail);
        const size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : avail;
        const bool complete = lf || take == room;
        if (complete && m_Piece.empty()) {
            OnPiece(std::string_view(data, take));
        } else {
            m_Piece.append(data, take);
            if (complete) {
                OnPiece(m_Piece);
                m_Piece.clear();
            }
        }
        data += take;
        size -= take;
    }
    return !Ended();
}

void SmtpSession::EndOfInput() {
    // An unfinished piece is never used. An unfinished message is not
    // acknowledged: the client will send it again, and a truncated message
    // must never go on.
    m_Piece.clear();
    if (m_State == kData) {
        if (!m_Discarding) m_Events.messageAbandoned();  // a discarded message is gone already
        EnterState(kWaitMail);
    }
    m_State = kEnded;
}

void SmtpSession::OnPiece(std::string_view piece) {
    if (m_State == kData) {
        OnData(piece);
    } else {
        OnCommand(piece);
    }
}

void SmtpSession::OnCommand(std::string_view piece) {
    size_t n = piece.size();
    if (piece[n - 1] == '\n') {
        --n;
        if (n > 0 && piece[n - 1] == '\r') --n;
    }
    if (n == 0) {  // an empty line ends the dialogue without a reply
        m_State = kEnded;
        return;
    }
    // The line is taken as a C string: a NUL byte ends it.
    std::string_view line = piece.substr(0, n);
    line = line.substr(0, line.find('\0'));
    const Action action = kTable[m_State][ParseCommand(line)];
    if (action < kDoHelo || action > kDoData) {
        DLOG(kNotReceived[m_State]);
        if (m_State != kWaitHelo) DLOG(std::string(line).c_str());
    }
    const std::string_view arg = ArgumentOf(line);
    switch (action) {
        case kDoUnknown: Reply(kUnknown); break;
        case kDoBadSeq: Reply(kBadSequence); break;
        case kDoHelp: Reply(kHelp); break;
        case kDoNoop: Reply("250 Requested mail action ok, completed\r\n"); break;
        case kDoRset: Reply("250 Ok\r\n"); break;  // HELO, sender and recipients stay
        case kDoQuit:
            Reply("221 Goodbye\r\n");
            m_State = kEnded;
            return;
        case kDoHelo:
            m_Helo = arg;
            Reply("250 " + m_Domain + " " + m_Helo + "\r\n");
            DLOG("HELO received");
            m_State = kWaitMail;
            break;
        case kDoMail: {
            const std::string_view address = SenderOf(line);
            const std::string sender = address.empty() ? "<>" : std::string(address);
            if (!m_Policy.senders.Allows(address)) {  // the null sender matches no pattern
                DLOGF("Sender %s is not in AllowedSenders: refused.", sender.c_str());
                Reply("550 5.7.1 Sender " + sender + " may not send faxes through this gateway\r\n");
                Refused(SmtpVerdict::kSenderRefused, sender);
                break;  // still waiting for MAIL
            }
            m_Sender = sender;
            m_HaveRecipient = false;
            Reply("250 OK  " + std::string(arg) + " \r\n");
            DLOG("MAIL received");
            m_State = kWaitRcptOrData;
            break;
        }
        case kDoRcpt:
            m_HaveRecipient = true;
            Reply("250 OK  " + std::string(arg) + " \r\n");
            DLOG("RCPT received");
            break;
        case kDoData:
            DLOG("DATA received");
            if (!m_HaveRecipient) {
                Reply(kBadSequence);
                break;
            }
            Reply("354 Start mail input, end with <CRLF>.<CRLF>\r\n");
            DLOG("DATASTREAM start");
            m_Events.beginMessage();
            DLOG(" Write First Message");
            m_Events.storeBytes("Received: from " + m_Helo + " by " + m_Domain + " ; \r\n");
            m_State = kData;
            m_LineStart = m_CrLfStart = true;
            m_LastByte = '\0';
            m_DataSize = 0;
            m_Discarding = false;
            return;
    }
    EnterState(m_State);
}

// The data end exactly at CR LF "." CR LF (or at "." CR LF as their first
// line). A bare LF ends no line for that purpose, so "." after it, or "."
// followed by a bare LF, is data: a peer that reads lines differently cannot
// end the message early and smuggle commands in. A leading dot that a client
// doubled is undone after any line feed, as clients that send bare LFs also
// double a dot that follows one.
void SmtpSession::OnData(std::string_view piece) {
    const size_t n = piece.size();
    if (m_CrLfStart && piece == ".\r\n") {
        if (m_Discarding) {
            Reply("552 5.3.4 Message larger than " + std::to_string(m_Policy.maxMessageSize) + " bytes\r\n");
            Refused(SmtpVerdict::kMessageTooLarge, m_Sender);
        } else if (m_Events.endOfData()) {
            Reply("250 Mail Received OK\r\n");
            m_Events.messageAcknowledged();
        } else {
            Reply(kLocalError);
        }
        EnterState(kWaitMail);
        return;
    }
    std::string_view data = piece;
    if (m_LineStart && piece[0] == '.') data.remove_prefix(1);  // transparency: a leading dot was doubled
    if (!data.empty()) StoreData(data);
    const char beforeLf = n >= 2 ? piece[n - 2] : m_LastByte;
    m_LineStart = piece[n - 1] == '\n';
    m_CrLfStart = m_LineStart && beforeLf == '\r';
    m_LastByte = piece[n - 1];
}

void SmtpSession::StoreData(std::string_view data) {
    if (m_Discarding) return;
    m_DataSize += data.size();
    if (m_Policy.maxMessageSize != 0 && m_DataSize > m_Policy.maxMessageSize) {
        DLOGF("Message from %s larger than MaxMessageSize (%u bytes): its data are discarded.", m_Sender.c_str(),
              m_Policy.maxMessageSize);
        m_Discarding = true;
        m_Events.messageDiscarded();
        return;
    }
    m_Events.storeBytes(data);
}
