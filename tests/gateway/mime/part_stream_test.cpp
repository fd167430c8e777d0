#include "gateway/mime/part_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/textfile.h"
#include "test_util.h"

using mime::PartStream;

namespace {

std::string ReadPart(PartStream& s) {
    std::string out;
    for (int c; (c = s.StreamGetByte()) >= 0;) out += static_cast<char>(c);
    return out;
}

// One step on a stream and what it must give.
struct Op {
    char op;  // 'o' open a level, 'p' read a part, 'd' ReadDelimiter, 'b' depth, 'g' one byte, 'u' push back, 's' skip
    std::string text;
    int value = 0;
};
// Opens a multipart level the way the multipart handler does.
Op Open(const std::string& boundary) { return {'o', boundary}; }
Op Part(const std::string& text) { return {'p', text}; }
Op Delim(int result) { return {'d', "", result}; }
Op Depth(int depth) { return {'b', "", depth}; }
Op Byte(int c) { return {'g', "", c}; }
Op PushBack(const std::string& text) { return {'u', text}; }
Op Skip() { return {'s', "", 0}; }

TEST(PartStream, DelimitersPushBackAndSkipping) {
    std::string boundary75(75, 'q');
    boundary75[72] = 'X';  // beyond the 70 that count
    struct {
        const char* name;
        std::string data;
        std::vector<Op> ops;
    } cases[] = {
        // The newline before a delimiter belongs to it; the reader stays at
        // the delimiter until it is read.
        {"parts and closing delimiter",
         "preamble\n--B\nfirst\nline\n--B\n\n--B--\nepilogue\n",
         {Open("B"), Part("\npreamble"), Part(""), Delim(0), Part("first\nline"), Delim(0), Part(""), Delim(1),
          Depth(0), Part("epilogue\n")}},
        {"delimiter lines with trailing text", "a\n--Bxyz\nb\n--B-- trailing\nc",
         {Open("B"), Part("\na"), Delim(0), Part("b"), Delim(1), Part("c")}},
        {"boundary cut to 70 characters", "x\n--" + std::string(70, 'q') + "different-tail\nrest",
         {Open(boundary75), Part("\nx"), Delim(0), Part("rest")}},
        {"empty boundary splits at every dash-dash line", "a\n--\nb\n-- anything\nc",
         {Open(""), Part("\na"), Delim(0), Part("b"), Delim(0), Part("c")}},
        {"outer delimiter ends the inner level", "\n--outer\n--inner\nin1\n--outer\nout2\n--outer--\n",
         {Open("outer"), Part("\n"), Delim(0), Open("inner"), Part(""), Delim(0), Part("in1"), Delim(1), Depth(1),
          Part(""), Delim(0), Part("out2"), Delim(1), Depth(0)}},
        {"end of input ends every level", "\n--a\n--b\nlast",
         {Open("a"), Part("\n"), Delim(0), Open("b"), Part(""), Delim(0), Part("last"), Byte(-1), Delim(1), Part(""),
          Delim(1), Delim(1), Byte(-1)}},
        {"skip stops at the delimiter", std::string(5000, 'z') + "\n--B\nkeep",
         {Open("B"), Skip(), Delim(0), Part("keep")}},
        // More than the room in front of the read position.
        {"push back", "abcdef",
         {Byte('a'), Byte('b'), PushBack("XY"), PushBack(std::string(3000, 'L')), Part(std::string(3000, 'L') + "XYcdef")}},
        {"push back after end of input", "abc", {Part("abc"), PushBack("abc"), Part("abc")}},
    };
    for (const auto& c : cases) {
        PartStream s(c.data.data(), c.data.size());
        for (size_t i = 0; i < c.ops.size(); ++i) {
            const Op& op = c.ops[i];
            SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(i));
            switch (op.op) {
                case 'o':
                    s.PushBoundary(op.text.c_str());
                    s.StreamPushBack("\n");
                    break;
                case 'p': EXPECT_EQ(ReadPart(s), op.text); break;
                case 'd': EXPECT_EQ(s.ReadDelimiter(), op.value); break;
                case 'b': EXPECT_EQ(s.BoundaryDepth(), op.value); break;
                case 'g': EXPECT_EQ(s.StreamGetByte(), op.value); break;
                case 'u': s.StreamPushBack(op.text.c_str()); break;
                case 's': EXPECT_EQ(s.SkipPart(), op.value); break;
            }
        }
    }
}

// The delimiter's newline as the last byte of one buffer fill, its dashes
// at the start of the next: for every offset around the fill size.
TEST(PartStream, DelimiterAcrossBufferRefill) {
    for (int shift = -80; shift <= 4; ++shift) {
        std::string body(static_cast<size_t>(mime::kInitialStreamBuffer - 1 + shift), 'x');
        for (size_t i = 50; i < body.size(); i += 77) body[i] = '\n';
        std::string data = body + "\n--boundary-text\nafter";
        PartStream s(data.data(), data.size());
        s.PushBoundary("boundary-text");
        ASSERT_EQ(ReadPart(s), body) << "shift " << shift;
        ASSERT_EQ(s.ReadDelimiter(), 0);
        ASSERT_EQ(ReadPart(s), "after");
    }
}

TEST(PartStream, DelimiterAcrossRefillFromFile) {
    testutil::TempDir dir;
    std::string body(1023, 'y');
    body[500] = '\n';
    std::string path = dir / "msg";
    testutil::WriteAll(path, body + "\r\n--zz\r\nnext\r\n");
    plat::CTextStream f;
    ASSERT_EQ(f.Open(path.c_str(), "r"), 0);
    PartStream s(&f);
    s.PushBoundary("zz");
    EXPECT_EQ(ReadPart(s), body);
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "next\n");
}

TEST(PartStream, GetLineSplitsLongLines) {
    std::string data = "0123456789\nab\nlast";
    PartStream s(data.data(), data.size());
    char buf[5];
    std::vector<std::string> pieces;
    while (s.StreamGetLine(buf, sizeof(buf))) pieces.push_back(buf);
    EXPECT_EQ(pieces, (std::vector<std::string>{"0123", "4567", "89\n", "ab\n", "last"}));
    EXPECT_EQ(s.StreamGetLine(buf, 1), nullptr);
}

}  // namespace
