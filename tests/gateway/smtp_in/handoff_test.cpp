#include "gateway/smtp_in/handoff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>

#include "gateway/smtp_in/smtp_test_util.h"

using testutil::Crlf;
using testutil::ReadAll;
using Names = std::vector<std::string>;

namespace {

// A data directory with OUT, the settings that point at it, and a raw
// message file 12.qmx.
class Handoff : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string& name : testutil::List(m_s.Out())) std::remove(Out(name).c_str());
        m_s.SetDword(qlsmtp::kValOUTIndex, 7);
        m_s.SetDword(qlsmtp::kValOUTIndexAtt, 3);
        m_s.SetDword(qlsmtp::kValFileNameUse, 0);
        m_s.SetDword(qlsmtp::kValFileNameUseAtt, 0);
    }
    std::string Out(const std::string& name) const { return m_s.OutFile(name); }
    std::string Raw(const std::string& message) {
        return testutil::WriteAll(Out("12.qmx"), Crlf(message)), Out("12.qmx");
    }
    int Translate(const std::string& message) { return TranslateReceivedMessage(m_lock, Raw(message).c_str()); }
    uint32_t Dword(const char* name) const { return m_s.GetDword(name); }
    std::string String(const char* name) const {
        plat::CRegKey key;
        char buf[300] = {};
        if (key.Open(qlsmtp::kSettingsKey, false) == 0) key.QueryString(name, buf, sizeof(buf));
        return buf;
    }
    Names OutFiles() const {
        Names names = testutil::List(m_s.Out());
        return std::erase(names, "12.qmx"), names;
    }
    bool Exists(const std::string& name) const { return plat::PathExists(Out(name).c_str()); }

    rxtest::TestSettings m_s;
    std::mutex m_lock;
};

// The files the fax server sees, the counters and the flags: a message
// without text or attachments, one with both (a digest mismatch only warns),
// and a raw file that has gone.
TEST_F(Handoff, FilesCountersAndFlags) {
    EXPECT_EQ(Translate("Received: from x\nSubject: s\nTo: a, b\nContent-Type: message/external-body\n\nnone\n"), 0);
    EXPECT_EQ(ReadAll(Out("ENV7.tmp")),
              Crlf("SUBJECT:s\nTO: a, b\nTO: a\nTO: b\n\nBEGIN BODY\n<<ENV7.bdy>>\nEND BODY\n\n"));
    EXPECT_EQ(ReadAll(Out("ENV7.bdy")), "");
    EXPECT_EQ(OutFiles(), (Names{"ENV7.bdy", "ENV7.tmp"})) << "scratch files are removed";
    EXPECT_EQ(String(qlsmtp::kValFileName), Out("ENV7"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(Translate("From: me@example.com\nSubject: fax\nCc: c@d\nContent-Type: multipart/mixed; boundary=zz\n\n"
                        "--zz\n\nPlease fax this.\n--zz\nContent-Type: application/x-tar; name=archive.tar.gz\n"
                        "Content-Transfer-Encoding: base64\nContent-MD5: AAAAAAAAAAAAAAAAAAAAAA==\n\nAAEC\n--zz\n"
                        "Content-Type: text/plain\nContent-Disposition: attachment; filename=README\n\nread me\n--zz--\n"),
              0);
    const std::string warned = testing::internal::GetCapturedStderr(), corrupted = " was corrupted in transit\n";
    EXPECT_TRUE(plat::kPathSep != '/' || warned == "qlsmtpgw: warning: " + Out("ATT3.tar") + corrupted) << warned;
    EXPECT_EQ(ReadAll(Out("ENV8.tmp")),
              Crlf("FROM:me@example.com\nSUBJECT:fax\nTO: c@d\n\nBEGIN BODY\n<<ENV8.bdy>>\nEND BODY\n\n"
                   "BEGIN ATTACH\n<<archive.tar.gz:ATT3.tar>>\n<<README:ATT4.>>\nEND ATTACH\n"));
    EXPECT_EQ(ReadAll(Out("ENV8.bdy")), "Please fax this.");
    EXPECT_EQ(ReadAll(Out("ATT3.tar")) + ReadAll(Out("ATT4.")), std::string("\0\1\2read me", 10));
    EXPECT_EQ(String(qlsmtp::kValFileNameAtt), "ATT4.");

    EXPECT_EQ(TranslateReceivedMessage(m_lock, Out("404.qmx").c_str()), 0);
    EXPECT_EQ(ReadAll(Out("ENV9.tmp")), Crlf("\nBEGIN BODY\n<<ENV9.bdy>>\nEND BODY\n\n"));
    EXPECT_EQ(Dword(qlsmtp::kValOUTIndex) * 10 + Dword(qlsmtp::kValOUTIndexAtt), 105u);
    EXPECT_EQ(Dword(qlsmtp::kValFileNameUse) + Dword(qlsmtp::kValFileNameUseAtt), 0u) << "both flags cleared";
}

// An in-use flag that another writer set (the fax server, another
// hand-off) is not this hand-off's to clear.
TEST_F(Handoff, FlagsSetByOthersStaySet) {
    m_s.SetDword(qlsmtp::kValFileNameUse, 1);
    m_s.SetDword(qlsmtp::kValFileNameUseAtt, 1);
    CHandoff handoff;
    handoff.ReleaseFileName();
    handoff.ReleaseAttFileName();
    EXPECT_EQ(Dword(qlsmtp::kValFileNameUse) + Dword(qlsmtp::kValFileNameUseAtt), 2u);
}

TEST_F(Handoff, CountersStartWrapAndSkipNamesStillInOut) {
    m_s.SetDword(qlsmtp::kValOUTIndex, 65534);
    plat::CRegKey key;
    ASSERT_EQ(key.Open(qlsmtp::kSettingsKey, false), 0);
    key.DeleteValue(qlsmtp::kValOUTIndexAtt);
    EXPECT_EQ(Translate("Content-Type: image/png; name=p.png\n\nx"), 0);
    EXPECT_TRUE(Exists("ENV65534.tmp") && Exists("ATT0.png"));
    // ENV0 is still waiting for the fax server, and so is ATT1.pdf.
    testutil::WriteAll(Out("ENV0.tmp"), "old");
    testutil::WriteAll(Out("ATT1.pdf"), "old");
    EXPECT_EQ(Translate("Content-Type: application/pdf; name=a.pdf\n\n%PDF\n"), 0);
    EXPECT_EQ(ReadAll(Out("ENV0.tmp")) + ReadAll(Out("ATT1.pdf")), "oldold");
    EXPECT_TRUE(Exists("ENV1.tmp"));
    EXPECT_EQ(ReadAll(Out("ATT2.pdf")), "%PDF\r\n");
    EXPECT_EQ(Dword(qlsmtp::kValOUTIndex) * 10 + Dword(qlsmtp::kValOUTIndexAtt), 23u);
}

// Holds the envelope name, then the attachment name busy for a while, as
// the fax server may; or fails to make the attachment list.
struct CTestHandoff : CHandoff {
    CTestHandoff(rxtest::TestSettings& s, bool failList = false) : m_s(s), m_failList(failList) {}
    void Pause(uint32_t ms) override {
        pauses.push_back(ms);
        if (pauses.size() == 2) m_s.SetDword(qlsmtp::kValFileNameUse, 0);
        if (pauses.size() == 3) m_s.SetDword(qlsmtp::kValFileNameUseAtt, 0);
    }
    int GetAttchFileName(std::string* path) override {
        return ++lists, m_failList ? 5 : CHandoff::GetAttchFileName(path);
    }
    std::vector<uint32_t> pauses;
    int lists = 0;
    rxtest::TestSettings& m_s;
    bool m_failList;
};

TEST_F(Handoff, WaitsWhileANameIsInUse) {
    m_s.SetDword(qlsmtp::kValFileNameUse, 1);
    m_s.SetDword(qlsmtp::kValFileNameUseAtt, 1);
    CTestHandoff handoff(m_s);
    EXPECT_EQ(handoff.Translate(Raw("Content-Type: image/png; name=p.png\n\nx").c_str()), 0);
    EXPECT_EQ(handoff.pauses, (std::vector<uint32_t>{25000, 25000, 25000}));
    EXPECT_EQ(OutFiles(), (Names{"ATT3.png", "ENV7.bdy", "ENV7.tmp"}));
}

TEST_F(Handoff, AttachmentListIsMadeByTheFirstAttachmentOnly) {
    const std::string two =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: image/png; name=a.png\n\nx\n"
        "--b\nContent-Type: image/png; name=b.png\n\ny\n--b--\n";
    struct Case {
        std::string message;
        bool fail;
        int result, lists;
        Names files;
    } cases[] = {
        {"\nbody\n", false, 0, 0, {"ENV7.bdy", "ENV7.tmp"}},
        {two, false, 0, 1, {"ATT3.png", "ATT4.png", "ENV7.bdy", "ENV7.tmp"}},
        // Nowhere to list the attachment: nothing is handed off, the raw
        // file stays for the next start, the fax server's flag stays set.
        {two, true, 2, 1, {}},
    };
    for (const Case& c : cases) {
        SetUp();
        m_s.SetDword(qlsmtp::kValFileNameUseAtt, c.fail ? 1 : 0);
        CTestHandoff handoff(m_s, c.fail);
        EXPECT_EQ(handoff.Translate(Raw(c.message).c_str()), c.result) << c.message;
        EXPECT_EQ(handoff.lists, c.lists) << c.message;
        EXPECT_EQ(OutFiles(), c.files) << c.message;
        EXPECT_EQ(Dword(qlsmtp::kValFileNameUse) * 10 + Dword(qlsmtp::kValFileNameUseAtt), c.fail ? 1u : 0u);
    }
    EXPECT_EQ(ReadAll(Out("12.qmx")), Crlf(two));
}

// The fragments of a partial message go only once the message that joined
// them is handed off: a failed attempt joins them again.
TEST_F(Handoff, JoinedFragmentsStayUntilHandedOff) {
    testutil::TempDir tmp;
    testutil::ScopedEnv useTmp("TMP", tmp.path().c_str());
    const std::string head = "Subject: part\nContent-Type: message/partial; id=p1; total=2; number=";
    EXPECT_EQ(Translate(head + "1\n\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                               "Content-Type: image/png; name=a.png\n\nxy\n"),
              0);
    const std::string second = head + "2\n\nz\n--b--\n";
    CTestHandoff failing(m_s, true);
    EXPECT_EQ(failing.Translate(Raw(second).c_str()), 2);
    EXPECT_EQ(Translate(second), 0);
    EXPECT_EQ(ReadAll(Out("ATT3.png")), "xy\r\nz") << "joined again by the second attempt";
    EXPECT_EQ(testutil::List(tmp.path() + plat::kPathSep + "parts"), Names{});
}

TEST_F(Handoff, FailureLeavesNothingBehindAndPathsGetTheirSeparator) {
    m_s.SetString(qlsmtp::kValProgramPath, (m_s.Data() + "missing" + plat::kPathSep).c_str());
    EXPECT_EQ(Translate("\nbody\n"), 1);
    EXPECT_EQ(Dword(qlsmtp::kValOUTIndex), 7u);
    EXPECT_EQ(OutFiles(), Names{});

    std::string bare = m_s.Data().substr(0, m_s.Data().size() - 1);
    m_s.SetString(qlsmtp::kValProgramPath, bare.c_str());
    plat::MakeDirectory((bare + "OUT").c_str());
    EXPECT_EQ(Translate("\nbody\n"), 0);
    EXPECT_TRUE(Exists("ENV7.tmp")) << "the envelope path gets its separator";
    EXPECT_EQ(ReadAll(bare + "OUT" + plat::kPathSep + "ENV7.bdy"), "body\r\n");
    testutil::RemoveTree(bare + "OUT");
}

// What a crash left of a hand-off is ended from its record: completed once
// the final envelope name is recorded (whether or not the envelope already
// has it, or the fax server took it), else undone, the raw file kept.
TEST_F(Handoff, InterruptedHandoffIsCompletedOrUndone) {
    const Names partial = {"ENV7", "ENV7.bdy", "ATT3.pdf"};
    const Names committed = {"ENV7", "ENV7.bdy", "ATT3.pdf", "ENV7.tmp"};
    struct Case {
        Names record, before, after;
        RecordState state;
    } cases[] = {
        {{}, {"12.qmx"}, {"12.qmx"}, RecordState::kNone},
        {partial, {"12.qmx", "ENV7", "ATT3.pdf", "Msgcnt.imp"}, {"12.qmx", "Msgcnt.imp"}, RecordState::kUndone},
        // A line the crash cut short ("-") names a file that was never made.
        {{"ENV7", "ENV7.bdy", "ATT3.pdf", "-ATT4.pdf"}, {"12.qmx", "ENV7", "ENV7.bdy", "ATT3.pdf", "ATT4.pdf"},
         {"12.qmx", "ATT4.pdf"}, RecordState::kUndone},
        {committed, {"12.qmx", "ENV7", "ENV7.bdy", "ATT3.pdf"}, {"ATT3.pdf", "ENV7.bdy", "ENV7.tmp"},
         RecordState::kCompleted},
        {committed, {"12.qmx", "ENV7.tmp", "ENV7.bdy", "ATT3.pdf"}, {"ATT3.pdf", "ENV7.bdy", "ENV7.tmp"},
         RecordState::kCompleted},
        {committed, {"12.qmx"}, {}, RecordState::kCompleted},
        // The move to the final name cut between its link and its unlink.
        {committed, {"12.qmx", "ENV7", "ENV7.tmp"}, {"ENV7.tmp"}, RecordState::kCompleted},
        // An attachment whose name ends in ".tmp" is no commit.
        {{"ENV7", "ATT4.tmp"}, {"12.qmx", "ENV7", "ATT4.tmp"}, {"12.qmx"}, RecordState::kUndone},
        {committed, {"ENV7"}, {"ENV7.tmp"}, RecordState::kCompleted},
    };
    const std::string raw = Out("12.qmx");
    for (const Case& c : cases) {
        SetUp();
        for (const std::string& name : c.before) testutil::WriteAll(Out(name), name);
        std::string record;
        for (const std::string& line : c.record)
            record += line[0] == '-' ? Out(line.substr(1)) : Out(line) + "\n";
        if (!record.empty()) testutil::WriteAll(HandoffRecordPath(raw.c_str()), record);
        EXPECT_EQ(ResolveHandoffRecord(raw.c_str()), c.state) << record;
        EXPECT_EQ(testutil::List(m_s.Out()), c.after) << record;
    }

    // Undone, then handed off again: one envelope, the names of the undone
    // attempt are free again.
    SetUp();
    testutil::WriteAll(Out("ENV7"), "SUBJECT:half");
    testutil::WriteAll(HandoffRecordPath(raw.c_str()), Out("ENV7") + "\n");
    EXPECT_EQ(Translate("Subject: whole\n\nbody\n"), 0);
    EXPECT_EQ(testutil::List(m_s.Out()), (Names{"ENV7.bdy", "ENV7.tmp"}));
}

// The attachment flag is cleared only when the gateway's own interrupted
// hand-off set it.
TEST_F(Handoff, AttachmentFlagLeftByACrashIsCleared) {
    for (const char* name : {"ATT2.pdf", "ATT3.pdf"}) {
        testutil::WriteAll(HandoffRecordPath(Out("12.qmx").c_str()), Out("ENV7") + "\n" + Out("ATT3.pdf") + "\n");
        m_s.SetDword(qlsmtp::kValFileNameUseAtt, 1);
        m_s.SetString(qlsmtp::kValFileNameAtt, name);
        RecoverHandoffs(m_s.Out());
        EXPECT_EQ(Dword(qlsmtp::kValFileNameUseAtt), std::string(name) == "ATT3.pdf" ? 0u : 1u) << name;
    }
}

TEST(MakeUniqueFileName, ArgumentsAndCollisions) {
    testutil::TempDir dir;
    std::string folder = dir.path() + plat::kPathSep, name;
    EXPECT_EQ(MakeUniqueFileName("ATT", "imp", folder.c_str(), &name), 1);
    EXPECT_EQ(MakeUniqueFileName("ATTC", "imp", dir.path().c_str(), &name), 5);
    EXPECT_EQ(MakeUniqueFileName("ATTC", "imp", (folder + "none" + plat::kPathSep).c_str(), &name), 3);
    EXPECT_EQ(MakeUniqueFileName("ATTC", "imp", folder.c_str(), &name), 0);
    EXPECT_EQ(name, "~ATTC000.imp");
    testutil::WriteAll(folder + "~ATTC001.other", "");
    testutil::WriteAll(folder + "~ATTC002", "");
    EXPECT_EQ(MakeUniqueFileName("ATTC", "imp", folder.c_str(), &name), 0);
    EXPECT_EQ(name, "~ATTC003.imp") << "a stem with any extension is taken";
    for (int i = 4; i < 40; ++i) testutil::WriteAll(folder + "~ATTC0" + (i < 10 ? "0" : "") + std::to_string(i), "");
    EXPECT_EQ(MakeUniqueFileName("ATTC", "imp", folder.c_str(), &name), 0);
    EXPECT_TRUE(name.size() == 12 && std::stoi(name.substr(5, 3)) >= 40) << name;
}

}  // namespace
