// Fuzzes the receiving SMTP session in memory: the input is everything a
// client sends on one connection, after which its input ends. Checks:
// - the first reply is the greeting; every reply line has a known code and
//   ends in CR LF;
// - messages are begun, stored, ended and acknowledged in order, each
//   stored message begins with the trace line, and each "250 Mail Received
//   OK" follows the end of exactly one stored message;
// - the input split in two at a point chosen from its bytes gives the same
//   replies and stored bytes as the whole input at once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

    SmtpSessionEvents Callbacks() {
        return {
            .reply = [this](std::string_view text) { Reply(text); },
            .beginMessage = [this] { BeginMessage(); },
            .storeBytes = [this](std::string_view bytes) { StoreBytes(bytes); },
            .endOfData = [this] { return EndOfData(); },
            .messageAcknowledged = [this] { MessageAcknowledged(); },
            .messageAbandoned = [this] { MessageAbandoned(); },
        };
    }

private:
    bool m_InMessage = false;
    bool m_Ended = false;
    std::string m_Message;
};

void Run(Recorder& rec, const char* data, size_t size, size_t split) {
    SmtpSession session("fax.example.com", rec.Callbacks());
    session.Start();
    if (session.Feed(data, split) && session.Feed(data + split, size - split)) session.EndOfInput();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const char* data = reinterpret_cast<const char*>(bytes);
    Recorder whole;
    Run(whole, data, size, size);

    // Replies: whole lines with known codes; one 250 for each acknowledged message.
    const std::string& replies = whole.m_Replies;
    Check(replies.compare(0, 35, "220 fax.example.com Service Ready\r\n") == 0, "no greeting");
    int received = 0;
    for (size_t start = 0, eol; start < replies.size(); start = eol + 2) {
        Check((eol = replies.find("\r\n", start)) != std::string::npos, "reply without CR LF");
        const std::string_view line(replies.data() + start, eol - start), codes[] = {
            "220 ", "221 ", "214-", "214 ", "250 ", "354 ", "451 ", "500 ", "503 "};
        Check(std::find(std::begin(codes), std::end(codes), line.substr(0, 4)) != std::end(codes),
              "unknown reply code");
        received += line == "250 Mail Received OK";
    }
    Check(received == whole.m_Acknowledged, "acknowledged messages and 250 replies differ");

    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 16777619u;
    const size_t split = size == 0 ? 0 : h % (size + 1);
    Recorder parts;
    Run(parts, data, size, split);
    Check(parts.m_Transcript == whole.m_Transcript, "a split input gave another dialogue");
    return 0;
}
