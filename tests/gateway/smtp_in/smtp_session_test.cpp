// The receiving SMTP dialogue, driven over 127.0.0.1 by a scripted client
// against a real listener, with a hand-off that records what was stored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/smtp_in/smtp_test_util.h"

using namespace rxtest;

namespace {

const std::string kBadSeq = "503 Bad Sequence Of Commands.\r\n";
const std::string kUnknown = "500 Syntax Error, Command Unknown.\r\n";
const std::string kNoop = "250 Requested mail action ok, completed\r\n";
const std::string kRsetOk = "250 Ok\r\n";
const std::string kBye = "221 Goodbye\r\n";
const std::string kStartData = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
const std::string kReceived = "250 Mail Received OK\r\n";
const std::string kLocalError = "451 Requested action aborted: local error in processing\r\n";
// Stands for the whole help reply, checked by CheckHelp.
const std::string kHelp = "<help>";

std::string Helo(const std::string& arg) { return std::string("250 ") + kDomain + " " + arg + "\r\n"; }
std::string Ok(const std::string& arg) { return "250 OK  " + arg + " \r\n"; }

// The help reply, 13 lines. The example names in lines 7 to 9 are free (the
// patterns); the frame is not.
void CheckHelp(Client& c) {
    const std::string eq(48, '=');
    const std::string help[] = {"214- SMTP Fax Gateway Service \r\n", "214- " + eq + " \r\n",
                                "214- Commands Accepted: \r\n", "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n",
                                "214-    NOOP   RSET  \r\n", "214- Normal Communication Sequence: \r\n",
                                "214-    HELO ?* \r\n", "214-    MAIL From:<?*> \r\n", "214-    RCPT To:<?*> \r\n",
                                "214-    DATA \r\n", "214-          << send email message here>> \r\n",
                                "214-\t\tQUIT \r\n", "214  " + eq + " \r\n"};
    for (int i = 0; i < 13; ++i) {
        std::string line = c.ReadLine();
        if (i >= 6 && i <= 8) {
            EXPECT_TRUE(plat::MatchPattern(help[i].c_str(), line.c_str())) << line;
        } else {
            ASSERT_EQ(line, help[i]);
        }
    }
}

struct Step {
    std::string send;
    std::string expect;  // exact reply bytes, or kHelp
};

void RunSteps(Client& c, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + ": " + s.send.substr(0, 60));
        if (!s.send.empty()) {
            ASSERT_TRUE(c.Send(s.send));
        }
        if (s.expect == kHelp) {
            CheckHelp(c);
        } else if (!s.expect.empty()) {
            ASSERT_EQ(c.Read(s.expect.size()), s.expect);
        }
    }
}

// HELO, MAIL, RCPT, DATA; the server is then in the data.
std::vector<Step> UpToData(const std::string& heloArg = "client.example") {
    return {{"HELO " + heloArg + "\r\n", Helo(heloArg)},
            {"MAIL FROM:<sender@example.org>\r\n", Ok("FROM:<sender@example.org>")},
            {"RCPT TO:<fax@example.com>\r\n", Ok("TO:<fax@example.com>")},
            {"DATA\r\n", kStartData}};
}

struct DialogueCase {
    const char* name;
    std::vector<Step> steps;  // after the last step the server ends the connection
    int handOffs;             // messages handed off
};
void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }

}  // namespace

// ---------------------------------------------------------------------------
// Dialogue

class DialogueTest : public ReceptionTest, public ::testing::WithParamInterface<DialogueCase> {};

TEST_P(DialogueTest, Replies) {
    const DialogueCase& dc = GetParam();
    auto c = Connect();
    RunSteps(*c, dc.steps);
    bool closed = false;
    EXPECT_EQ(c->ReadToEnd(&closed), "");
    EXPECT_TRUE(closed);
    c.reset();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(HandOffCapture::Get().Records().size(), static_cast<size_t>(dc.handOffs));
}

static const std::string kLong150 = "NOOP" + std::string(96, 'a') + "HELO abc " + std::string(41, 'z') + "\r\n";

// The first n steps up to the data, then QUIT: the commands after it go unanswered.
static std::vector<Step> QuitAfter(size_t n) {
    std::vector<Step> steps = UpToData("a");
    steps.resize(n);
    steps.push_back({"QUIT\r\nNOOP\r\n", kBye});
    return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Session, DialogueTest,
    ::testing::Values(
        DialogueCase{"CommandOrder",
                     {{"MAIL FROM:<a@example.org>\r\n", kBadSeq},
                      {"RCPT TO:<fax@example.com>\r\n", kBadSeq},
                      {"DATA\r\n", kBadSeq},
                      {"HELO client.example\r\n", Helo("client.example")},
                      {"HELO again.example\r\n", kBadSeq},
                      {"RCPT TO:<fax@example.com>\r\n", kBadSeq},
                      {"DATA\r\n", kBadSeq},
                      {"MAIL FROM:<a@example.org>\r\n", Ok("FROM:<a@example.org>")},
                      {"DATA\r\n", kBadSeq},  // no recipient yet
                      {"HELO x\r\n", kBadSeq},
                      {"MAIL FROM:<b@example.org>\r\n", kBadSeq},
                      {"RCPT TO:<fax@example.com>\r\n", Ok("TO:<fax@example.com>")},
                      {"RCPT TO:<fax2@example.com>\r\n", Ok("TO:<fax2@example.com>")},
                      {"QUIT\r\n", kBye}},
                     0},
        DialogueCase{"UnknownAndEhlo",
                     {{"EHLO client.example\r\n", kUnknown},
                      {"VRFY x\r\n", kUnknown},
                      {"HELO client.example\r\n", Helo("client.example")},
                      {"EHLO client.example\r\n", kUnknown},
                      {"STARTTLS\r\n", kUnknown},
                      {"MAIL FROM:<a@example.org>\r\n", Ok("FROM:<a@example.org>")},
                      {"XYZZY\r\n", kUnknown},
                      {"HEL\r\n", kUnknown},
                      {"RCPT TO:<x@example.com>\r\n", Ok("TO:<x@example.com>")},
                      {"QUIT\r\n", kBye}},
                     0},
        DialogueCase{"OnlyFourCharactersCountAnyCase",
                     {{"helo Client.Example\r\n", Helo("Client.Example")},
                      {"mail from:<a@example.org>\r\n", Ok("from:<a@example.org>")},
                      {"RcPtTO:<x@example.com>\r\n", Ok("TO:<x@example.com>")},
                      {"noopy\r\n", kNoop},
                      {"QUITTING\r\n", kBye}},
                     0},
        DialogueCase{"HelpNoopRsetInEveryState",
                     {{"HELP\r\n", kHelp},
                      {"NOOP\r\n", kNoop},
                      {"RSET\r\n", kRsetOk},
                      {"HELO client.example\r\n", Helo("client.example")},
                      {"HELP me\r\n", kHelp},
                      {"NOOP\r\n", kNoop},
                      {"RSET\r\n", kRsetOk},
                      {"MAIL FROM:<a@example.org>\r\n", Ok("FROM:<a@example.org>")},
                      {"HELP\r\n", kHelp},
                      {"NOOP\r\n", kNoop},
                      {"RCPT TO:<x@example.com>\r\n", Ok("TO:<x@example.com>")},
                      {"RSET\r\n", kRsetOk},
                      // RSET keeps the recipients: DATA is accepted.
                      {"DATA\r\n", kStartData},
                      {"body\r\n.\r\n", kReceived},
                      {"QUIT\r\n", kBye}},
                     1},
        DialogueCase{"QuitWhileWaitingForHelo", QuitAfter(0), 0},
        DialogueCase{"QuitWhileWaitingForMail", QuitAfter(1), 0},
        DialogueCase{"QuitWhileWaitingForRcpt", QuitAfter(2), 0},
        DialogueCase{"QuitAfterRcpt", QuitAfter(3), 0},
        DialogueCase{"HeloWithoutArgument", {{"HELO\r\n", Helo("")}, {"QUIT\r\n", kBye}}, 0},
        DialogueCase{"HeloWithBlanksOnly", {{"HELO    \r\n", Helo("")}, {"QUIT\r\n", kBye}}, 0},
        DialogueCase{"ArgumentIsFirstBlankDelimitedWord",
                     {{"HELO    spaced.example  more words\r\n", Helo("spaced.example")},
                      {"MAIL FROM: <a@example.org>\r\n", Ok("FROM:")},
                      {"RCPT TO: <x@example.com>\r\n", Ok("TO:")},
                      {"QUIT\r\n", kBye}},
                     0},
        DialogueCase{"TabIsNotABlank", {{"HELO\tx\r\n", Helo("\tx")}, {"QUIT\r\n", kBye}}, 0},
        DialogueCase{"BareLfEndsACommand", {{"HELO lf.example\n", Helo("lf.example")}, {"QUIT\n", kBye}}, 0},
        DialogueCase{"EmptyLineEndsTheDialogueSilently",
                     {{"HELO a\r\n", Helo("a")}, {"\r\nNOOP\r\n", ""}},
                     0},
        DialogueCase{"PipelinedCommands",
                     {{"HELO a\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<x@example.com>\r\nNOOP\r\n",
                       Helo("a") + Ok("FROM:<a@example.org>") + Ok("TO:<x@example.com>") + kNoop},
                      {"QUIT\r\n", kBye}},
                     0},
        // A 150-character line is two command lines: 100 characters, then 50.
        DialogueCase{"LongLineIsTwoCommands", {{kLong150, kNoop + Helo("abc")}, {"QUIT\r\n", kBye}}, 0},
        // Exactly 100 characters: the CR LF after them reads as an empty line.
        DialogueCase{"HundredCharacterLineThenEmptyLine",
                     {{"NOOP" + std::string(96, 'a') + "\r\nNOOP\r\n", kNoop}},
                     0}),
    [](const ::testing::TestParamInfo<DialogueCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Message data: end of data, transparency, the exact bytes stored

struct DataCase {
    const char* name;
    std::string data;    // sent after the 354 reply, terminator included
    std::string stored;  // expected file contents after the trace line
    std::string helo = "client.example";
};
void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }

class DataTest : public ReceptionTest, public ::testing::WithParamInterface<DataCase> {};

TEST_P(DataTest, StoredExactly) {
    const DataCase& dc = GetParam();
    auto c = Connect();
    RunSteps(*c, UpToData(dc.helo));
    // The terminator is answered once; the smuggled commands of some cases
    // must not produce replies of their own, so QUIT must come next.
    RunSteps(*c, {{dc.data, kReceived}, {"QUIT\r\n", kBye}});
    auto records = HandOffCapture::Get().Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].contents, Trace(dc.helo) + dc.stored);
    EXPECT_EQ(records[0].lock, &m_listener->HandOffLock());
    c.reset();
    ASSERT_TRUE(Idle());
    // Handed off: the raw message file is gone.
    EXPECT_EQ(List(m_settings->Out()), std::vector<std::string>{});
}

static std::string ManyLines() {
    std::string body;
    for (int i = 0; i < 5000; ++i) body += "line " + std::to_string(i) + " " + std::string(i % 180, 'q') + "\r\n";
    return body;
}

INSTANTIATE_TEST_SUITE_P(
    Session, DataTest,
    ::testing::Values(
        DataCase{"CrLfDotCrLf", "Subject: hi\r\n\r\nbody\r\n.\r\n", "Subject: hi\r\n\r\nbody\r\n"},
        DataCase{"EmptyMessage", ".\r\n", ""},
        // Three bytes beginning with "." are not an end unless they are ".\r\n".
        DataCase{"DotLetterLfIsData", "first\r\n.a\nsecond\r\n.\r\n", "first\r\na\nsecond\r\n"},
        DataCase{"DotCrCrIsData", "x\r\n.\r\r\n.\r\n", "x\r\n\r\r\n"},
        // A 103-byte line whose 101st byte is ".": its last piece is ".\r\n".
        DataCase{"DotAfterHundredBytesIsData", std::string(100, 'x') + ".\r\nafter\r\n.\r\n",
                 std::string(100, 'x') + ".\r\nafter\r\n"},
        DataCase{"DotStuffing", "..leading\r\n...\r\n..\r\n.\r\n", ".leading\r\n..\r\n.\r\n"},
        DataCase{"DotStuffingAfterPieceBoundary", std::string(99, 'x') + "\r\n..dot\r\n.\r\n",
                 std::string(99, 'x') + "\r\n.dot\r\n"},
        DataCase{"DotInsideLineKept", "a.b\r\n .\r\n.\r\n", "a.b\r\n .\r\n"},
        DataCase{"DotBlankLine", ". \r\n.\r\n", " \r\n"},
        DataCase{"CrDotIsNotALineEnd", "a\r\n.\rMAIL FROM:<evil@example.net>\r\n.\r\n",
                 "a\r\n\rMAIL FROM:<evil@example.net>\r\n"},
        DataCase{"SmugglingWithDotLetter",
                 "a\r\n.x\nMAIL FROM:<evil@example.net>\r\nRCPT TO:<x@example.com>\r\nDATA\r\n.\r\n",
                 "a\r\nx\nMAIL FROM:<evil@example.net>\r\nRCPT TO:<x@example.com>\r\nDATA\r\n"},
        // Only CR LF "." CR LF ends the data: a "." line after a bare LF, or
        // "." and a bare LF, is data (its doubled dot undone like any other).
        DataCase{"LfDotCrLfIsData", "a\n.\r\nMAIL FROM:<evil@example.net>\r\nDATA\r\n.\r\n",
                 "a\n\r\nMAIL FROM:<evil@example.net>\r\nDATA\r\n"},
        DataCase{"CrDotCrIsData", "a\r.\rMAIL FROM:<evil@example.net>\r\n.\r\n", "a\r.\rMAIL FROM:<evil@example.net>\r\n"},
        DataCase{"LfDotLfIsData", "a\n.\nMAIL FROM:<evil@example.net>\r\n.\r\n", "a\n\nMAIL FROM:<evil@example.net>\r\n"},
        DataCase{"CrLfDotLfIsData", "a\r\n.\nMAIL FROM:<evil@example.net>\r\n.\r\n",
                 "a\r\n\nMAIL FROM:<evil@example.net>\r\n"},
        DataCase{"DotLfFirstLineIsData", ".\n.\r\n..\r\n.\r\n", "\n\r\n.\r\n"},
        DataCase{"LongLineOverSeveralPieces", std::string(250, 'y') + "\r\n.\r\n", std::string(250, 'y') + "\r\n"},
        DataCase{"BinaryBytes", std::string("a\0b\xe9\xff\r\n", 7) + ".\r\n", std::string("a\0b\xe9\xff\r\n", 7)},
        DataCase{"LargeMessage", ManyLines() + ".\r\n", ManyLines()},
        DataCase{"HeloWithoutArgumentGivesEmptyTraceName", "x\r\n.\r\n", "x\r\n", ""}),
    [](const ::testing::TestParamInfo<DataCase>& info) { return std::string(info.param.name); });

TEST_F(ReceptionTest, TwoMessagesOnOneConnection) {
    auto c = Connect();
    RunSteps(*c, UpToData());
    RunSteps(*c, {{"first\r\n.\r\n", kReceived},
                  {"MAIL FROM:<b@example.org>\r\n", Ok("FROM:<b@example.org>")},
                  {"RCPT TO:<y@example.com>\r\n", Ok("TO:<y@example.com>")},
                  {"DATA\r\n", kStartData},
                  {"second\r\n.\r\n", kReceived},
                  {"QUIT\r\n", kBye}});
    auto records = HandOffCapture::Get().Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].contents, Trace("client.example") + "first\r\n");
    EXPECT_EQ(records[1].contents, Trace("client.example") + "second\r\n");
    EXPECT_NE(records[0].path, records[1].path);
}

// Until the client has ended its data, the message exists only under a
// temporary name; a lost connection removes it and hands nothing off.
TEST_F(ReceptionTest, ConnectionLostDuringDataKeepsNothing) {
    auto c = Connect();
    RunSteps(*c, UpToData());
    ASSERT_TRUE(c->Send("Subject: partial\r\n\r\nsome of the body\r\n"));
    ASSERT_TRUE(WaitFor([this] { return !List(m_settings->Out(), "*.part").empty(); }));
    EXPECT_EQ(List(m_settings->Out(), "*.qmx"), std::vector<std::string>{});
    c.reset();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(HandOffCapture::Get().Records().size(), 0u);
    EXPECT_EQ(List(m_settings->Out()), std::vector<std::string>{});
}

// Without a hand-off (and when the hand-off fails) the raw message file
// stays in OUT under its final name for a later hand-off.
TEST_F(ReceptionTest, RawFileStaysWhenNotHandedOff) {
    for (int failing = 0; failing < 2; ++failing) {
        SCOPED_TRACE(failing ? "hand-off fails" : "no hand-off");
        m_listener->m_HandOff = failing ? &HandOffCapture::Fn : nullptr;
        HandOffCapture::Get().Reset(failing ? 1 : 0);
        auto c = Connect();
        RunSteps(*c, UpToData());
        RunSteps(*c, {{"kept\r\n.\r\n", kReceived}, {"QUIT\r\n", kBye}});
        auto names = List(m_settings->Out(), "*.qmx");
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(List(m_settings->Out()), names);
        EXPECT_EQ(ReadAll(m_settings->OutFile(names[0])), Trace("client.example") + "kept\r\n");
        plat::RemoveFile(m_settings->OutFile(names[0]).c_str());
    }
}

// A raw message file that cannot be created: the data are read to their
// end, answered with 451, nothing is handed off, and the session waits for
// the next MAIL.
TEST_F(ReceptionTest, RawFileCannotBeCreated) {
    Stop();
    Start(false);  // no OUT folder
    auto c = Connect();
    RunSteps(*c, UpToData());
    RunSteps(*c, {{"Subject: lost\r\n\r\nbody\r\n.\r\n", kLocalError},
                  {"MAIL FROM:<a@example.org>\r\n", Ok("FROM:<a@example.org>")},
                  {"RCPT TO:<x@example.com>\r\n", Ok("TO:<x@example.com>")},
                  {"DATA\r\n", kStartData},
                  {"again\r\n.\r\n", kLocalError},
                  {"QUIT\r\n", kBye}});
    EXPECT_EQ(HandOffCapture::Get().Records().size(), 0u);
    EXPECT_FALSE(plat::PathExists(m_settings->Out().c_str()));
}
