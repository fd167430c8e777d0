// Fuzzes the receiving SMTP session in memory: the input is everything a
// client sends on one connection, after which its input ends. Checks:
// - the first reply is the greeting; every reply line has a known code and
//   ends in CR LF;
// - messages are begun, stored, ended and acknowledged in order, each
//   stored message begins with the trace line, and each "250 Mail Received
//   OK" follows the end of exactly one stored message;
// - the input split in two at a point chosen from its bytes gives the same
//   replies and stored bytes as the whole input at once.
// An input whose first byte is below 8 runs under a receive policy that this
// byte chooses: bit 0 a size limit, bit 1 a sender list, bit 2 a client
// outside the allowed networks. Then, further:
// - a refused client gets the refusal alone, and nothing is stored;
// - no stored message has more data than the size limit, and each 552 reply
//   follows a discarded message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/smtp_in/smtp_session.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "fuzz_smtp_session: %s\n", what), std::abort();
}

// Records the replies, and the dialogue as one text: the replies and a
// marker byte for each event, with the stored message after its end.
class Recorder {
public:
    std::string m_Transcript, m_Replies;
    int m_Acknowledged = 0;
    int m_Discarded = 0;
    size_t m_LargestMessage = 0;  // data bytes after the trace line

    void Reply(std::string_view text) {
        Check(!text.empty() && text.size() >= 2 && text.substr(text.size() - 2) == "\r\n", "reply without CR LF");
        m_Transcript.append(text);
        m_Replies.append(text);
    }
    void BeginMessage() {
        Check(!m_InMessage, "message begun twice");
        m_InMessage = true;
        m_Message.clear();
        m_Transcript += '\x01';
    }
    void StoreBytes(std::string_view bytes) {
        Check(m_InMessage, "bytes stored outside a message");
        m_Message.append(bytes);
    }
    bool EndOfData() {
        Check(m_InMessage, "end of data outside a message");
        m_InMessage = false;
        const std::string head = "Received: from ";
        Check(m_Message.compare(0, head.size(), head) == 0, "stored message without the trace line");
        const size_t eol = m_Message.find("\r\n");
        Check(eol != std::string::npos && eol >= 3 && m_Message.compare(eol - 3, 3, " ; ") == 0,
              "trace line not ended by \" ; \" and CR LF");
        m_LargestMessage = std::max(m_LargestMessage, m_Message.size() - eol - 2);
        m_Transcript.append("\x02").append(m_Message).append("\x02");
        m_Ended = true;
        return true;
    }
    void MessageAcknowledged() {
        Check(m_Ended, "acknowledged without an end of data");
        m_Ended = false;
        ++m_Acknowledged;
        m_Transcript += '\x03';
    }
    void MessageAbandoned() {
        Check(m_InMessage, "abandoned outside a message");
        m_InMessage = false;
        m_Transcript += '\x04';
    }

    void MessageDiscarded() {
        Check(m_InMessage, "discarded outside a message");
        m_InMessage = false;
        ++m_Discarded;
        m_Transcript += '\x05';
    }
    void Refused(SmtpVerdict verdict, std::string_view sender) {
        m_Transcript.append(1, static_cast<char>(0x10 + static_cast<int>(verdict))).append(sender);
    }

    SmtpSessionEvents Callbacks() {
        return {
            .reply = [this](std::string_view text) { Reply(text); },
            .beginMessage = [this] { BeginMessage(); },
            .storeBytes = [this](std::string_view bytes) { StoreBytes(bytes); },
            .endOfData = [this] { return EndOfData(); },
            .messageAcknowledged = [this] { MessageAcknowledged(); },
            .messageAbandoned = [this] { MessageAbandoned(); },
            .messageDiscarded = [this] { MessageDiscarded(); },
            .refused = [this](SmtpVerdict verdict, std::string_view sender) { Refused(verdict, sender); },
        };
    }

private:
    bool m_InMessage = false;
    bool m_Ended = false;
    std::string m_Message;
};

constexpr uint32_t kSizeLimit = 64;
constexpr uint32_t kClient = 0xC0000201;  // 192.0.2.1

void Run(Recorder& rec, const qlsmtp::ReceivePolicy& policy, const char* data, size_t size, size_t split) {
    SmtpSession session("fax.example.com", rec.Callbacks(), &policy, kClient);
    session.Start();
    if (session.Feed(data, split) && session.Feed(data + split, size - split)) session.EndOfInput();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const uint8_t choice = size > 0 && bytes[0] < 8 ? bytes[0] : 0;
    if (size > 0 && bytes[0] < 8) ++bytes, --size;
    qlsmtp::ReceivePolicy policy;
    std::vector<std::string> bad;
    if (choice & 1) policy.maxMessageSize = kSizeLimit;
    if (choice & 2) policy.senders.Parse("*@example.org fax@example.com", &bad);
    policy.clients.Parse(choice & 4 ? "10.0.0.0/8" : "192.0.2.0/24", &bad);
    const char* data = reinterpret_cast<const char*>(bytes);
    Recorder whole;
    Run(whole, policy, data, size, size);

    // Replies: whole lines with known codes; one 250 for each acknowledged message.
    const std::string& replies = whole.m_Replies;
    if (choice & 4) {
        Check(replies == "554 5.7.1 192.0.2.1 may not send faxes through this gateway\r\n" &&
                  whole.m_Transcript == replies + "\x10",
              "a refused client got more than the refusal");
        return 0;
    }
    Check(replies.compare(0, 35, "220 fax.example.com Service Ready\r\n") == 0, "no greeting");
    Check(!(choice & 1) || whole.m_LargestMessage <= kSizeLimit, "a message beyond the size limit was stored");
    int received = 0, tooLarge = 0;
    for (size_t start = 0, eol; start < replies.size(); start = eol + 2) {
        Check((eol = replies.find("\r\n", start)) != std::string::npos, "reply without CR LF");
        const std::string_view line(replies.data() + start, eol - start), codes[] = {
            "220 ", "221 ", "214-", "214 ", "250 ", "354 ", "451 ", "500 ", "503 ", "550 ", "552 ", "554 "};
        Check(std::find(std::begin(codes), std::end(codes), line.substr(0, 4)) != std::end(codes),
              "unknown reply code");
        received += line == "250 Mail Received OK";
        tooLarge += line.substr(0, 4) == "552 ";
    }
    Check(received == whole.m_Acknowledged, "acknowledged messages and 250 replies differ");
    Check(tooLarge <= whole.m_Discarded, "a 552 reply without a discarded message");

    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 16777619u;
    const size_t split = size == 0 ? 0 : h % (size + 1);
    Recorder parts;
    Run(parts, policy, data, size, split);
    Check(parts.m_Transcript == whole.m_Transcript, "a split input gave another dialogue");
    return 0;
}
