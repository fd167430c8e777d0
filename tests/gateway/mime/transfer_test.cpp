#include "gateway/mime/transfer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "gateway/mime/md5.h"
#include "gateway/mime/part_stream.h"
#include "gateway/smtp_out/compose.h"
#include "mime_fakes.h"
#include "platform/textfile.h"

using mime::PartStream;

namespace {

// The digest in hex, fed to the digest in pieces of the given size.
std::string Md5Hex(const std::string& text, size_t piece) {
    mime::CMd5 md5;
    for (size_t i = 0; i < text.size(); i += piece) md5.Update(text.data() + i, std::min(piece, text.size() - i));
    unsigned char d[16];
    md5.Final(d);
    std::string hex;
    for (unsigned char b : d) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

std::string Md5Text(const std::string& text) {
    mime::CMd5 md5;
    md5.Update(text.data(), text.size());
    return mime::Md5Base64(md5);
}

TEST(Md5, Rfc1321TestSuiteWholeAndInPieces) {
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
    for (const Case& c : cases) {
        EXPECT_EQ(Md5Hex(c.input, 1000), c.digest) << c.input;
        EXPECT_EQ(Md5Hex(c.input, 7), c.digest) << c.input;
    }
    std::string text(1000, 'm');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
    EXPECT_EQ(Md5Hex(text, 13), Md5Hex(text, 1000));
}

// Decodes a part through a file written in the given mode and returns the
// file's bytes. With a boundary the part ends at its delimiter, which must
// then be next.
struct Decoded {
    std::string bytes, digest;
    std::vector<std::string> warnings;
};

Decoded DecodeWith(int code, const std::string& input, const char* mode = "wb", bool dropCR = false,
                   const char* boundary = nullptr) {
    testutil::TempDir dir;
    Decoded out;
    mimetest::CRecordingReporter reporter;
    {
        plat::CTextStream file;
        EXPECT_EQ(file.Open((dir / "out").c_str(), mode), 0);
        PartStream s(input.data(), input.size());
        if (boundary) s.PushBoundary(boundary);
        mime::DecodeBody(s, file, code, &out.digest, dropCR, reporter);
        if (boundary) {
            EXPECT_EQ(s.ReadDelimiter(), 0) << input;
        }
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
        bool premature = false;
        const char* boundary = nullptr;
    } cases[] = {
        {"aGVsbG8gd29ybGQ=\n", "hello world"},
        {"aGVs\nbG8g\r\nd2 9y bGQ=", "hello world"},
        {"YQ==\nthis is ignored after padding\n", "a"},
        {"YWI=YWJj", "ab"},
        {"YWJjZGVm\nYW", "abcdef", true},
        {"YWJj*Z*G*V*m", "abcdef"},
        {"=abc", ""},
        {"", ""},
        {"\nYWJj\nZA==\n--B\nnext part", "abcd", false, "B"},
    };
    for (const Case& c : cases) {
        Decoded d = DecodeWith(mime::kEncodingBase64, c.input, "wb", false, c.boundary);
        EXPECT_EQ(d.bytes, c.output) << c.input;
        EXPECT_EQ(d.warnings, std::vector<std::string>(c.premature, "Premature EOF")) << c.input;
    }
}

// The decoder against the sending side's encoder, over every byte value and
// across both sides' read and write blocks.
TEST(Transfer, Base64RoundTripWithTheEncoder) {
    std::mt19937 rng(7);
    std::string data(54 * 1024 * 3 + 17, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    testutil::TempDir dir;
    testutil::WriteAll(dir / "in", data);
    {
        plat::CTextStream in, out;
        ASSERT_EQ(in.Open((dir / "in").c_str(), "rb"), 0);
        ASSERT_EQ(out.Open((dir / "b64").c_str(), "w"), 0);
        EncodeBase64(in, out);
    }
    std::string text = testutil::ReadAll(dir / "b64");
    size_t lines = 0, start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2, ++lines)
        if (at + 2 < text.size()) {
            ASSERT_EQ(at - start, 72u) << lines;
        }
    EXPECT_EQ(start, text.size());
    EXPECT_EQ(lines, (data.size() + 53) / 54);
    Decoded d = DecodeWith(mime::kEncodingBase64, text);
    EXPECT_TRUE(d.bytes == data);
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

TEST(Transfer, DigestCheck) {
    EXPECT_EQ(Md5Text(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(Md5Text("abc"), "kAFQmDzST7DWlj99KOF/cg==");
    std::string computed = Md5Text("abc");
    EXPECT_TRUE(mime::DigestMatches(computed, (computed + "  (comment)\n").c_str()));
    EXPECT_FALSE(mime::DigestMatches(computed, "kAFQmDzST7DWlj99KOF/cG==\n"));
    EXPECT_FALSE(mime::DigestMatches(computed, "kAFQ"));
}

}  // namespace
