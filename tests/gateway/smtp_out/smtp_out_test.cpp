#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "gateway/core/cfileman.h"
#include "gateway/smtp_out/peers.h"
#include "gateway/smtp_out/smtp_out.h"
#include "test_util.h"

namespace {

using peers::Bytes;
using peers::Name;
using peers::Pointer;
using testutil::ReadAll;
using testutil::WriteAll;

constexpr int kQuestion = 12;

// An authoritative answer for `domain` with MX records named mx0.., each
// with an A record.
Bytes MxAnswer(const std::string& domain, const std::vector<std::pair<int, std::string>>& mx) {
    std::vector<peers::Record> records;
    for (size_t i = 0; i < mx.size(); ++i)
        records.push_back({Pointer(kQuestion), 15, 60, peers::MxData(mx[i].first, Name("mx" + std::to_string(i) + ".test"))});
    for (size_t i = 0; i < mx.size(); ++i)
        records.push_back({Name("mx" + std::to_string(i) + ".test"), 1, 60, peers::Ipv4(mx[i].second.c_str())});
    return peers::Response(domain, true, static_cast<int>(mx.size()), 0, static_cast<int>(mx.size()), records);
}
peers::NameServer::Respond Answer(const std::string& domain, const std::vector<std::pair<int, std::string>>& mx) {
    return [answer = MxAnswer(domain, mx)](const Bytes&) { return answer; };
}

class Outbound : public ::testing::Test {
protected:
    void SetUp() override { plat::MakeDirectory((m_data + "IN").c_str()); }

    void Configure(int smtpPort, int dnsPort, int maxOut = -1) {
        plat::CRegKey key;
        ASSERT_EQ(key.Open(qlsmtp::kSettingsKey, true), 0);
        key.SetDword(qlsmtp::kValSmtpTxPort, static_cast<uint32_t>(smtpPort));
        key.SetString(qlsmtp::kValDNSName, ("127.0.0.1:" + std::to_string(dnsPort)).c_str());
        key.SetString(qlsmtp::kValDomainName, "gw.test");
        key.SetString(qlsmtp::kValProgramPath, m_data.c_str());
        if (maxOut >= 0) key.SetDword(qlsmtp::kValMaxOut, static_cast<uint32_t>(maxOut));
    }

    std::string In(const std::string& name) const { return m_data + "IN" + plat::kPathSep + name; }
    std::string Events() const { return ReadAll(m_dir / "events.log"); }

    // The file manager and the engine of one run of the gateway.
    struct Engine {
        CFileMan fm;
        SMTPOut out;
        Engine() { out.SetFileManager(&fm); }
        // One pass of the outbound thread over IN.
        int Pass() { return SMTPOut::SMTPOutThread(&out); }
    };

    // SendMessageViaMX over a message file with the given bytes; the reply
    // and send waits shortened as given (0: as configured).
    int Send(const std::string& message, const char* recipient, uint32_t replyMs = 0, uint32_t sendMs = 0) {
        WriteAll(In("m.qmx"), message);
        Engine e;
        e.out.SetTimeouts(replyMs, 0, sendMs);
        plat::CFile f;
        EXPECT_EQ(f.Open(In("m.qmx").c_str(), plat::kOpenRead), 0);
        char work[201];
        int r = e.out.SendMessageViaMX(f.Get(), recipient, work, 200);
        m_lastFailure = e.out.LastFailure();
        return r;
    }
    int SendQueue() { return Engine().Pass(); }

    testutil::ScratchRegistry m_registry{qlsmtp::kSettingsKey};
    testutil::TempDir m_dir;
    std::string m_data = m_dir.path() + plat::kPathSep;
    testutil::ScopedEnv m_events{"QLSMTP_EVENTLOG", (m_dir / "events.log").c_str()};
    std::string m_lastFailure;
};

const std::string kMessage = "TO:<<user@example.com>\r\nSubject: s\r\n\r\nbody\r\n.\r\n";

peers::SmtpBehavior With(const std::function<void(peers::SmtpBehavior&)>& change) {
    peers::SmtpBehavior b;
    change(b);
    return b;
}

TEST_F(Outbound, DialogueOutcomes) {
    const std::vector<std::string> full = {"HELO gw.test\r\n", "Mail from:<gw.test>\r\n",
                                           "RCPT to:<user@example.com>\r\n", "DATA\r\n", "QUIT\r\n"};
    const std::vector<std::string> toData(full.begin(), full.begin() + 4);
    struct {
        const char* what;
        peers::SmtpBehavior behavior;
        int result;
        std::vector<std::string> commands;
        bool dataSent;
    } cases[] = {
        {"plain", {}, 0, full, true},
        {"two-line 250 to HELO", With([](auto& b) { b.helo = "250-first\r\n250 second\r\n"; }), 0, full, true},
        {"550 to RCPT", With([](auto& b) { b.rcpt = "550 no such user\r\n"; }), 3, {full[0], full[1], full[2]}, false},
        {"451 to MAIL twice", With([](auto& b) { b.mail = "451 later\r\n"; }), 3, {full[0], full[1], full[1]}, false},
        {"close after 354", With([](auto& b) { b.closeAfter354 = true; }), 3, toData, false},
        {"450 after the data", With([](auto& b) { b.end = "450 mailbox busy\r\n"; }), 3, toData, true},
        // The reply to the end of the data may take longer than any other.
        {"250 after the data, later than the reply wait",
         With([](auto& b) { b.endDelayMs = 2500; }), 0, full, true},
    };
    for (const auto& c : cases) {
        peers::SmtpServer smtp(c.behavior);
        peers::NameServer dns(Answer("example.com", {{10, "127.0.0.1"}}));
        Configure(smtp.port(), dns.port());
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(kMessage, "user@example.com", 1500), c.result) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << c.what;
        smtp.Join();
        ASSERT_EQ(smtp.sessions().size(), 1u) << c.what;
        EXPECT_EQ(smtp.sessions()[0].commands, c.commands) << c.what;
        if (c.dataSent) {
            EXPECT_EQ(smtp.sessions()[0].data, "TO:<user@example.com>\r\nSubject: s\r\n\r\nbody\r\n.\r\n") << c.what;
        }
    }
}

// A receiver that stops reading after 354 fails the attempt once it has
// taken no byte for the send wait.
TEST_F(Outbound, AReceiverThatStopsReadingFailsTheSendInTime) {
    peers::SmtpServer smtp(With([](auto& b) { b.stallAfter354Ms = 5000; }));
    peers::NameServer dns(Answer("example.com", {{10, "127.0.0.1"}}));
    Configure(smtp.port(), dns.port());
    std::string message = "TO:<user@example.com>\r\n\r\n";
    const std::string line = std::string(70, 'x') + "\r\n";
    while (message.size() < (8u << 20)) message += line;  // more than the socket buffers take
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(message + ".\r\n", "user@example.com", 0, 1000), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4500)) << "before the receiver closed";
    EXPECT_EQ(m_lastFailure, "mx0.test took no data for 1 s");
}

TEST_F(Outbound, MessageBytesGoOutUnchangedButForTheReceiverRewrite) {
    // "TO:<<" across the 200-byte chunk boundary stays as it is.
    std::string filler = std::string(196, 'f') + "\r\n";
    std::string message = filler + "TO:<<a@b.c>\r\nX: TO:<<inside\r\n" + std::string(300, 'y') + "\r\n.\r\n";
    ASSERT_EQ(message.substr(198, 5), "TO:<<");
    peers::SmtpServer smtp;
    peers::NameServer dns(Answer("b.c", {{10, "127.0.0.1"}}));
    Configure(smtp.port(), dns.port());
    EXPECT_EQ(Send(message, "a@b.c"), 0);
    smtp.Join();
    ASSERT_EQ(smtp.sessions().size(), 1u);
    EXPECT_EQ(smtp.sessions()[0].data, filler + "TO:<<a@b.c>\r\nX: TO:<inside\r\n" + std::string(300, 'y') + "\r\n.\r\n");
}

TEST_F(Outbound, MailExchangersAreTriedInTableOrderThenTheDomain) {
    std::string longName;  // longer than the work buffer: passed by
    for (int i = 0; i < 5; ++i) longName += std::string(60, 'a' + i) + ".";
    Bytes longAnswer = peers::Response("localhost", true, 1, 0, 0,
                                       {{Pointer(kQuestion), 15, 60, peers::MxData(1, Name(longName + "test"))}});
    struct {
        const char* what;
        peers::NameServer::Respond dns;
        const char* recipient;
    } cases[] = {
        // The first exchanger (127.0.0.2) refuses; the second takes it.
        {"refused then accepted", Answer("example.com", {{20, "127.0.0.2"}, {10, "127.0.0.1"}}), "user@example.com"},
        {"no MX record: the domain's own address", Answer("localhost", {}), "user@localhost"},
        {"exchange name too long", [&longAnswer](const Bytes&) { return longAnswer; }, "user@localhost"},
    };
    for (const auto& c : cases) {
        peers::SmtpServer smtp;
        peers::NameServer dns(c.dns);
        Configure(smtp.port(), dns.port());
        EXPECT_EQ(Send(kMessage, c.recipient), 0) << c.what;
        smtp.Join();
        ASSERT_EQ(smtp.sessions().size(), 1u) << c.what;
        EXPECT_EQ(smtp.sessions()[0].commands[2], std::string("RCPT to:<") + c.recipient + ">\r\n") << c.what;
    }
    // Name server down, nothing listens at the domain's address: no host at
    // all, and the failure names the DNS result.
    int dnsPort = peers::ClosedPort();
    Configure(peers::ClosedPort(), dnsPort);
    EXPECT_EQ(Send(kMessage, "user@localhost"), 2);
    EXPECT_EQ(m_lastFailure.substr(0, m_lastFailure.find(" on port")),
              "DNS lookup of localhost at 127.0.0.1:" + std::to_string(dnsPort) +
                  ": no answer with 0 mail exchanger(s); no host accepted a connection");

    // The lower-preference host listed first gets the message.
    peers::SmtpServer first;
    peers::SmtpServer second(peers::SmtpBehavior(), 1, "127.0.0.3", first.port());
    if (!second.ok()) GTEST_SKIP() << "127.0.0.3 cannot be bound here";
    peers::NameServer dns(Answer("example.com", {{20, "127.0.0.1"}, {10, "127.0.0.3"}}));
    Configure(first.port(), dns.port());
    EXPECT_EQ(Send(kMessage, "user@example.com"), 0);
    EXPECT_EQ(first.accepted(), 1);
    EXPECT_EQ(second.accepted(), 0);
}

TEST_F(Outbound, ExtractAddress) {
    struct {
        const char* line;
        const char* address;
    } cases[] = {
        {"TO:<USER@EXAMPLE.COM>", "USER@EXAMPLE.COM"},
        {"TO: Someone <A@B.C> (note)", "A@B.C"},
        {"TO:<A@B.C", "A@B.C"},
        {"TO:  plain@b.c  ", "plain@b.c"},
        {"TO:", ""},
    };
    for (const auto& c : cases) {
        char out[201];
        SMTPOut::ExtractAddress(out, sizeof(out), c.line);
        EXPECT_STREQ(out, c.address) << c.line;
    }
    char small[4];
    SMTPOut::ExtractAddress(small, sizeof(small), "TO:<abcdef>");
    EXPECT_STREQ(small, "abc");
}

const char kQueueFile[] =
    "FROM:<fax@gw.test>\r\nTO:<user@example.com>\r\nSUBJECT: Fax\r\n\r\nBEGIN BODY\r\n\r\nHello\r\n\r\nEND BODY\r\n\r\n"
    "BEGIN ATTACH\r\n<<page.tif:src1.tif>>\r\n<<notes.txt:src2.txt>>\r\nEND ATTACH\r\n";

// The engine started on its own removes the composed and scratch files an
// earlier run left, sends a queue file that arrives, deletes it with every
// attachment source, and ends at once on a stop request.
TEST_F(Outbound, MainThreadSendsWhatArrivesAndStopsOnRequest) {
    peers::SmtpServer smtp;
    peers::NameServer dns(Answer("EXAMPLE.COM", {{10, "127.0.0.1"}}));
    Configure(smtp.port(), dns.port());
    for (const char* left : {"99999.qmx", "At99999.qmx", "fax99999.qmx"}) WriteAll(In(left), "left");
    WriteAll(In("src1.tif"), "II*\0tiff");
    WriteAll(In("src2.txt"), "notes");
    WriteAll(In("a.tmp"), kQueueFile);
    CFileMan fm;
    auto out = std::make_unique<SMTPOut>();
    out->SetFileManager(&fm);
    ASSERT_EQ(out->Start(), 0);
    const std::vector<std::string> notOurs = {"fax99999.qmx"};
    for (int i = 0; i < 500 && testutil::List(m_data + "IN") != notOurs; ++i) plat::SleepMs(20);
    EXPECT_EQ(testutil::List(m_data + "IN"), notOurs);
    smtp.Join();
    ASSERT_EQ(smtp.sessions().size(), 1u);
    EXPECT_EQ(smtp.sessions()[0].commands[2], "RCPT to:<USER@EXAMPLE.COM>\r\n");
    EXPECT_NE(smtp.sessions()[0].data.find("Content-Description: notes.txt"), std::string::npos);
    // The engine now idles; a stop ends its wait at once.
    plat::SleepMs(100);
    auto t0 = std::chrono::steady_clock::now();
    out->RequestShutdown();
    out.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

// Error names ".err" and ".1.err" to ".99.err" of name, all taken.
void TakeEveryErrorName(const std::string& dir, const std::string& name, const std::string& ext) {
    WriteAll(dir + name + ext, "older");
    for (int n = 1; n < 100; ++n) WriteAll(dir + name + "." + std::to_string(n) + ext, "older");
}

TEST_F(Outbound, QueueFileWithoutReceiverIsSetAsideWithItsAttachments) {
    Configure(peers::ClosedPort(), peers::ClosedPort());
    WriteAll(In("norcpt.tmp"), "SUBJECT: x\r\n\r\nBEGIN BODY\r\n\r\nTO:<in@body.test>\r\n\r\nEND BODY\r\n\r\n"
                               "BEGIN ATTACH\r\n<<a:src1.tif>>\r\nEND ATTACH\r\n");
    WriteAll(In("src1.tif"), "data");
    WriteAll(In("norcpt.err"), "an older one");
    Engine e;
    EXPECT_EQ(e.Pass(), 1);
    EXPECT_EQ(testutil::List(m_data + "IN"), (std::vector<std::string>{"norcpt.1.err", "norcpt.err", "src1.tif"}));
    EXPECT_EQ(ReadAll(In("norcpt.err")), "an older one");
    if (plat::kPathSep == '/') {
        EXPECT_EQ(Events(), "435 error The Quillon SMTP Server found that TO field is absent in the message file:" +
                                In("norcpt.tmp") + " and error file:" + In("norcpt.1.err") + ".\n");
    }
    EXPECT_EQ(e.Pass(), 0) << "it is never picked again";

    // No error name free: reported once, then left in IN for the rest of the run.
    WriteAll(In("norcpt.tmp"), "SUBJECT: no receiver\r\n");
    TakeEveryErrorName(In(""), "norcpt", ".err");
    WriteAll(m_dir / "events.log", "");
    Engine again;
    EXPECT_EQ(again.Pass(), 1);
    EXPECT_TRUE(plat::PathExists(In("norcpt.tmp").c_str()));
    int queued = -1;
    again.fm.GetQueueCount(&queued);
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(again.Pass(), 0);
    EXPECT_EQ(again.Pass(), 0);
    if (plat::kPathSep == '/') {
        std::string events = Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1) << events;
        EXPECT_NE(events.find("error file:none (every error name up to " + In("norcpt.99.err") + " is taken)"),
                  std::string::npos)
            << events;
    }
}

// After five failed attempts the queue file is set aside in capitals with
// an event that names the last failure; the composed file is gone and the
// attachment sources stay.
TEST_F(Outbound, FiveFailedAttemptsSetTheQueueFileAsideInCapitals) {
    struct {
        const char* what;
        const char* to;
        bool up;  // name server and receiver
        bool sourcesPresent;
        bool errorNamesTaken;
        int connections;
        std::string failure;
    } cases[] = {
        {"refused recipient", "user@example.com", true, true, false, 5, "mx0.test replied to RCPT: 550 no"},
        // Nothing goes out without every attachment whole.
        {"missing attachment", "user@example.com", true, false, false, 0,
         "the attachment " + In("src2.txt") + " could not be read"},
        {"no name server, no receiver", "user@localhost", false, true, false, 0,
         "DNS lookup of LOCALHOST at 127.0.0.1:%d: no answer with 0 mail exchanger(s); "
         "no host accepted a connection on port %d"},
        // Sent five times, and never again in this run.
        {"error names taken", "user@example.com", true, true, true, 5, "mx0.test replied to RCPT: 550 no"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& f : testutil::List(m_data + "IN")) plat::RemoveFile(In(f).c_str());
        WriteAll(m_dir / "events.log", "");
        peers::SmtpServer smtp(With([](auto& b) { b.rcpt = "550 no\r\n"; }), 6);
        peers::NameServer dns(Answer("EXAMPLE.COM", {{10, "127.0.0.1"}}), 6);
        int smtpPort = c.up ? smtp.port() : peers::ClosedPort();
        int dnsPort = c.up ? dns.port() : peers::ClosedPort();
        Configure(smtpPort, dnsPort);
        std::string queue = kQueueFile;
        queue.replace(queue.find("user@example.com"), 16, c.to);
        WriteAll(In("rej.tmp"), queue);
        WriteAll(In("src1.tif"), "data");
        if (c.sourcesPresent) WriteAll(In("src2.txt"), "notes");
        if (c.errorNamesTaken) TakeEveryErrorName(In(""), "REJ", ".ERR");

        Engine e;
        EXPECT_EQ(e.Pass(), 1);
        EXPECT_EQ(e.Pass(), 0);
        EXPECT_EQ(smtp.accepted(), c.connections);
        std::vector<std::string> expected = {"REJ.ERR"};
        if (c.errorNamesTaken) expected.push_back("rej.tmp");
        expected.push_back("src1.tif");
        if (c.sourcesPresent) expected.push_back("src2.txt");
        std::vector<std::string> left;  // without the numbered error names
        for (const std::string& n : testutil::List(m_data + "IN"))
            if (n.compare(0, 4, "REJ.") != 0 || n == "REJ.ERR") left.push_back(n);
        EXPECT_EQ(left, expected);
        if (plat::kPathSep != '/') continue;
        char failure[300];
        std::snprintf(failure, sizeof(failure), c.failure.c_str(), dnsPort, smtpPort);
        std::string errorFile = In("REJ.ERR");
        if (c.errorNamesTaken)
            errorFile = "none (every error name up to " + In("REJ.99.ERR") +
                        " is taken); the file stays in IN and is not sent again until the gateway restarts";
        std::vector<std::string> given;
        std::string events = Events();
        for (size_t at = 0, end; (end = events.find('\n', at)) != std::string::npos; at = end + 1)
            if (events.compare(at, 4, "437 ") == 0) given.push_back(events.substr(at, end - at));
        EXPECT_EQ(given, std::vector<std::string>{"437 error The service gave up sending the message file:" +
                                                  In("rej.tmp") + " after five failed attempts; error file:" +
                                                  errorFile + ". The last attempt failed: " + failure});
    }
}

TEST_F(Outbound, MaxOutZeroStopsAllSendingAndStartAfterStopFails) {
    Configure(peers::ClosedPort(), peers::ClosedPort(), 0);
    WriteAll(In("a.tmp"), kQueueFile);
    CFileMan fm;
    SMTPOut out;
    out.SetFileManager(&fm);
    ASSERT_EQ(out.Start(), 0);
    plat::SleepMs(300);
    EXPECT_TRUE(plat::PathExists(In("a.tmp").c_str()));
    out.RequestShutdown();
    SMTPOut stopped;
    stopped.RequestShutdown();
    EXPECT_EQ(stopped.Start(), 1);
}

}  // namespace
