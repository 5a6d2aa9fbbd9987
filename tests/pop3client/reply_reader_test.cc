// The reply readers fed with bytes: every case whole, one byte at a time and split in two at every
// position, since a server's packets may cut a reply anywhere.
#include "pop3client/reply_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace qm {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using Tokens = std::vector<std::string>;

// Feeds `input` as chunks of `first` bytes and then `rest` bytes each; each Feed gets what the
// previous one left over followed by the next chunk, as a client passes on its receive buffer.
// Returns the bytes consumed.
template <typename FeedFn>
std::size_t FeedCut(std::string_view input, std::size_t first, std::size_t rest, FeedFn feed) {
  std::size_t received = 0, consumed = 0;
  for (std::size_t step = 0; received < input.size() || step == 0; ++step) {
    received = std::min(input.size(), received + (step == 0 ? first : rest));
    const std::size_t taken = feed(input.substr(consumed, received - consumed));
    EXPECT_LE(taken, received - consumed);
    consumed += taken;
  }
  return consumed;
}

// Every way of cutting `input`: byte by byte, then whole and split once at every position.
template <typename Check>
void ForEveryCut(std::string_view input, Check check) {
  for (std::size_t at = 0; at <= input.size() + 1; ++at) {
    SCOPED_TRACE(at > input.size() ? "byte by byte" : "split at " + std::to_string(at));
    at > input.size() ? check(std::size_t{1}, std::size_t{1}) : check(at, input.size());
  }
}

TEST(ClassifyReplyTest, OnlyExactStatusWordsCount) {
  const struct {
    Tokens tokens;
    int code;
  } kCases[] = {
      {{}, kReplyNone},         {{"+OK"}, kReplyOk},        {{"+OK", "2", "320"}, kReplyOk},
      {{"+OK", ""}, kReplyOk},  {{"-ERR", "x"}, kReplyErr}, {{"."}, kReplyDot},
      {{".", ""}, kReplyOther}, {{".."}, kReplyOther},      {{"+OK."}, kReplyOther},
      {{"+ok"}, kReplyOther},   {{"+OK\r"}, kReplyOther},   {{"-ERR:"}, kReplyOther},
      {{"-err"}, kReplyOther},  {{""}, kReplyOther},        {{"", "+OK"}, kReplyOther}};
  for (const auto& c : kCases)
    EXPECT_EQ(ClassifyReply(c.tokens), c.code) << ::testing::PrintToString(c.tokens);
}

struct LineCase {
  std::string input;
  bool done;
  Tokens tokens;
  std::string leftover;  // bytes of `input` that belong to whatever follows the line
};
// The test list names a case by the letters and digits of its input.
std::string Label(const std::string& bytes) {
  std::string label;
  for (char c : bytes) {
    if (std::isalnum(static_cast<unsigned char>(c)) && label.size() < 24) label += c;
  }
  return label;
}
void PrintTo(const LineCase& c, std::ostream* os) { *os << Label(c.input); }

class ReplyLineReaderTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReplyLineReaderTest, TokenizesHoweverTheLineIsCut) {
  const LineCase& c = GetParam();
  ForEveryCut(c.input, [&c](std::size_t first, std::size_t rest) {
    CReplyLineReader reader;
    const std::size_t consumed =
        FeedCut(c.input, first, rest, [&](auto d) { return reader.Feed(d); });
    EXPECT_EQ(reader.Done(), c.done);
    EXPECT_FALSE(reader.Overflowed());
    EXPECT_EQ(reader.Tokens(), c.tokens);
    EXPECT_EQ(c.input.substr(consumed), c.leftover);
    EXPECT_TRUE(!reader.Done() || reader.Feed("+OK\r\n") == 0u);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReplyLineReaderTest,
    ::testing::Values(
        LineCase{"+OK POP3 ready <1.2@x>\r\n", true, {"+OK", "POP3", "ready", "<1.2@x>"}, ""},
        LineCase{"+OK.\r\n", true, {"+OK."}, ""}, LineCase{"\r\n", true, {}, ""},
        LineCase{"+OK  x\r\n", true, {"+OK", "", "x"}, ""}, LineCase{"+OK \r\n", true, {"+OK"}, ""},
        LineCase{"+OK  \r\n", true, {"+OK", ""}, ""}, LineCase{" +OK\r\n", true, {"", "+OK"}, ""},
        LineCase{"+OK\r\r\n", true, {"+OK\r"}, ""}, LineCase{"a\r b\r\n", true, {"a\r", "b"}, ""},
        LineCase{"\r\r\n", true, {"\r"}, ""}, LineCase{"a\n\rb\r\n", true, {"a\n\rb"}, ""},
        LineCase{"+OK\0x \0\r\n"s, true, {"+OK\0x"s, "\0"s}, ""},
        LineCase{"+OK 2\r\n1 abc\r\n", true, {"+OK", "2"}, "1 abc\r\n"},
        LineCase{"+OK\r\n\n", true, {"+OK"}, "\n"}, LineCase{"+OK 2", false, {"+OK"}, ""},
        LineCase{"+OK\r", false, {}, ""}, LineCase{"", false, {}, ""}));

const std::size_t kMax = CReplyLineReader::kMaxLineBytes;

// A line of exactly the longest length is kept (the CR LF that ends it does not count); one byte
// more abandons the line, whatever the byte is and however the line was cut: the reader swallows
// exactly that byte, leaves the rest alone and reads the next line after Reset. (A CR turns out
// to be data only when the byte after it arrives, which must stay unconsumed.)
TEST(ReplyLineReaderLimitTest, KeepsTheLongestLineAndAbandonsOneByteMore) {
  std::string tokens;
  while (tokens.size() < (1 << 20)) tokens += "ab ";
  const std::string longest = "+OK " + std::string(kMax - 4, 'a') + "\r\n";
  for (std::size_t chunk : {longest.size(), std::size_t{1000}, std::size_t{1}}) {
    CReplyLineReader reader;
    EXPECT_EQ(FeedCut(longest, chunk, chunk, [&](auto d) { return reader.Feed(d); }),
              longest.size());
    EXPECT_TRUE(reader.Done() && !reader.Overflowed());
    EXPECT_THAT(reader.Tokens(), ElementsAre("+OK", std::string(kMax - 4, 'a')));
  }
  for (const std::string& input :
       {std::string(kMax + 1, 'a') + "\r\n", std::string(kMax, 'a') + " \r\n",
        std::string(kMax, 'a') + "\rb\r\n", std::string(1 << 20, ' ') + "\r\n",
        std::string(1 << 20, '\r'), tokens}) {
    for (std::size_t chunk : {input.size(), std::size_t{4096}, std::size_t{7}, std::size_t{1}}) {
      SCOPED_TRACE(chunk);
      CReplyLineReader reader;
      EXPECT_EQ(FeedCut(input, chunk, chunk, [&](auto d) { return reader.Feed(d); }), kMax + 1);
      EXPECT_TRUE(reader.Overflowed() && !reader.Done() && reader.Tokens().empty());
      EXPECT_EQ(reader.Feed("\r\n"), 0u);
      reader.Reset();
      EXPECT_EQ(reader.Feed("-ERR\r\n"), 6u);
      EXPECT_THAT(reader.Tokens(), ElementsAre("-ERR"));
    }
  }
}

struct BodyCase {
  std::string input;
  bool done;
  std::string leftover;
  std::string text;  // when it differs from the consumed bytes
};
void PrintTo(const BodyCase& c, std::ostream* os) { *os << Label(c.input); }

class MultilineReaderTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(MultilineReaderTest, FindsTheTerminatorHoweverTheBodyIsCut) {
  const BodyCase& c = GetParam();
  ForEveryCut(c.input, [&c](std::size_t first, std::size_t rest) {
    CMultilineReader reader;
    std::string text = "kept";  // the reader appends; it never clears
    const std::size_t consumed =
        FeedCut(c.input, first, rest, [&](auto d) { return reader.Feed(d, text); });
    EXPECT_EQ(reader.Done(), c.done);
    EXPECT_EQ(c.input.substr(consumed), c.leftover);
    const std::string expected = "kept" + (c.text.empty() ? c.input.substr(0, consumed) : c.text);
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(!reader.Done() || reader.Feed(".\r\n", text) == 0u);
    reader.Reset();
    EXPECT_EQ(reader.Feed("x\r\n.\r\n", text), 6u);
    EXPECT_EQ(text, expected + "x\r\n.\r\n");
  });
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, MultilineReaderTest,
    ::testing::Values(
        BodyCase{".\r\n+OK\r\n", true, "+OK\r\n", ""}, BodyCase{"\r\n.\r\n", true, "", ""},
        BodyCase{"From: a@b\r\n\r\nbody\r\n.\r\n-ERR\r\n", true, "-ERR\r\n", ""},
        BodyCase{"..\r\nx\r\n.\r\n", true, "", ""}, BodyCase{"a\r\n..\r\n", false, "", ""},
        BodyCase{".x\r\n", false, "", ""}, BodyCase{". \r\n", false, "", ""},
        BodyCase{"a.\r\n.\r\n", true, "", ""}, BodyCase{".\r\r\n.\r\n", true, "", ""},
        BodyCase{".\rx\r\n", false, "", ""}, BodyCase{"a\n.\r\n", false, "", ""},
        BodyCase{"a\r.\r\n", false, "", ""}, BodyCase{"a\n.\n", false, "", ""},
        BodyCase{"a\r\r\n.\r\n", true, "", ""},
        BodyCase{"a\0b\r\n\0\r\n.\r\n"s, true, "", "a b\r\n \r\n.\r\n"},
        BodyCase{"\0.\r\n.\r\n"s, true, "", " .\r\n.\r\n"}, BodyCase{"\0\0"s, false, "", "  "},
        BodyCase{"x\r\n.\r\n.\r\n", true, ".\r\n", ""}, BodyCase{"line\r\n.\r", false, "", ""}));

// Only lines that name a message count, and nothing past the terminating line.
TEST(ListingTest, KeepsTheLinesThatNameAMessage) {
  EXPECT_EQ(ParseListing(".\r\n"), std::vector<ListingEntry>{});
  EXPECT_EQ(ParseListing("1 abc\r\n2 x.y-z\r\n.\r\n3 c\r\n"),
            (std::vector<ListingEntry>{{1, "abc"}, {2, "x.y-z"}}));
  EXPECT_EQ(ParseListing("3  s1 more\r\n 4 s2\r\n.\r\n"),
            (std::vector<ListingEntry>{{3, "s1"}, {4, "s2"}}));
  EXPECT_EQ(ParseListing("0 zero\r\n-1 neg\r\n1x y\r\n5\r\n6 \r\n99999999999 big\r\n7 ok\r\n.\r\n"),
            (std::vector<ListingEntry>{{7, "ok"}}));
}

TEST(CapabilityTest, NamesTheFirstWordOfALineInAnyCase) {
  const std::string body = "TOP\r\nSASL PLAIN PIPELINING\r\nuidl\r\n.\r\n";
  EXPECT_TRUE(ListsCapability(body, "UIDL"));
  EXPECT_FALSE(ListsCapability(body, "PIPELINING"));
  EXPECT_FALSE(ListsCapability("SASL\r\n.\r\nPIPELINING\r\n", "PIPELINING"));
}

}  // namespace
}  // namespace qm
