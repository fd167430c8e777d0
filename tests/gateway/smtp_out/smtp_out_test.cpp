#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "gateway/smtp_out/cfileman.h"
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

    // SendMessageViaMX over a message file with the given bytes.
    int Send(const std::string& message, const char* recipient) {
        WriteAll(In("m.qmx"), message);
        CFileMan fm;
        SMTPOut out;
        out.SetFileManager(&fm);
        plat::CFile f;
        EXPECT_EQ(f.Open(In("m.qmx").c_str(), plat::kOpenRead), 0);
        char work[201];
        return out.SendMessageViaMX(f.Get(), recipient, work, 200);
    }
    // One pass of the outbound thread over IN.
    int SendQueue() {
        CFileMan fm;
        SMTPOut out;
        out.SetFileManager(&fm);
        return SMTPOut::SMTPOutThread(&out);
    }

    testutil::ScratchRegistry m_registry{qlsmtp::kSettingsKey};
    testutil::TempDir m_dir;
    std::string m_data = m_dir.path() + plat::kPathSep;
    testutil::ScopedEnv m_events{"QLSMTP_EVENTLOG", (m_dir / "events.log").c_str()};
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
    };
    for (const auto& c : cases) {
        peers::SmtpServer smtp(c.behavior);
        peers::NameServer dns(Answer("example.com", {{10, "127.0.0.1"}}));
        Configure(smtp.port(), dns.port());
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(kMessage, "user@example.com"), c.result) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << c.what;
        smtp.Join();
        ASSERT_EQ(smtp.sessions().size(), 1u) << c.what;
        EXPECT_EQ(smtp.sessions()[0].commands, c.commands) << c.what;
        if (c.dataSent) {
            EXPECT_EQ(smtp.sessions()[0].data, "TO:<user@example.com>\r\nSubject: s\r\n\r\nbody\r\n.\r\n") << c.what;
        }
    }
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
    // Name server down, domain unknown: no host at all.
    Configure(peers::ClosedPort(), peers::ClosedPort());
    EXPECT_EQ(Send(kMessage, "user@no-such-host.invalid"), 2);

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

// The engine started on its own sends a queue file that arrives, deletes it
// with every attachment source, and ends at once on a stop request.
TEST_F(Outbound, MainThreadSendsWhatArrivesAndStopsOnRequest) {
    peers::SmtpServer smtp;
    peers::NameServer dns(Answer("EXAMPLE.COM", {{10, "127.0.0.1"}}));
    Configure(smtp.port(), dns.port());
    WriteAll(In("src1.tif"), "II*\0tiff");
    WriteAll(In("src2.txt"), "notes");
    WriteAll(In("a.tmp"), kQueueFile);
    CFileMan fm;
    auto out = std::make_unique<SMTPOut>();
    out->SetFileManager(&fm);
    ASSERT_EQ(out->Start(), 0);
    for (int i = 0; i < 500 && !testutil::List(m_data + "IN").empty(); ++i) plat::SleepMs(20);
    EXPECT_EQ(testutil::List(m_data + "IN"), std::vector<std::string>{});
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

TEST_F(Outbound, QueueFileWithoutReceiverIsSetAsideWithItsAttachments) {
    Configure(peers::ClosedPort(), peers::ClosedPort());
    WriteAll(In("norcpt.tmp"), "SUBJECT: x\r\n\r\nBEGIN BODY\r\n\r\nTO:<in@body.test>\r\n\r\nEND BODY\r\n\r\n"
                               "BEGIN ATTACH\r\n<<a:src1.tif>>\r\nEND ATTACH\r\n");
    WriteAll(In("src1.tif"), "data");
    WriteAll(In("norcpt.err"), "an older one");
    EXPECT_EQ(SendQueue(), 1);
    EXPECT_EQ(testutil::List(m_data + "IN"), (std::vector<std::string>{"norcpt.1.err", "norcpt.err", "src1.tif"}));
    EXPECT_EQ(ReadAll(In("norcpt.err")), "an older one");
    if (plat::kPathSep == '/') {
        EXPECT_EQ(Events(), "435 error The Quillon SMTP Server found that TO field is absent in the message file:" +
                                In("norcpt.tmp") + " and error file:" + In("norcpt.1.err") + ".\n");
    }
    EXPECT_EQ(SendQueue(), 0) << "it is never picked again";
}

TEST_F(Outbound, FiveRefusalsSetTheQueueFileAsideInCapitals) {
    peers::SmtpServer smtp(With([](auto& b) { b.rcpt = "550 no\r\n"; }), 6);
    peers::NameServer dns(Answer("EXAMPLE.COM", {{10, "127.0.0.1"}}), 6);
    Configure(smtp.port(), dns.port());
    WriteAll(In("rej.tmp"), kQueueFile);
    WriteAll(In("src1.tif"), "data");
    WriteAll(In("src2.txt"), "notes");
    EXPECT_EQ(SendQueue(), 1);
    EXPECT_EQ(smtp.accepted(), 5);
    // Where paths keep their case only the file name is upper-cased; the
    // composed file is gone, the attachment sources stay.
    std::string errorPath = In("REJ.ERR");
    if (plat::kPathSep != '/')
        for (char& c : errorPath) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(plat::PathExists(errorPath.c_str()));
    EXPECT_EQ(testutil::List(m_data + "IN"), (std::vector<std::string>{"REJ.ERR", "src1.tif", "src2.txt"}));
    if (plat::kPathSep == '/') {
        EXPECT_EQ(Events(), "435 error The Quillon SMTP Server found that TO field is absent in the message file:" +
                                In("rej.tmp") + " and error file:" + errorPath + ".\n");
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
