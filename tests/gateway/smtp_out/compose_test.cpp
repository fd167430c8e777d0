#include <string>
#include <vector>

#include "gateway/smtp_out/compose.h"
#include "test_util.h"

namespace {

using testutil::ReadAll;
using testutil::WriteAll;

std::string Head(const std::string& id) {
    return "Return-Receipt-To:\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n"
           "        boundary=\"----= Message-ID:" +
           id + "\"\r\n\r\n------= Message-ID:" + id + "\r\nContent-Type: text/plain\r\n\r\n";
}
std::string Delim(const std::string& id) { return "------= Message-ID:" + id + "\r\n"; }
std::string Closing(const std::string& id) { return "------= Message-ID:" + id + "--\r\n"; }
std::string Part(const std::string& type, const std::string& name, const std::string& base64Lines) {
    return "Content-Type: " + type + ";\r\n        name=\"" + name +
           "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n        filename=\"" +
           name + "\"\r\nContent-Description: " + name + "\r\n\r\n" + base64Lines + "\r\n";
}

class Compose : public ::testing::Test {
protected:
    void SetUp() override {
        m_data = m_dir.path() + plat::kPathSep;
        plat::MakeDirectory((m_data + "IN").c_str());
        ResetMessageIds();
    }

    std::string In(const std::string& name) const { return m_data + "IN" + plat::kPathSep + name; }

    std::string Run(const std::string& queueText, std::vector<std::string>* attachments = nullptr, int result = 0) {
        WriteAll(In("q.tmp"), queueText);
        plat::CFile queue, composed;
        EXPECT_EQ(queue.Open(In("q.tmp").c_str(), plat::kOpenRead), 0);
        EXPECT_EQ(composed.Open(In("7.qmx").c_str(), plat::kCreateTruncRW), 0);
        EXPECT_EQ(ComposeMessage(m_data.c_str(), queue.Get(), composed.Get(), attachments, &m_problem), result);
        EXPECT_EQ(queue.Seek(0, 1), 0);
        EXPECT_EQ(composed.Seek(0, 1), 0);
        composed.Close();
        return ReadAll(In("7.qmx"));
    }

    testutil::TempDir m_dir;
    std::string m_data;
    testutil::ScopedEnv m_host{"HOSTNAME", "testhost"};
    testutil::ScopedEnv m_events{"QLSMTP_EVENTLOG", (m_dir / "events.log").c_str()};
    std::string m_problem;
};

TEST_F(Compose, BodyWithoutAttachments) {
    const std::string head = Head("0@testhost"), closing = Closing("0@testhost") + ".\r\n";
    struct {
        std::string queue;
        std::string composed;
    } cases[] = {
        {"FROM:<fax@here>\r\nTO:<user@example.com>\r\nSUBJECT: hi\r\n\r\nBEGIN BODY\r\n\r\n\r\nEND BODY\r\n\r\n",
         "FROM:<fax@here>\r\nTO:<user@example.com>\r\nSUBJECT: hi\r\n" + head + "\r\n" + closing},
        // Copied lines are dot-stuffed and end in CR LF.
        {"TO:<a@b.c>\r\n.hdr\r\n\r\nBEGIN BODY\r\n\r\nline one\r\n.\r\n..two\r\nsee END BODY here\r\n\r\n"
         "END BODY\r\n\r\n",
         "TO:<a@b.c>\r\n..hdr\r\n" + head + "line one\r\n..\r\n...two\r\nsee END BODY here\r\n\r\n" + closing},
        {"TO:<a@b.c>\n\nBEGIN BODY\n\nbody\n.\n\nEND BODY\n\n", "TO:<a@b.c>\r\n" + head + "body\r\n..\r\n\r\n" + closing},
        // A bare CR ends a line too, also at the end of a 1000-byte piece.
        {"TO:<a@b.c>\r\n\r\nBEGIN BODY\r\n\r\nline\r.\r\na\rb\r\n" + std::string(999, 'c') + "\r.d\r\n\r\nEND BODY\r\n\r\n",
         "TO:<a@b.c>\r\n" + head + "line\r\n..\r\na\r\nb\r\n" + std::string(999, 'c') + "\r\n..d\r\n\r\n" + closing},
        // No empty line before BEGIN BODY: no MIME body at all.
        {"TO:<a@b.c>\r\nBEGIN BODY\r\n\r\ntext\r\n", "TO:<a@b.c>\r\nBEGIN BODY\r\ntext\r\n.\r\n"},
        // END BODY never enclosed: the rest stays in the body, which is closed.
        {"TO:<a@b.c>\r\n\r\nBEGIN BODY\r\n\r\ntext\r\nEND BODY\r\nmore",
         "TO:<a@b.c>\r\n" + head + "text\r\nEND BODY\r\n" + closing},
    };
    for (const auto& c : cases) {
        ResetMessageIds();
        EXPECT_EQ(Run(c.queue), c.composed) << c.queue;
    }
}

TEST_F(Compose, TwoAttachmentsGetTheirPartsAndOneClosingLine) {
    WriteAll(In("pic.gif"), std::string("GIF89a\x01\x02", 8));
    WriteAll(In("doc.ps"), "%!PS-Adobe");
    std::vector<std::string> sources;
    std::string out = Run(
        "TO:<a@b.c>\r\n\r\nBEGIN BODY\r\n\r\nHello\r\n\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n<<Picture:pic.gif>>\r\n"
        "<<Doc:doc.ps>>\r\nEND ATTACH\r\nignored\r\n",
        &sources);
    const std::string id = "0@testhost";
    EXPECT_EQ(out, "TO:<a@b.c>\r\n" + Head(id) + "Hello\r\n\r\n" + Delim(id) +
                       Part("image/gif", "Picture", "R0lGODlhAQI=\r\n") + Delim(id) +
                       Part("application/postscript", "Doc", "JSFQUy1BZG9iZQ==\r\n") + Closing(id) + ".\r\n");
    EXPECT_EQ(sources, (std::vector<std::string>{In("pic.gif"), In("doc.ps")}));
    EXPECT_EQ(testutil::List(m_data + "IN"), (std::vector<std::string>{"7.qmx", "doc.ps", "pic.gif", "q.tmp"}))
        << "the scratch files are gone";
}

// An attachment that cannot be read makes the whole message fail.
TEST_F(Compose, UnreadableAndUnsafeAttachmentsFailTheMessageAndAreReported) {
    WriteAll(m_dir / "secret", "do not send");
    std::vector<std::string> sources;
    std::string out = Run(
        "TO:<a@b.c>\r\n\r\nBEGIN BODY\r\n\r\nx\r\n\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n<<Gone:missing.bin>>\r\n\r\n"
        "<<Evil:../secret>>\r\nEND ATTACH\r\n",
        &sources, 1);
    EXPECT_EQ(m_problem, "the attachment " + In("missing.bin") + " could not be read");
    const std::string id = "0@testhost";
    EXPECT_EQ(out, "TO:<a@b.c>\r\n" + Head(id) + "x\r\n\r\n" + Delim(id) + Delim(id) + Closing(id) + ".\r\n");
    EXPECT_EQ(sources, std::vector<std::string>{In("missing.bin")});
    if (plat::kPathSep == '/') {
        EXPECT_EQ(ReadAll(m_dir / "events.log"),
                  "432 error The Quillon SMTP Server couldn't find the attached file:" + In("missing.bin") +
                      " in IN path for sending.\n432 error The Quillon SMTP Server couldn't find the attached file:" +
                      In("../secret") + " in IN path for sending.\n");
    }
}

TEST_F(Compose, HeaderUnsafeNamesAreQuoted) {
    WriteAll(In("a.bin"), "abc");
    std::string out = Run(
        "TO:<a@b.c>\r\n\r\nBEGIN BODY\r\n\r\n\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n<<say \"hi\"\x01:a.bin>>\r\nEND ATTACH\r\n");
    EXPECT_NE(out.find("name=\"say \\\"hi\\\"\"\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Content-Description: say \"hi\"\r\n"), std::string::npos) << out;
}

TEST_F(Compose, AttachmentTypesAndLineLengths) {
    std::string line72;
    for (int i = 0; i < 18; ++i) line72 += "QUFB";
    struct {
        std::string content;
        const char* type;
        std::string base64;
    } cases[] = {
        {std::string("GIF89a\x01\x02", 8), "image/gif", "R0lGODlhAQI=\r\n"},
        {std::string("\xFF\xD8\xFF\xE0", 4), "image/jpeg", "/9j/4A==\r\n"},
        {std::string("\x00\x00\x01\xB3\x10", 5), "video/mpeg", "AAABsxA=\r\n"},
        {"%!", "application/postscript", "JSE=\r\n"},
        {"GI", "application/octet-stream", "R0k=\r\n"},
        {"", "application/octet-stream", ""},
        {std::string(54, 'A'), "application/octet-stream", line72 + "\r\n"},
        {std::string(55, 'A'), "application/octet-stream", line72 + "\r\nQQ==\r\n"},
    };
    for (const auto& c : cases) {
        WriteAll(In("src.bin"), c.content);
        plat::CFile composed;
        ASSERT_EQ(composed.Open(In("9.qmx").c_str(), plat::kCreateTruncRW), 0);
        EXPECT_EQ(EncodeAttachment(In("src.bin").c_str(), composed.Get(), m_data.c_str(), "f.bin"), 0);
        composed.Close();
        EXPECT_EQ(ReadAll(In("9.qmx")), Part(c.type, "f.bin", c.base64)) << c.content.size();
    }
    plat::CFile composed;
    ASSERT_EQ(composed.Open(In("9.qmx").c_str(), plat::kCreateTruncRW), 0);
    EXPECT_EQ(EncodeAttachment(In("none.bin").c_str(), composed.Get(), m_data.c_str(), "f"), 1);
}

TEST_F(Compose, MessageIdsCountFromZeroWithASafeHostName) {
    EXPECT_EQ(MakeMessageId(), "0@testhost");
    EXPECT_EQ(MakeMessageId(), "1@testhost");
    // The host name is read once, at the first id.
    plat::SetEnv("HOSTNAME", "other");
    EXPECT_EQ(MakeMessageId(), "2@testhost");
    plat::SetEnv("HOSTNAME", "bad\"host\r\nX-Injected: 1");
    ResetMessageIds();
    EXPECT_EQ(MakeMessageId(), "0@badhostX-Injected1");
    plat::SetEnv("HOSTNAME", "");
    ResetMessageIds();
    EXPECT_EQ(MakeMessageId(), "0@localhost");
}

TEST_F(Compose, FindReceiverLineLooksAtHeaderLinesOnly) {
    struct {
        std::string composed;
        int result;
        const char* line;
    } cases[] = {
        {"From: x\r\nto:<<someone@example.com>\r\nSubject: y\r\n\r\n", 0, "TO:<SOMEONE@EXAMPLE.COM>"},
        {"To: plain@example.com\r\n", 0, "TO: PLAIN@EXAMPLE.COM"},
        {"X-Note: TO:<a@b.c>\r\n\r\nbody\r\n", 1, ""},
        {"Subject: s\r\n\r\nTO:<in-the-body@b.c>\r\n", 1, ""},
        {std::string(250, 'x') + "TO:<split@b.c>\r\n", 1, ""},
        {"", 1, ""},
    };
    for (const auto& c : cases) {
        WriteAll(In("r.qmx"), c.composed);
        plat::CFile f;
        ASSERT_EQ(f.Open(In("r.qmx").c_str(), plat::kOpenRead), 0);
        char line[201] = {};
        EXPECT_EQ(FindReceiverLine(f.Get(), line, sizeof(line)), c.result) << c.composed;
        if (c.result == 0) {
            EXPECT_STREQ(line, c.line);
        }
        EXPECT_EQ(f.Seek(0, 1), 0);
    }
}

}  // namespace
