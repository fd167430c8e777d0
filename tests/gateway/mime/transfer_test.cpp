#include "gateway/mime/transfer.h"

#include <gtest/gtest.h>

#include <string>

#include "gateway/mime/md5.h"
#include "gateway/mime/part_stream.h"
#include "mime_fakes.h"
#include "platform/textfile.h"

using mime::PartStream;

namespace {

std::string Hex(const unsigned char* d, size_t n) {
    static const char k[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += k[d[i] >> 4];
        s += k[d[i] & 15];
    }
    return s;
}

std::string Md5Hex(const std::string& text) {
    mime::CMd5 md5;
    md5.Update(text.data(), text.size());
    unsigned char d[16];
    md5.Final(d);
    return Hex(d, 16);
}

std::string Md5Text(const std::string& text) {
    mime::CMd5 md5;
    md5.Update(text.data(), text.size());
    return mime::Md5Base64(md5);
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case {
        const char* input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(Md5Hex(c.input), c.digest) << c.input;
}

TEST(Md5, PiecewiseUpdatesAndBase64Form) {
    std::string text(1000, 'm');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
    mime::CMd5 md5;
    for (size_t i = 0; i < text.size(); i += 13) md5.Update(text.data() + i, std::min<size_t>(13, text.size() - i));
    unsigned char d[16];
    md5.Final(d);
    EXPECT_EQ(Hex(d, 16), Md5Hex(text));
    EXPECT_EQ(Md5Text(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(Md5Text("abc"), "kAFQmDzST7DWlj99KOF/cg==");
}

// Decodes a part through a file written in the given mode and returns the
// file's bytes.
struct Decoded {
    std::string bytes, digest;
    std::vector<std::string> warnings;
};

Decoded DecodeWith(int code, const std::string& input, const char* mode = "wb", bool dropCR = false) {
    testutil::TempDir dir;
    Decoded out;
    mimetest::CRecordingReporter reporter;
    {
        plat::CTextStream file;
        EXPECT_EQ(file.Open((dir / "out").c_str(), mode), 0);
        PartStream s(input.data(), input.size());
        mime::DecodeBody(s, file, code, &out.digest, dropCR, reporter);
    }
    out.bytes = testutil::ReadAll(dir / "out");
    out.warnings = reporter.warnings;
    return out;
}

TEST(Transfer, CopyDigestsCanonicalLineEnds) {
    Decoded d = DecodeWith(mime::kEncodingNone, "a\nb");
    EXPECT_EQ(d.bytes, "a\nb");
    EXPECT_EQ(d.digest, Md5Text("a\r\nb"));
    EXPECT_EQ(DecodeWith(mime::kEncodingNone, "").digest, "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(DecodeWith(mime::kEncodingNone, "x\ny\n", "w").bytes, "x\r\ny\r\n");
}

TEST(Transfer, QuotedPrintable) {
    struct Case {
        const char* input;
        std::string output;
        std::string digested;
    } cases[] = {
        {"caf=E9 ok", "caf\xE9 ok", "caf\xE9 ok"},
        {"soft=\nbreak\n", "softbreak\n", "softbreak\r\n"},
        {"cr=0D=0Alf", "cr\nlf", "cr\r\nlf"},
        {"bad=ZZ!", "bad\xFF!", "bad\xFF!"},
        {"lo=4z", "lo\x7F", "lo\x7F"},
        {"sp= \nnext", "sp\xFFnext", "sp\xFFnext"},
        {"end=", "end", "end"},
        {"end=4", "end", "end"},
        {"==3D", "\xF3" "D", "\xF3" "D"},
    };
    for (const Case& c : cases) {
        Decoded d = DecodeWith(mime::kEncodingQuotedPrintable, c.input);
        EXPECT_EQ(d.bytes, c.output) << c.input;
        EXPECT_EQ(d.digest, Md5Text(c.digested)) << c.input;
    }
}

TEST(Transfer, Base64) {
    struct Case {
        const char* input;
        std::string output;
        bool premature;
    } cases[] = {
        {"aGVsbG8gd29ybGQ=\n", "hello world", false},
        {"aGVs\nbG8g\r\nd2 9y bGQ=", "hello world", false},
        {"YQ==\nthis is ignored after padding\n", "a", false},
        {"YWI=YWJj", "ab", false},
        {"YWJjZGVm\nYW", "abcdef", true},
        {"YWJj*Z*G*V*m", "abcdef", false},
        {"=abc", "", false},
        {"", "", false},
    };
    for (const Case& c : cases) {
        Decoded d = DecodeWith(mime::kEncodingBase64, c.input);
        EXPECT_EQ(d.bytes, c.output) << c.input;
        EXPECT_EQ(d.warnings.size(), c.premature ? 1u : 0u) << c.input;
        if (c.premature) {
            EXPECT_EQ(d.warnings[0], "Premature EOF");
        }
    }
}

TEST(Transfer, Base64AllBytesRoundTrip) {
    std::string data;
    for (int i = 0; i < 256 * 3; ++i) data += static_cast<char>(i % 256);
    static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string enc;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                     static_cast<unsigned char>(data[i + 2]);
        enc += k[v >> 18];
        enc += k[(v >> 12) & 63];
        enc += k[(v >> 6) & 63];
        enc += k[v & 63];
        if (enc.size() % 77 == 76) enc += '\n';
    }
    Decoded d = DecodeWith(mime::kEncodingBase64, enc);
    EXPECT_EQ(d.bytes, data);
    EXPECT_EQ(d.digest, Md5Text(data));
}

TEST(Transfer, Base64TextDropsCarriageReturnsButDigestsThem) {
    // "l1\r\nl2\r\n"
    Decoded d = DecodeWith(mime::kEncodingBase64, "bDENCmwyDQo=\n", "w", true);
    EXPECT_EQ(d.bytes, "l1\r\nl2\r\n") << "text mode writes the newlines as CR LF again";
    EXPECT_EQ(d.digest, Md5Text("l1\r\nl2\r\n"));
    Decoded raw = DecodeWith(mime::kEncodingBase64, "bDENCmwyDQo=\n", "wb", true);
    EXPECT_EQ(raw.bytes, "l1\nl2\n");
}

TEST(Transfer, Base64StopsAtDelimiter) {
    std::string data = "\nYWJj\nZA==\n--B\nnext part";
    PartStream s(data.data(), data.size());
    s.PushBoundary("B");
    s.ClearBoundaryHit();
    testutil::TempDir dir;
    mimetest::CRecordingReporter reporter;
    {
        plat::CTextStream file;
        ASSERT_EQ(file.Open((dir / "out").c_str(), "wb"), 0);
        mime::DecodeBase64(s, file, nullptr, false, reporter);
    }
    EXPECT_EQ(testutil::ReadAll(dir / "out"), "abcd");
    EXPECT_TRUE(reporter.warnings.empty());
    EXPECT_EQ(s.ReadDelimiter(), 0);
}

TEST(Transfer, DigestCheck) {
    std::string computed = Md5Text("abc");
    EXPECT_TRUE(mime::DigestMatches(computed, (computed + "  (comment)\n").c_str()));
    EXPECT_FALSE(mime::DigestMatches(computed, "kAFQmDzST7DWlj99KOF/cG==\n"));
    EXPECT_FALSE(mime::DigestMatches(computed, "kAFQ"));
}

}  // namespace
