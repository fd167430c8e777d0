// The outbound engine: the SMTP dialogue, the choice of exchanger, and the
// passes over IN that send, retry and set aside queue files.
#include "gateway/smtp_in/smtp_test_util.h"
#include "gateway/smtp_out/peers.h"
#include "gateway/smtp_out/smtp_out.h"

namespace {

using namespace rxtest;

class Outbound : public ::testing::Test {
protected:
    void Configure(int smtpPort, int dnsPort) {
        m_s.SetDword(qlsmtp::kValSmtpTxPort, static_cast<uint32_t>(smtpPort));
        m_s.SetString(qlsmtp::kValDNSName, ("127.0.0.1:" + std::to_string(dnsPort)).c_str());
    }
    // SendMessageViaMX over a message file, each reply awaited 1.5 s.
    int Send(const std::string& message, const char* recipient) {
        WriteAll(m_s.InFile("m.qmx"), message);
        CFileMan fm;
        SMTPOut out;
        out.SetFileManager(&fm);
        out.SetTimeouts(1500, 0, 0);
        plat::CFile f;
        EXPECT_EQ(f.Open(m_s.InFile("m.qmx").c_str(), plat::kOpenRead), 0);
        char work[201];
        int r = out.SendMessageViaMX(f.Get(), recipient, work, 200);
        m_failure = out.LastFailure();
        return r;
    }
    rxtest::TestSettings m_s;
    testutil::ScopedEnv m_events{"QLSMTP_EVENTLOG", (m_s.Data() + "events.log").c_str()};
    std::string m_failure;
};

const char kMx1[] = "example.com: mx 127.0.0.1";

TEST_F(Outbound, Dialogues) {
    // "TO:<<" becomes "TO:<" within a 200-byte chunk, not across two.
    const std::string message = std::string(196, 'f') + "\r\nTO:<<a@b.c>\r\n..dot\r\nX: TO:<<in\r\n.\r\n";
    const std::string sent = std::string(196, 'f') + "\r\nTO:<<a@b.c>\r\n..dot\r\nX: TO:<in\r\n.\r\n";
    const std::string helo = "HELO fax.example.com\r\nMail from:<fax.example.com>\r\n";
    const std::string rcpt = helo + "RCPT to:<user@example.com>\r\n", data = rcpt + "DATA\r\n";
    struct {
        std::map<std::string, std::string> replies;
        int result;
        std::string log;  // what the receiver got
    } cases[] = {
        {{}, 0, data + sent + "QUIT\r\n--\r\n"},
        {{{"HELO", "250-first\r\n250 second\r\n"}}, 0, data + sent + "QUIT\r\n--\r\n"},
        {{{"RCPT", "550 no such user\r\n"}}, 3, rcpt + "--\r\n"},
        {{{"RCPT", "251 forwarded\r\n"}}, 3, rcpt + "--\r\n"},
        {{{"Mail", "451 later\r\n"}}, 3, helo + "Mail from:<fax.example.com>\r\n--\r\n"},
        {{{"END", "450 busy\r\n"}}, 3, data + sent + "--\r\n"},
    };
    for (const auto& c : cases) {
        peers::SmtpServer smtp(c.replies);
        peers::NameServer dns(kMx1);
        Configure(smtp.server.m_port, dns.server.m_port);
        EXPECT_EQ(Send(message, "<user@example.com"), c.result) << c.log;
        EXPECT_EQ(smtp.Log(), c.log);
    }
}

TEST_F(Outbound, ExchangersInTableOrderThenTheDomain) {
    int dnsPort = peers::ClosedPort(), smtpPort = peers::ClosedPort();
    Configure(smtpPort, dnsPort);
    EXPECT_EQ(Send("x\r\n.\r\n", "user@localhost"), 2);
    EXPECT_EQ(m_failure, "DNS lookup of localhost at 127.0.0.1:" + std::to_string(dnsPort) +
                             ": no answer with 0 mail exchanger(s); no host accepted a connection on port " +
                             std::to_string(smtpPort));
    for (const char* answer : {"example.com: mx 127.0.0.2, mx 127.0.0.1", "localhost: no mx",
                               "localhost: mx name longer than 200", "example.com: mx 127.0.0.1, mx 127.0.0.3"}) {
        peers::SmtpServer smtp;
        peers::SmtpServer other({}, 1, "127.0.0.3", smtp.server.m_port);
        if (!other.server.m_ok) GTEST_SKIP() << "127.0.0.3 cannot be bound here";
        peers::NameServer dns(answer);
        Configure(smtp.server.m_port, dns.server.m_port);
        EXPECT_EQ(Send("x\r\n.\r\n", answer[0] == 'e' ? "user@example.com" : "user@localhost"), 0) << answer;
        EXPECT_EQ(smtp.server.m_accepted, 1) << answer;
        EXPECT_EQ(other.server.m_accepted, 0) << answer;
    }
}

const char kQueueFile[] = "TO:<user@example.com>\r\n\r\nBEGIN BODY\r\n\r\nHello\r\n\r\nEND BODY\r\n\r\n"
                          "BEGIN ATTACH\r\n<<page.tif:src1.tif>>\r\n<<notes.txt:src2.txt>>\r\nEND ATTACH\r\n";

// One without a receiver is set aside at once under a free error name with
// event 435; five failed attempts set one aside in capitals with event 437.
TEST_F(Outbound, FailedFilesAreSetAside) {
    peers::SmtpServer smtp({{"RCPT", "550 no\r\n"}}, 6);
    peers::NameServer dns(kMx1, 6);
    Configure(smtp.server.m_port, dns.server.m_port);
    WriteAll(m_s.InFile("nor.tmp"), "SUBJECT: x\r\n\r\nBEGIN BODY\r\n\r\nTO:<in@body.test>\r\n\r\nEND BODY\r\n\r\n");
    for (const char* name : {"nor.err", "src1.tif", "src2.txt"}) WriteAll(m_s.InFile(name), "x");
    CFileMan fm;
    SMTPOut out;
    out.SetFileManager(&fm);
    EXPECT_EQ(SMTPOut::SMTPOutThread(&out), 1);
    WriteAll(m_s.InFile("rej.tmp"), kQueueFile);
    EXPECT_EQ(SMTPOut::SMTPOutThread(&out), 1);
    EXPECT_EQ(SMTPOut::SMTPOutThread(&out), 0);
    EXPECT_EQ(smtp.server.m_accepted, 5);
    EXPECT_EQ(List(m_s.In()), (std::vector<std::string>{"REJ.ERR", "nor.1.err", "nor.err", "src1.tif", "src2.txt"}));
    const std::string events = "message file:" + m_s.InFile("nor.tmp") + " and error file:" + m_s.InFile("nor.1.err");
    // The events go to a file on this side only.
    EXPECT_TRUE(plat::kPathSep != '/' ||
                ReadAll(m_s.Data() + "events.log").find(events + ".\n437 ") != std::string::npos);
    EXPECT_TRUE(plat::kPathSep != '/' || ReadAll(m_s.Data() + "events.log").ends_with("RCPT: 550 no\n"));
}

}  // namespace
