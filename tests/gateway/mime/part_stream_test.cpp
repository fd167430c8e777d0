#include "gateway/mime/part_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/textfile.h"
#include "test_util.h"

using mime::PartStream;

namespace {

std::string ReadPart(PartStream& s) {
    std::string out;
    int c;
    while ((c = s.StreamGetByte()) >= 0) out += static_cast<char>(c);
    return out;
}

// Opens a multipart level the way the multipart handler does.
void Open(PartStream& s, const char* boundary) {
    s.PushBoundary(boundary);
    s.ClearBoundaryHit();
    s.StreamPushBack("\n");
}

TEST(PartStream, PartsEndAtDelimitersAndTheLastNewlineBelongsToThem) {
    std::string data = "preamble\n--B\nfirst\nline\n--B\n\n--B--\nepilogue\n";
    PartStream s(data.data(), data.size());
    Open(s, "B");
    EXPECT_EQ(ReadPart(s), "\npreamble");
    EXPECT_EQ(s.StreamGetByte(), -1) << "stays at the delimiter until it is read";
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "first\nline");
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "");
    EXPECT_EQ(s.ReadDelimiter(), 1) << "closing delimiter";
    EXPECT_EQ(s.BoundaryDepth(), 0);
    EXPECT_EQ(ReadPart(s), "epilogue\n");
}

TEST(PartStream, DelimiterLineMayCarryTrailingText) {
    std::string data = "a\n--Bxyz\nb\n--B-- trailing\nc";
    PartStream s(data.data(), data.size());
    Open(s, "B");
    EXPECT_EQ(ReadPart(s), "\na");
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "b");
    EXPECT_EQ(s.ReadDelimiter(), 1);
    EXPECT_EQ(ReadPart(s), "c");
}

TEST(PartStream, LongBoundaryIsCutTo70Characters) {
    std::string boundary(75, 'q');
    boundary[72] = 'X';  // beyond the 70 that count
    std::string data = "x\n--" + std::string(70, 'q') + "different-tail\nrest";
    PartStream s(data.data(), data.size());
    Open(s, boundary.c_str());
    EXPECT_EQ(ReadPart(s), "\nx");
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "rest");
}

TEST(PartStream, OuterDelimiterEndsInnerLevel) {
    std::string data = "\n--outer\n--inner\nin1\n--outer\nout2\n--outer--\n";
    PartStream s(data.data(), data.size());
    Open(s, "outer");
    EXPECT_EQ(ReadPart(s), "\n");
    EXPECT_EQ(s.ReadDelimiter(), 0);
    Open(s, "inner");
    EXPECT_EQ(ReadPart(s), "") << "delimiter on the first line";
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "in1");
    EXPECT_EQ(s.ReadDelimiter(), 1) << "the outer delimiter closes the inner level";
    EXPECT_EQ(s.BoundaryDepth(), 1);
    EXPECT_EQ(ReadPart(s), "") << "epilogue of the inner level is empty";
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "out2");
    EXPECT_EQ(s.ReadDelimiter(), 1);
    EXPECT_EQ(s.BoundaryDepth(), 0);
}

TEST(PartStream, EndOfInputEndsEveryLevel) {
    std::string data = "\n--a\n--b\nlast";
    PartStream s(data.data(), data.size());
    Open(s, "a");
    ReadPart(s);
    ASSERT_EQ(s.ReadDelimiter(), 0);
    Open(s, "b");
    ReadPart(s);
    ASSERT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "last");
    EXPECT_EQ(s.StreamGetByte(), -1);
    EXPECT_EQ(s.ReadDelimiter(), 1);
    EXPECT_EQ(ReadPart(s), "");
    EXPECT_EQ(s.ReadDelimiter(), 1);
    EXPECT_EQ(s.ReadDelimiter(), 1);
    EXPECT_EQ(s.StreamGetByte(), -1);
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
        s.ClearBoundaryHit();
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
    s.ClearBoundaryHit();
    EXPECT_EQ(ReadPart(s), body);
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "next\n");
}

TEST(PartStream, PushBackIsReadBeforeTheRest) {
    std::string data = "abcdef";
    PartStream s(data.data(), data.size());
    EXPECT_EQ(s.StreamGetByte(), 'a');
    EXPECT_EQ(s.StreamGetByte(), 'b');
    s.StreamPushBack("XY");  // more than the room in front of the read position
    std::string big(3000, 'L');
    s.StreamPushBack(big.c_str());
    EXPECT_EQ(ReadPart(s), big + "XYcdef");
}

TEST(PartStream, PushBackAfterEndOfInput) {
    std::string data = "abc";
    PartStream s(data.data(), data.size());
    EXPECT_EQ(ReadPart(s), "abc");
    s.StreamPushBack("abc");
    EXPECT_EQ(ReadPart(s), "abc");
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

TEST(PartStream, EmptyBoundarySplitsAtEveryDashDashLine) {
    std::string data = "a\n--\nb\n-- anything\nc";
    PartStream s(data.data(), data.size());
    Open(s, "");
    EXPECT_EQ(ReadPart(s), "\na");
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "b");
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "c");
}

TEST(PartStream, SkipPartStopsAtDelimiter) {
    std::string data = std::string(5000, 'z') + "\n--B\nkeep";
    PartStream s(data.data(), data.size());
    Open(s, "B");
    EXPECT_EQ(s.SkipPart(), 0);
    EXPECT_EQ(s.ReadDelimiter(), 0);
    EXPECT_EQ(ReadPart(s), "keep");
}

}  // namespace
