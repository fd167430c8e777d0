#include <gtest/gtest.h>

#include <string>

#include "mime_fakes.h"

using mime::ParamList;
using mime::PartStream;
using mimetest::CDecodeRun;
using mimetest::Crlf;

namespace {

struct Fields {
    std::string type, disposition, md5;
    int encoding = -1;
    std::string rest;  // what the stream delivers after the block
};

Fields ReadHeaders(CDecodeRun& run, const std::string& text) {
    PartStream s(text.data(), text.size());
    mime::HeaderFields f;
    run.decoder.ReadHeaderBlock(s, &f);
    Fields out;
    auto field = [](const char* v) {
        if (!v) return std::string("<none>");
        std::string s(v);
        return s.substr(0, s.find('\n'));
    };
    out.type = field(f.contentType);
    out.disposition = field(f.disposition);
    out.md5 = field(f.md5);
    out.encoding = f.encoding;
    int c;
    while ((c = s.StreamGetByte()) >= 0) out.rest += static_cast<char>(c);
    return out;
}

TEST(HeaderBlock, FieldNamesAreRecognisedOnlyInTheirExactForm) {
    struct Case {
        const char* headers;
        const char* type;
    } cases[] = {
        {"Content-Type: image/gif\n\n", "image/gif"},
        {"cONTENT-tYPE: image/gif\n\n", "image/gif"},
        {"XContent-Type: image/gif\n\n", "<none>"},
        {"Content-Type:image/gif\n\n", "image/gif"},
        {"Content-Type: (c) \n image/gif\n\n", "image/gif"},
        {"Content-Type: a/b\nContent-Type: c/d\n\n", "c/d"},
        {"Content-Type: a/b\nContent-Type:   \n\n", "a/b"},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        EXPECT_EQ(ReadHeaders(run, c.headers).type, c.type) << c.headers;
    }
}

TEST(HeaderBlock, SpaceBeforeColonEndsTheBlock) {
    CDecodeRun run;
    Fields f = ReadHeaders(run, "Subject: s\nContent-Type : image/gif\n\nbody\n");
    EXPECT_EQ(f.type, "<none>");
    EXPECT_EQ(f.rest, "Content-Type : image/gif\n\nbody\n");
}

TEST(HeaderBlock, FirstLineThatIsNoHeaderIsBody) {
    CDecodeRun run;
    Fields f = ReadHeaders(run, " indented: x\nSubject: s\n");
    EXPECT_EQ(run.decoder.HeaderLength(), 1u);
    EXPECT_EQ(f.rest, " indented: x\nSubject: s\n");
    f = ReadHeaders(run, "\nSubject: body\n");
    EXPECT_EQ(f.rest, "Subject: body\n") << "a leading blank line is an empty block";
}

TEST(HeaderBlock, EndOfInputEndsTheBlock) {
    CDecodeRun run;
    Fields f = ReadHeaders(run, "Content-Transfer-Encoding: base64\nContent-Type: image/png");
    EXPECT_EQ(f.type, "image/png");
    EXPECT_EQ(f.encoding, 2);
    EXPECT_EQ(f.rest, "");
}

TEST(HeaderBlock, LongLinesAndContinuationsAreReadWhole) {
    CDecodeRun run;
    std::string longValue(7000, 'v');
    Fields f = ReadHeaders(run, "X-Long: " + longValue + "\n continued\nContent-MD5: abc\n\nbody");
    EXPECT_EQ(f.md5, "abc");
    EXPECT_EQ(run.decoder.HeaderLength(), 1 + 8 + 7000 + 1 + 11 + 17);
    EXPECT_EQ(f.rest, "body");
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
        EXPECT_EQ(run.reporter.warnings.size(), c.warns ? 1u : 0u) << c.value;
        if (c.warns) {
            EXPECT_EQ(run.reporter.warnings[0], "ignoring unknown content transfer encoding\n");
        }
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
        const char* v = run.decoder.FindContentParam(params, c.param);
        if (c.expected) {
            EXPECT_STREQ(v, c.expected) << c.value;
        } else {
            EXPECT_EQ(v, nullptr) << c.value;
        }
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
        const char* v = run.decoder.DispositionFileName(c.value);
        if (c.expected) {
            EXPECT_STREQ(v, c.expected) << c.value;
        } else {
            EXPECT_EQ(v, nullptr) << c.value;
        }
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
        const char* headers;
        const char* envelope;
    } cases[] = {
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
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        run.Decode(std::string(c.headers) + "\n");
        std::string expected = *c.envelope ? Crlf(c.envelope) : "<missing>";
        EXPECT_EQ(run.Envelope(), expected) << c.headers;
    }
}

TEST(Envelope, LongRecipientIsCut) {
    CDecodeRun run;
    run.Decode("To: " + std::string(400, 'r') + "\nSubject: s\n\n");
    std::string env = run.Envelope();
    EXPECT_EQ(env.substr(0, env.find('\r')), "TO: " + std::string(250, 'r'));
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

TEST(Dispatch, StatusLineForEveryHeaderBlock) {
    CDecodeRun run;
    run.Decode("Subject: s\n\nbody\n");
    EXPECT_EQ(run.reporter.status, (std::vector<std::string>{"headers len : 12"}));
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
