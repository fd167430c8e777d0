#include <gtest/gtest.h>

#include <string>

#include "mime_fakes.h"

using mime::ParamList;
using mime::PartStream;
using mimetest::CDecodeRun;
using testutil::Crlf;

namespace {

struct Fields {
    std::string type, md5, rest;  // rest: what the stream delivers after the block
    int encoding = -1;
};

Fields ReadHeaders(CDecodeRun& run, const std::string& text) {
    PartStream s(text.data(), text.size());
    mime::HeaderFields f;
    run.decoder.ReadHeaderBlock(s, &f);
    auto field = [](const char* v) {
        if (!v) return std::string("<none>");
        std::string s(v);
        return s.substr(0, s.find('\n'));
    };
    Fields out{field(f.contentType), field(f.md5), "", f.encoding};
    for (int c; (c = s.StreamGetByte()) >= 0;) out.rest += static_cast<char>(c);
    return out;
}

TEST(HeaderBlock, FieldsAndWhereTheBlockEnds) {
    struct Case {
        std::string headers;
        const char* type;
        std::string rest;
        int encoding = -1;  // -1: not checked
        const char* md5 = "<none>";
        size_t length = 0;  // HeaderLength(); 0: not checked
    } cases[] = {
        // Field names count only in their exact form, any case.
        {"Content-Type: image/gif\n\n", "image/gif", ""},
        {"cONTENT-tYPE: image/gif\n\n", "image/gif", ""},
        {"XContent-Type: image/gif\n\n", "<none>", ""},
        {"Content-Type:image/gif\n\n", "image/gif", ""},
        {"Content-Type: (c) \n image/gif\n\n", "image/gif", ""},
        {"Content-Type: a/b\nContent-Type: c/d\n\n", "c/d", ""},
        {"Content-Type: a/b\nContent-Type:   \n\n", "a/b", ""},
        // A space before the colon, or a first line that is no header, is body.
        {"Subject: s\nContent-Type : image/gif\n\nbody\n", "<none>", "Content-Type : image/gif\n\nbody\n"},
        {" indented: x\nSubject: s\n", "<none>", " indented: x\nSubject: s\n", -1, "<none>", 1},
        {"\nSubject: body\n", "<none>", "Subject: body\n"},
        {"Content-Transfer-Encoding: base64\nContent-Type: image/png", "image/png", "", 2},
        // Long lines and continuations are read whole.
        {"X-Long: " + std::string(7000, 'v') + "\n continued\nContent-MD5: abc\n\nbody", "<none>", "body", -1, "abc",
         1 + 8 + 7000 + 1 + 11 + 17},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        Fields f = ReadHeaders(run, c.headers);
        SCOPED_TRACE(c.headers.substr(0, 60));
        EXPECT_EQ(f.type, c.type);
        EXPECT_EQ(f.rest, c.rest);
        EXPECT_EQ(f.md5, c.md5);
        if (c.encoding >= 0) {
            EXPECT_EQ(f.encoding, c.encoding);
        }
        if (c.length) {
            EXPECT_EQ(run.decoder.HeaderLength(), c.length);
        }
    }
}

TEST(HeaderBlock, GrowthIsBounded) {
    CDecodeRun run;
    std::string huge = "X-Huge: " + std::string(mime::kMaxHeaderBlock + 5000, 'h') + "\nSubject: late\n\nbody";
    Fields f = ReadHeaders(run, huge);
    EXPECT_LE(run.decoder.HeaderLength(), mime::kMaxHeaderBlock);
    ASSERT_EQ(run.reporter.warnings.size(), 1u);
    EXPECT_NE(f.rest.find("Subject: late"), std::string::npos) << "the rest is read as body";
}

TEST(HeaderParams, TransferEncodingCodes) {
    struct Case {
        const char* value;
        int code;
        bool warns;
    } cases[] = {
        {" base64\n", 2, false},         {" Base64 (comment)\n", 2, false}, {" (c) BASE64\n", 2, false},
        {" quoted-printable\n", 1, false}, {" 7bit\n", 0, false},           {" 8BIT\n", 0, false},
        {" binary\n", 0, false},         {" \n", 0, false},                 {" base64x\n", 0, true},
        {" x-uuencode\n", 0, true},      {" 7bitt\n", 0, true},             {" base64", 2, false},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        EXPECT_EQ(run.decoder.TransferEncodingCode(c.value), c.code) << c.value;
        EXPECT_EQ(run.reporter.warnings, std::vector<std::string>(c.warns, "ignoring unknown content transfer encoding\n"))
            << c.value;
    }
}

TEST(HeaderParams, ContentTypeIsCompactedAndParametersFound) {
    struct Case {
        const char* value;
        const char* type;
        const char* param;
        const char* expected;  // nullptr: not found
    } cases[] = {
        {"text / plain (a comment) ; charset = \"us-ascii\"\n", "text/plain", "charset", "us-ascii"},
        {"multipart/digest  (trailing)\n", "multipart/digest", "boundary", nullptr},
        {"Multipart/Mixed; Boundary=abc\n", "Multipart/Mixed", "boundary", "abc"},
        {"a/b; name=x (c); q=\"a;b\"\n", "a/b", "q", "a;b"},
        {"a/b; name=x (c); q=\"a;b\"\n", "a/b", "name", "x"},
        {"a/b; f=\"a\\\"b\"\n", "a/b", "f", "a\"b"},
        {"a/b; f=\"open\n", "a/b", "f", nullptr},
        {"a/b; f=\"trailing\\\"\n", "a/b", "f", nullptr},
        {"a/b; names=1; name=2\n", "a/b", "name", "2"},
        {"a/b; name =\n", "a/b", "name", nullptr},
        {"a/b;\n folded=yes\nNext: x\n", "a/b", "folded", "yes"},
        {"a/b\nX: y; name=no\n", "a/b", "name", nullptr},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        const char* type = c.value;
        ParamList params = run.decoder.SplitContentType(&type);
        EXPECT_STREQ(type, c.type) << c.value;
        EXPECT_STREQ(run.decoder.FindContentParam(params, c.param), c.expected) << c.value;
    }
    CDecodeRun run;
    const char* type = "a/b;  (only a comment)\n";
    ParamList params = run.decoder.SplitContentType(&type);
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params[0], nullptr) << "a ';' with nothing after gives an empty list";
}

TEST(HeaderParams, DispositionFileName) {
    struct Case {
        const char* value;
        const char* expected;
    } cases[] = {
        {"attachment; filename=\"a b.txt\"\n", "a b.txt"},
        {"attachment; filename = x.pdf\n", "x.pdf"},
        {"attachment (c; filename=bad); filename=good\n", "good"},
        {"inline; FILENAME(c)=y.doc (trailing)\n", "y.doc"},
        {"attachment; name=\"q\"; filename=\"esc\\\"aped\"\n", "esc\"aped"},
        {"attachment; filenamex=z\n", nullptr},
        {"attachment; filename\n", nullptr},
        {"attachment; filename=\"open\n", nullptr},
        {"attachment\nX-Other: a; filename=stolen\n", nullptr},
        {"attachment;\n filename=folded.txt\n", "folded.txt"},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        EXPECT_STREQ(run.decoder.DispositionFileName(c.value), c.expected) << c.value;
    }
}

TEST(HeaderParams, SkipBlanksAndComments) {
    EXPECT_STREQ(mime::SkipBlanksAndComments("  (a (nested) \\) ) x"), "x");
    EXPECT_STREQ(mime::SkipBlanksAndComments("\n\tx"), "x");
    EXPECT_EQ(mime::SkipBlanksAndComments("(c)\nX: y"), nullptr);
    EXPECT_EQ(mime::SkipBlanksAndComments("(open comment\nX: y"), nullptr);
    EXPECT_EQ(mime::SkipBlanksAndComments("   "), nullptr);
}

// Envelope lines as they end up in the (text mode) envelope file.
TEST(Envelope, SenderSubjectAndRecipients) {
    struct Case {
        std::string headers;
        std::string envelope;
    } cases[] = {
        {"To: " + std::string(400, 'r') + "\nSubject: s\n", "TO: " + std::string(250, 'r') + "\nSUBJECT:s\n"},
        {"From: (comment) bob@x\nSubject:   hello there\n", "FROM:bob@x\nSUBJECT:hello there\n"},
        {"From:   \nSubject:\n", ""},
        {"To: a, b\nSubject: s\n", "TO: a\nTO: b\nSUBJECT:s\n"},
        {"Subject: s\nTo: a, b\nFrom: f\n", "SUBJECT:s\nTO: a, b\nTO: a\nTO: b\nFROM:f\n"},
        {"Cc: c1,c2\nSubject: x\n", "TO: c1\nTO:c2\nSUBJECT:x\n"},
        {"Subject: s\nTo: a, b\n", "SUBJECT:s\nTO: a, b\n"},
        {"To: a\nX-Mailer: m\n", "TO: a\n"},
        {"To: a,\n b,\n c\nSubject: s\n", "TO: a\nTO:  b\nTO:  c\nSUBJECT:s\n"},
        {"To: <mailto:x>, a\n b\n c\nFrom: f\n", "TO: <mailto:x>\nTO: a  b  c \nFROM:f\n"},
        {"To: <x:y>\nCc: c\nX: 1\n", "TO: <x:y> \nTO: c\n"},
        {"To: first\nTo: <x:y>\nX: 1\n", "TO: first\n"},
        // Control characters but tab become spaces: no line break of any kind
        // reaches the envelope.
        {"Subject: hi\rTO:+15550001\nFrom: a\x01" "b\x7f\x1b" "c\td\n", "SUBJECT:hi TO:+15550001\nFROM:a b  c\td\n"},
        {"To: a\r, b\x0c\nSubject: s\n", "TO: a \nTO: b \nSUBJECT:s\n"},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        run.Decode(c.headers + "\n");
        EXPECT_EQ(run.Envelope(), c.envelope.empty() ? "<missing>" : Crlf(c.envelope)) << c.headers;
    }
}

TEST(Envelope, SubjectMarkBelongsToOneHeaderBlock) {
    CDecodeRun run;
    run.Decode(
        "Subject: outer\nContent-Type: message/rfc822\n\n"
        "To: a, b\nFrom: inner\n\nbody\n");
    EXPECT_EQ(run.Envelope(), Crlf("SUBJECT:outer\nTO: a\nTO: b\nFROM:inner\n"));
    EXPECT_EQ(run.Body(), Crlf("body\n"));
}

TEST(Dispatch, EntitiesGoWhereTheirTypeSays) {
    struct Case {
        const char* message;
        const char* body;    // "<missing>" when no text part was written
        int attachments;
        const char* listed;  // the attachment list ("<missing>" when none was written)
    } cases[] = {
        {"hello\nworld\n", "hello\r\nworld\r\n", 0, "<missing>"},
        {"Content-Type: text/plain\n\ntext\n", "text\r\n", 0, "<missing>"},
        {"Content-Type: text/plain; name=a.txt\n\ntext\n", "<missing>", 1, "<<a.txt:ATT0.txt>>\r\n"},
        {"Content-Type: text/html\nContent-Disposition: attachment; filename=p.htm\n\n<p>\n", "<missing>", 1,
         "<<p.htm:ATT0.htm>>\r\n"},
        {"Content-Type: application/octet-stream\n\nxx", "<missing>", 1, "<<:ATT0.>>\r\n"},
        {"Content-Type: message/external-body; access-type=x\n\nignored\n", "<missing>", 0, "<missing>"},
        {"Content-Type: textplain\n\nno slash\n", "no slash\r\n", 0, "<missing>"},
        {"Content-Type: message/rfc822\n\nSubject: in\n\ninner\n", "inner\r\n", 0, "<missing>"},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        EXPECT_EQ(run.Decode(c.message), 0) << c.message;
        EXPECT_EQ(run.Body(), c.body) << c.message;
        EXPECT_EQ(run.files.next, c.attachments) << c.message;
        EXPECT_EQ(run.List(), c.listed) << c.message;
        EXPECT_FALSE(run.files.inUse);
    }
}

TEST(Dispatch, EncodingOnContainersWarnsAndIsIgnored) {
    CDecodeRun run;
    run.Decode(
        "Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
        "Content-Type: multipart/mixed; boundary=b\nContent-Transfer-Encoding: quoted-printable\n\n"
        "--b\n\nx=41\n--b--\n");
    EXPECT_EQ(run.reporter.warnings,
              (std::vector<std::string>{"ignoring invalid content encoding on message/rfc822",
                                        "ignoring invalid content encoding on multipart"}));
    EXPECT_EQ(run.Body(), "x=41");
    CDecodeRun binary;
    binary.Decode("Content-Type: message/rfc822\nContent-Transfer-Encoding: binary\n\nbody\n");
    EXPECT_TRUE(binary.reporter.warnings.empty());
}

TEST(Dispatch, DeepNestingIsCutOff) {
    std::string message;
    for (int i = 0; i < 200; ++i) message += "Content-Type: message/rfc822\n\n";
    message += "deep body\n";
    CDecodeRun run;
    EXPECT_EQ(run.Decode(message), 0);
    EXPECT_EQ(run.Body(), "<missing>");
    EXPECT_EQ(run.reporter.warnings, (std::vector<std::string>{"ignoring part nested too deeply"}));

    std::string multipart;
    for (int i = 0; i < 200; ++i)
        multipart += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    multipart += "\ninnermost\n";
    CDecodeRun nested;
    EXPECT_EQ(nested.Decode(multipart), 0);
    EXPECT_EQ(nested.reporter.warnings, (std::vector<std::string>{"ignoring part nested too deeply"}));
}

}  // namespace
