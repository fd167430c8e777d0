// Golden files: golden/<case>.eml in (or <case>.1.eml, <case>.2.eml, ...
// decoded in turn as separate mails), golden/<case>.expected out: the listing
// of the sink calls. Every case is decoded again with stream buffers of other
// sizes, so that refills fall elsewhere; the listing must stay the same.
// QLSMTP_REGENERATE=1 rewrites the expected files from the decoder's output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "gateway/mime/decoder.h"
#include "test_util.h"
#include "tests/support/memory_fragments.h"
#include "tests/support/memory_sink.h"

namespace {

std::string GoldenDir() {
    std::string file = __FILE__;
    if (plat::kPathSep == '\\' && file[0] == '/') file = "Z:" + file;  // under Wine, the build machine's root
    return file.substr(0, file.find_last_of("/\\") + 1) + "golden" + plat::kPathSep;
}

// The raw message file as the hand-off reads it, in text mode.
std::string TextMode(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i)
        if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') out += raw[i];
    return out;
}

// Fragments in files below a scratch TMP, or in memory as the fuzz target
// keeps them.
std::string Decode(const std::vector<std::string>& mails, int bufferSize, bool fragmentsInMemory = false) {
    testutil::TempDir tmp;  // the message/partial store
    testutil::ScopedEnv useTmp("TMP", tmp.path().c_str());
    testsupport::CMemorySink sink;
    testsupport::CMemoryFragments memory;
    mime::CMimeDecoder decoder(sink.Callbacks(), fragmentsInMemory ? &memory : nullptr);
    for (const std::string& mail : mails) {
        mime::PartStream stream(mail.data(), mail.size(), bufferSize);
        sink.listing += "result " + std::to_string(decoder.DecodeMessage(stream, "text/plain", 0)) + "\n";
    }
    return sink.listing;
}

TEST(Golden, Messages) {
    const std::string dir = GoldenDir();
    std::map<std::string, std::vector<std::string>> cases;
    for (const std::string& name : testutil::List(dir, "*.eml"))
        cases[name.substr(0, name.find('.'))].push_back(TextMode(testutil::ReadAll(dir + name)));
    ASSERT_GE(cases.size(), 10u) << dir;
    const bool regenerate = std::getenv("QLSMTP_REGENERATE") != nullptr;
    for (const auto& [name, mails] : cases) {
        const std::string listing = Decode(mails, mime::kInitialStreamBuffer);
        const std::string expected = dir + name + ".expected";
        if (regenerate) testutil::WriteAll(expected, listing);
        EXPECT_EQ(listing, testutil::ReadAll(expected)) << name;
        for (int size : {mime::kMinStreamBuffer, 74, 101, 256, 1000, 4099})
            EXPECT_EQ(Decode(mails, size), listing) << name << " with a buffer of " << size;
        EXPECT_EQ(Decode(mails, mime::kInitialStreamBuffer, true), listing) << name << " with fragments in memory";
    }
}

// A part the sink cannot take is skipped; decoding goes on after it.
// A header block is bounded; the rest of the headers is read as body.
TEST(Decoder, RefusedOutputIsSkippedAndHeaderBlockBounded) {
    std::string mail = "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b\nSubject: s\n";
    while (mail.size() < 3 * mime::kMaxHeaderBlock) mail += "X-Filler: " + std::string(200, 'f') + "\n";
    testsupport::CMemorySink sink(false);
    sink.refuseOutputs = true;
    mime::CMimeDecoder decoder(sink.Callbacks());
    mime::PartStream stream(mail.data(), mail.size());
    EXPECT_EQ(decoder.DecodeMessage(stream, "text/plain", 0), 0);
    EXPECT_LE(decoder.HeaderLength(), mime::kMaxHeaderBlock);
    EXPECT_EQ(sink.warnings, std::vector<std::string>{"header block too long; reading the rest as body"});
    EXPECT_EQ(sink.body, "");
}

// A message/partial store that is a link is refused with an event; only the
// fragment is lost.
TEST(Decoder, FragmentStoreThatIsALinkIsRefused) {
    testutil::TempDir tmp, elsewhere;
    testutil::ScopedEnv useTmp("TMP", tmp.path().c_str());
    std::error_code ec;
    std::filesystem::create_directory_symlink(elsewhere.path(), tmp.path() + plat::kPathSep + "parts", ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    testsupport::CMemorySink sink;
    mime::CMimeDecoder decoder(sink.Callbacks());
    const std::string mail = "Subject: s\nContent-Type: message/partial; id=a; number=1; total=2\n\nx\n";
    mime::PartStream stream(mail.data(), mail.size());
    EXPECT_EQ(decoder.DecodeMessage(stream, "text/plain", 0), 1);
    EXPECT_NE(sink.listing.find("refused " + tmp.path()), std::string::npos) << sink.listing;
    std::filesystem::remove(tmp.path() + plat::kPathSep + "parts");
    EXPECT_TRUE(testutil::List(elsewhere.path()).empty());
}

}  // namespace
