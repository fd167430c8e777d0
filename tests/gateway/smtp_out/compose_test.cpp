// Composition against golden files: every compose/<case>.tmp queue file,
// with the attachment sources in compose/in, gives compose/<case>.eml, from
// files and in memory; a case named "*.fail" is not whole.
#include <gtest/gtest.h>

#include "gateway/smtp_out/compose.h"
#include "test_util.h"

namespace {

using namespace testutil;

TEST(Compose, GoldenFiles) {
    std::string here(__FILE__);
    const std::string golden = here.substr(0, here.find_last_of("/\\") + 1) + "compose" + plat::kPathSep;
    TempDir dir;
    ScopedEnv host("HOSTNAME", "testhost");
    ScopedEnv events("QLSMTP_EVENTLOG", (dir / "events.log").c_str());
    const std::string data = dir.path() + plat::kPathSep, in = data + "IN" + plat::kPathSep;
    plat::MakeDirectory((data + "IN").c_str());
    std::map<std::string, std::string> sources;
    for (const std::string& name : List(golden + "in"))
        WriteAll(in + name, sources[in + name] = ReadAll(golden + "in" + plat::kPathSep + name));
    for (const std::string& name : List(golden, "*.tmp")) {
        const std::string queue = ReadAll(golden + name);
        const std::string expected = ReadAll(golden + name.substr(0, name.size() - 4) + ".eml");
        const int result = name.find(".fail") != std::string::npos ? 1 : 0;
        WriteAll(in + "q.tmp", queue);
        plat::CFile q, composed;
        ASSERT_EQ(q.Open((in + "q.tmp").c_str(), plat::kOpenRead), 0);
        ASSERT_EQ(composed.Open((in + "7.qmx").c_str(), plat::kCreateTruncRW), 0);
        ResetMessageIds();
        std::vector<std::string> fromFiles, fromMemory;
        EXPECT_EQ(ComposeMessage(data.c_str(), q.Get(), composed.Get(), &fromFiles), result) << name;
        EXPECT_EQ(composed.Seek(0, 1), 0);
        composed.Close();
        EXPECT_EQ(ReadAll(in + "7.qmx"), expected) << name;
        ResetMessageIds();
        MemoryComposeIo io(queue, sources);
        EXPECT_EQ(ComposeMail(io, data.c_str(), &fromMemory), result) << name;
        EXPECT_EQ(io.Mail(), expected) << name;
        EXPECT_EQ(fromMemory, fromFiles) << name;
    }
    EXPECT_EQ(List(data + "IN").size(), sources.size() + 2) << "no scratch file is left";
}

// An attachment file is read in blocks; its base64 lines stay 72 characters
// long across the block boundaries.
TEST(Compose, LongAttachmentLines) {
    TempDir dir;
    ScopedEnv events("QLSMTP_EVENTLOG", (dir / "events.log").c_str());
    const std::string data = dir.path() + plat::kPathSep, in = data + "IN" + plat::kPathSep;
    plat::MakeDirectory((data + "IN").c_str());
    WriteAll(in + "big.bin", std::string(200000, '\xa5'));
    WriteAll(in + "q.tmp", "TO:<a@b.c>\r\n\r\nBEGIN BODY\r\n\r\nx\r\n\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n"
                           "<<big.bin:big.bin>>\r\nEND ATTACH\r\n");
    plat::CFile q, composed;
    ASSERT_EQ(q.Open((in + "q.tmp").c_str(), plat::kOpenRead), 0);
    ASSERT_EQ(composed.Open((in + "7.qmx").c_str(), plat::kCreateTruncRW), 0);
    std::vector<std::string> names;
    ASSERT_EQ(ComposeMessage(data.c_str(), q.Get(), composed.Get(), &names), 0);
    composed.Close();
    const std::string mail = ReadAll(in + "7.qmx");
    size_t at = mail.find("Content-Description: big.bin\r\n\r\n"), lines = 0;
    ASSERT_NE(at, std::string::npos);
    for (at = mail.find("\r\n\r\n", at) + 4; mail.compare(at, 2, "\r\n") != 0; ++lines) {
        const size_t end = mail.find("\r\n", at);
        ASSERT_EQ(end - at, lines < 200000 / 54 ? 72u : 200000 % 54 / 3 * 4 + 4) << "line " << lines;
        at = end + 2;
    }
    EXPECT_EQ(lines, 200000 / 54 + 1);
}

// The first header line that begins with "TO:", in capitals, "<<" made "<".
TEST(Compose, FindReceiverLine) {
    TempDir dir;
    for (std::string text : std::vector<std::string>{"From: x\r\nto:<<a@b.c>\r\n", "X:TO:<a@b.c>\r\n\r\nTO:<b@b.c>\r\n",
                                                     std::string(250, 'x') + "TO:<split@b.c>\r\n"}) {
        WriteAll(dir / "r.qmx", text);
        plat::CFile f;
        ASSERT_EQ(f.Open((dir / "r.qmx").c_str(), plat::kOpenRead), 0);
        char line[201] = {};
        EXPECT_EQ(FindReceiverLine(f.Get(), line, sizeof(line)), text[0] == 'F' ? 0 : 1) << text;
        EXPECT_STREQ(line, text[0] == 'F' ? "TO:<A@B.C>" : "");
        EXPECT_EQ(f.Seek(0, 1), 0);
    }
}

}  // namespace
