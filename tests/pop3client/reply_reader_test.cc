// The reply readers fed with bytes: every case whole, one byte at a time and split in two at every
// position, since a server's packets may cut a reply anywhere.
#include "pop3client/reply_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Tokens = std::vector<std::string>;

// How a case is cut into chunks: sizes in order, the last one repeated until the input runs out.
struct Cut {
  std::string name;
  std::vector<std::size_t> sizes;
};

std::vector<Cut> CutsOf(std::size_t length) {
  std::vector<Cut> cuts = {{"whole", {length}}, {"byte by byte", {1}}};
  for (std::size_t at = 0; at <= length; ++at) {
    cuts.push_back({"split at " + std::to_string(at), {at, length}});
  }
  return cuts;
}

// Feeds `input` cut as `cut` says; each Feed gets what the previous one left over followed by
// the next chunk, as a client passes on its receive buffer. Returns the bytes consumed.
template <typename FeedFn>
std::size_t FeedCut(std::string_view input, const Cut& cut, FeedFn feed) {
  std::size_t received = 0;
  std::size_t consumed = 0;
  for (std::size_t step = 0; received < input.size() || step == 0; ++step) {
    const std::size_t size = cut.sizes[std::min(step, cut.sizes.size() - 1)];
    received = std::min(input.size(), received + size);
    const std::string_view pending = input.substr(consumed, received - consumed);
    const std::size_t taken = feed(pending);
    EXPECT_LE(taken, pending.size());
    consumed += taken;
  }
  return consumed;
}

// ---------------------------------------------------------------------------------------------
// ClassifyReply

struct ClassifyCase {
  Tokens tokens;
  int code;
};

class ClassifyReplyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyReplyTest, GivesTheCodeOfTheFirstToken) {
  EXPECT_EQ(ClassifyReply(GetParam().tokens), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ClassifyReplyTest,
    ::testing::Values(ClassifyCase{{}, kReplyNone}, ClassifyCase{{"+OK"}, kReplyOk},
                      ClassifyCase{{"+OK", "2", "320"}, kReplyOk},
                      ClassifyCase{{"+OK", ""}, kReplyOk}, ClassifyCase{{"-ERR"}, kReplyErr},
                      ClassifyCase{{"-ERR", "no", "such", "message"}, kReplyErr},
                      ClassifyCase{{"."}, kReplyDot}, ClassifyCase{{".", ""}, kReplyOther},
                      ClassifyCase{{".", "x"}, kReplyOther}, ClassifyCase{{".."}, kReplyOther},
                      ClassifyCase{{"+OK."}, kReplyOther}, ClassifyCase{{"+ok"}, kReplyOther},
                      ClassifyCase{{"+OK\r"}, kReplyOther}, ClassifyCase{{"-ERR:"}, kReplyOther},
                      ClassifyCase{{"-err"}, kReplyOther}, ClassifyCase{{""}, kReplyOther},
                      ClassifyCase{{"", "+OK"}, kReplyOther},
                      ClassifyCase{{"1", "abc"}, kReplyOther}));

// ---------------------------------------------------------------------------------------------
// CReplyLineReader

struct LineCase {
  std::string name;
  std::string input;
  bool done;
  Tokens tokens;
  std::string leftover;  // bytes of `input` that belong to whatever follows the line
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class ReplyLineReaderTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReplyLineReaderTest, TokenizesHoweverTheLineIsCut) {
  const LineCase& c = GetParam();
  for (const Cut& cut : CutsOf(c.input.size())) {
    SCOPED_TRACE(cut.name);
    CReplyLineReader reader;
    const std::size_t consumed =
        FeedCut(c.input, cut, [&reader](std::string_view data) { return reader.Feed(data); });
    EXPECT_EQ(reader.Done(), c.done);
    EXPECT_FALSE(reader.Overflowed());
    EXPECT_EQ(reader.Tokens(), c.tokens);
    EXPECT_EQ(c.input.substr(consumed), c.leftover);
    if (reader.Done()) {
      EXPECT_EQ(reader.Feed("+OK\r\n"), 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReplyLineReaderTest,
    ::testing::Values(
        LineCase{"greeting_alone", "+OK\r\n", true, {"+OK"}, ""},
        LineCase{"greeting_with_text",
                 "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n",
                 true,
                 {"+OK", "POP3", "ready", "<1896.697170952@dbc.mtview.ca.us>"},
                 ""},
        LineCase{"stat", "+OK 2 320\r\n", true, {"+OK", "2", "320"}, ""},
        LineCase{"ok_with_dot_is_one_token", "+OK.\r\n", true, {"+OK."}, ""},
        LineCase{"error", "-ERR no such message\r\n", true, {"-ERR", "no", "such", "message"}, ""},
        LineCase{"dot", ".\r\n", true, {"."}, ""},
        LineCase{"stuffed_dot", "..\r\n", true, {".."}, ""},
        LineCase{"empty_line", "\r\n", true, {}, ""},
        LineCase{"two_blanks_give_an_empty_token", "+OK  x\r\n", true, {"+OK", "", "x"}, ""},
        LineCase{"trailing_blank_leaves_no_token", "+OK \r\n", true, {"+OK"}, ""},
        LineCase{"two_trailing_blanks", "+OK  \r\n", true, {"+OK", ""}, ""},
        LineCase{"only_a_blank", " \r\n", true, {""}, ""},
        LineCase{"leading_blank", " +OK\r\n", true, {"", "+OK"}, ""},
        LineCase{"cr_before_the_line_end_is_data", "+OK\r\r\n", true, {"+OK\r"}, ""},
        LineCase{"cr_inside_a_token", "a\rb\r\n", true, {"a\rb"}, ""},
        LineCase{"cr_before_a_blank", "a\r b\r\n", true, {"a\r", "b"}, ""},
        LineCase{"cr_alone_before_the_line_end", "\r\r\n", true, {"\r"}, ""},
        LineCase{"lone_lf_is_data", "+OK\nx\r\n", true, {"+OK\nx"}, ""},
        LineCase{"lf_cr_is_data", "a\n\rb\r\n", true, {"a\n\rb"}, ""},
        LineCase{"nul_is_data", "+OK\0x \0\r\n"s, true, {"+OK\0x"s, "\0"s}, ""},
        LineCase{"next_line_left_over", "+OK 2\r\n1 abc\r\n", true, {"+OK", "2"}, "1 abc\r\n"},
        LineCase{"body_left_over", "+OK\r\n.\r\n", true, {"+OK"}, ".\r\n"},
        LineCase{"lf_left_over", "+OK\r\n\n", true, {"+OK"}, "\n"},
        LineCase{"unfinished", "+OK 2", false, {"+OK"}, ""},
        LineCase{"unfinished_after_cr", "+OK\r", false, {}, ""},
        LineCase{"nothing", "", false, {}, ""}),
    [](const ::testing::TestParamInfo<LineCase>& c) { return c.param.name; });

// A line of exactly the longest length is kept; the CR LF that ends it does not count.
TEST(ReplyLineReaderLimitTest, KeepsTheLongestLine) {
  const std::string token(CReplyLineReader::kMaxLineBytes - 4, 'a');
  const std::string line = "+OK " + token + "\r\n";
  for (std::size_t chunk : {line.size(), std::size_t{1000}, std::size_t{1}}) {
    CReplyLineReader reader;
    std::size_t consumed = 0;
    while (consumed < line.size() && !reader.Done()) {
      consumed += reader.Feed(std::string_view(line).substr(consumed, chunk));
    }
    EXPECT_TRUE(reader.Done());
    EXPECT_FALSE(reader.Overflowed());
    EXPECT_THAT(reader.Tokens(), ElementsAre("+OK", token));
    EXPECT_EQ(consumed, line.size());
  }
}

struct OverflowCase {
  std::string name;
  std::string input;
};

void PrintTo(const OverflowCase& c, std::ostream* os) { *os << c.name; }

class ReplyLineReaderOverflowTest : public ::testing::TestWithParam<OverflowCase> {};

// One byte too many abandons the line, whatever the byte is and however the line was cut; the
// reader swallows exactly that byte and leaves the rest alone.
TEST_P(ReplyLineReaderOverflowTest, AbandonsTheLineOneByteTooLong) {
  const std::string& input = GetParam().input;
  for (std::size_t chunk : {input.size(), std::size_t{4096}, std::size_t{7}, std::size_t{1}}) {
    SCOPED_TRACE(chunk);
    CReplyLineReader reader;
    const std::size_t consumed =
        FeedCut(input, Cut{"", {chunk}}, [&reader](std::string_view d) { return reader.Feed(d); });
    EXPECT_TRUE(reader.Overflowed());
    EXPECT_FALSE(reader.Done());
    EXPECT_THAT(reader.Tokens(), IsEmpty());
    EXPECT_EQ(consumed, CReplyLineReader::kMaxLineBytes + 1);
    EXPECT_EQ(reader.Feed("\r\n"), 0u);

    reader.Reset();
    EXPECT_FALSE(reader.Overflowed());
    EXPECT_EQ(reader.Feed("-ERR\r\n"), 6u);
    EXPECT_THAT(reader.Tokens(), ElementsAre("-ERR"));
  }
}

const std::size_t kMax = CReplyLineReader::kMaxLineBytes;

INSTANTIATE_TEST_SUITE_P(
    Lines, ReplyLineReaderOverflowTest,
    ::testing::Values(OverflowCase{"one_byte_too_long", std::string(kMax + 1, 'a') + "\r\n"},
                      OverflowCase{"too_long_by_a_blank", std::string(kMax, 'a') + " \r\n"},
                      // The CR turns out to be data only when the byte after it arrives, and that
                      // byte must then stay unconsumed.
                      OverflowCase{"too_long_by_a_cr", std::string(kMax, 'a') + "\rb\r\n"},
                      OverflowCase{"megabyte_line", std::string(1 << 20, 'x') + "\r\n"},
                      OverflowCase{"megabyte_of_blanks", std::string(1 << 20, ' ') + "\r\n"},
                      OverflowCase{"megabyte_of_crs", std::string(1 << 20, '\r')},
                      OverflowCase{"megabyte_of_short_tokens",
                                   [] {
                                     std::string s;
                                     while (s.size() < (1 << 20)) s += "ab ";
                                     return s;
                                   }()}),
    [](const ::testing::TestParamInfo<OverflowCase>& c) { return c.param.name; });

TEST(ReplyLineReaderSequenceTest, ResetReadsTheNextLine) {
  const std::string stream = "+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n";
  CReplyLineReader reader;
  std::vector<Tokens> lines;
  std::size_t consumed = 0;
  while (consumed < stream.size()) {
    reader.Reset();
    consumed += reader.Feed(std::string_view(stream).substr(consumed));
    ASSERT_TRUE(reader.Done());
    lines.push_back(reader.Tokens());
  }
  EXPECT_THAT(lines, ElementsAre(Tokens{"+OK", "2", "messages"}, Tokens{"1", "120"},
                                 Tokens{"2", "200"}, Tokens{"."}));
  EXPECT_EQ(ClassifyReply(lines.back()), kReplyDot);
}

// ---------------------------------------------------------------------------------------------
// CMultilineReader

struct BodyCase {
  std::string name;
  std::string input;
  bool done;
  std::string leftover;
  std::string text;  // when it differs from the consumed bytes
};

void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }

class MultilineReaderTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(MultilineReaderTest, FindsTheTerminatorHoweverTheBodyIsCut) {
  const BodyCase& c = GetParam();
  for (const Cut& cut : CutsOf(c.input.size())) {
    SCOPED_TRACE(cut.name);
    CMultilineReader reader;
    std::string text = "kept";  // the reader appends; it never clears
    const std::size_t consumed = FeedCut(
        c.input, cut, [&reader, &text](std::string_view data) { return reader.Feed(data, text); });
    EXPECT_EQ(reader.Done(), c.done);
    EXPECT_EQ(c.input.substr(consumed), c.leftover);
    const std::string expected = c.text.empty() ? c.input.substr(0, consumed) : c.text;
    EXPECT_EQ(text, "kept" + expected);
    if (reader.Done()) {
      EXPECT_EQ(reader.Feed(".\r\n", text), 0u);
      EXPECT_EQ(text, "kept" + expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, MultilineReaderTest,
    ::testing::Values(
        BodyCase{"empty_body", ".\r\n", true, "", ""},
        BodyCase{"empty_body_then_next_reply", ".\r\n+OK\r\n", true, "+OK\r\n", ""},
        BodyCase{"one_line", "Subject: hi\r\n.\r\n", true, "", ""},
        BodyCase{"blank_line_first", "\r\n.\r\n", true, "", ""},
        BodyCase{"header_and_body", "From: a@b\r\nSubject: x\r\n\r\nbody\r\n.\r\n-ERR\r\n", true,
                 "-ERR\r\n", ""},
        BodyCase{"stuffed_dot_line_is_not_the_end", "..\r\nx\r\n.\r\n", true, "", ""},
        BodyCase{"stuffed_dot_line_alone", "..\r\n", false, "", ""},
        BodyCase{"stuffed_dot_after_a_line", "a\r\n..\r\n", false, "", ""},
        BodyCase{"dot_and_text", ".x\r\n", false, "", ""},
        BodyCase{"dot_and_blank", ". \r\n", false, "", ""},
        BodyCase{"dot_at_the_end_of_a_line", "a.\r\n", false, "", ""},
        BodyCase{"dot_at_the_end_then_terminator", "a.\r\n.\r\n", true, "", ""},
        BodyCase{"dot_cr_cr_lf", ".\r\r\n", false, "", ""},
        BodyCase{"dot_cr_cr_lf_then_terminator", ".\r\r\n.\r\n", true, "", ""},
        BodyCase{"dot_cr_then_text", ".\rx\r\n", false, "", ""},
        BodyCase{"dot_after_lone_lf", "a\n.\r\n", false, "", ""},
        BodyCase{"dot_after_lone_cr", "a\r.\r\n", false, "", ""},
        BodyCase{"dot_lf_only", ".\n", false, "", ""},
        BodyCase{"lf_only_lines", "a\n.\n", false, "", ""},
        BodyCase{"cr_cr_lf_before_terminator", "a\r\r\n.\r\n", true, "", ""},
        BodyCase{"nul_becomes_blank", "a\0b\r\n\0\r\n.\r\n"s, true, "", "a b\r\n \r\n.\r\n"},
        BodyCase{"nul_at_a_line_start", "\0.\r\n.\r\n"s, true, "", " .\r\n.\r\n"},
        BodyCase{"nuls_only", "\0\0\0"s, false, "", "   "},
        BodyCase{"terminator_then_more", "x\r\n.\r\n.\r\n", true, ".\r\n", ""},
        BodyCase{"unfinished", "line one\r\nline two", false, "", ""},
        BodyCase{"unfinished_in_terminator", "line\r\n.\r", false, "", ""}),
    [](const ::testing::TestParamInfo<BodyCase>& c) { return c.param.name; });

// A message as a server sends it: many lines of many kinds, stuffed dots, a NUL, in chunks of
// uneven sizes.
TEST(MultilineReaderBodyTest, ReadsALargeBodyInManyChunks) {
  std::string wire;
  std::string expected;
  for (int i = 0; wire.size() < (1 << 20); ++i) {
    std::string line;
    switch (i % 6) {
      case 0:
        line = "Received: from host" + std::to_string(i);
        break;
      case 1:
        line = ".. stuffed " + std::to_string(i);
        break;
      case 2:
        line = "";
        break;
      case 3:
        line = std::string(200 + i % 300, 'q') + ".";
        break;
      case 4:
        line = "a\rb\nc";
        break;
      case 5:
        line = ".\r";
        break;
    }
    wire += line + "\r\n";
  }
  wire += "nul\0here\r\n"s;
  expected = wire;
  expected[expected.size() - 7] = ' ';
  wire += ".\r\n";
  expected += ".\r\n";
  const std::string after = "+OK next\r\n";
  wire += after;

  for (std::size_t chunk :
       {std::size_t{1}, std::size_t{3}, std::size_t{1460}, std::size_t{65536}, wire.size()}) {
    SCOPED_TRACE(chunk);
    CMultilineReader reader;
    std::string text;
    std::size_t consumed = 0;
    std::size_t feeds = 0;
    while (!reader.Done() && consumed < wire.size()) {
      consumed += reader.Feed(std::string_view(wire).substr(consumed, chunk), text);
      ++feeds;
    }
    EXPECT_TRUE(reader.Done());
    EXPECT_EQ(wire.substr(consumed), after);
    EXPECT_TRUE(text == expected);  // no megabyte diff on failure
    EXPECT_GE(feeds, (wire.size() - after.size()) / chunk);
  }
}

TEST(MultilineReaderBodyTest, ResetReadsTheNextBody) {
  CMultilineReader reader;
  std::string first;
  std::string second;
  EXPECT_EQ(reader.Feed("one\r\n.\r\ntwo\r\n.\r\n", first), 8u);
  EXPECT_TRUE(reader.Done());
  reader.Reset();
  EXPECT_FALSE(reader.Done());
  EXPECT_EQ(reader.Feed("two\r\n.\r\n", second), 8u);
  EXPECT_EQ(first, "one\r\n.\r\n");
  EXPECT_EQ(second, "two\r\n.\r\n");
}

// ---------------------------------------------------------------------------------------------
// Both readers on one stream, as a client reads a RETR reply out of its receive buffer.

struct Retrieved {
  Tokens status;
  std::string body;
  bool bodyDone = false;
  std::string leftover;
};

Retrieved ReadReply(std::string_view stream, std::size_t chunk) {
  Retrieved result;
  CReplyLineReader line;
  std::size_t consumed = 0;
  while (!line.Done() && consumed < stream.size()) {
    consumed += line.Feed(stream.substr(consumed, chunk));
  }
  result.status = line.Tokens();
  if (line.Done() && ClassifyReply(line.Tokens()) == kReplyOk) {
    CMultilineReader body;
    while (!body.Done() && consumed < stream.size()) {
      consumed += body.Feed(stream.substr(consumed, chunk), result.body);
    }
    result.bodyDone = body.Done();
  }
  result.leftover = std::string(stream.substr(consumed));
  return result;
}

TEST(ReplyReadersTogetherTest, TerminatorRightAfterTheStatusLine) {
  const std::string stream = "+OK 0 octets\r\n.\r\n+OK bye\r\n";
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    const Retrieved r = ReadReply(stream, chunk);
    EXPECT_THAT(r.status, ElementsAre("+OK", "0", "octets"));
    EXPECT_TRUE(r.bodyDone);
    EXPECT_EQ(r.body, ".\r\n");
    EXPECT_EQ(r.leftover, "+OK bye\r\n");
  }
}

TEST(ReplyReadersTogetherTest, MessageAfterTheStatusLine) {
  const std::string stream = "+OK\r\nSubject: s\r\n\r\n..dot\r\n.\r\n-ERR x\r\n";
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    const Retrieved r = ReadReply(stream, chunk);
    EXPECT_THAT(r.status, ElementsAre("+OK"));
    EXPECT_TRUE(r.bodyDone);
    EXPECT_EQ(r.body, "Subject: s\r\n\r\n..dot\r\n.\r\n");
    EXPECT_EQ(r.leftover, "-ERR x\r\n");
  }
}

// "+OK." is not a positive reply, so what follows it is not read as a body.
TEST(ReplyReadersTogetherTest, NoBodyAfterALineThatIsNotPositive) {
  for (const std::string status : {"+OK.\r\n", "-ERR\r\n", "+ok\r\n"}) {
    const Retrieved r = ReadReply(status + "a\r\n.\r\n", 1);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.leftover, "a\r\n.\r\n");
  }
}

// A listing read off the wire, one byte at a time, then parsed: only lines that name a message
// count, and nothing past the terminating line.
struct ListingCase {
  const char* name;
  std::string body;
  std::vector<ListingEntry> entries;
};

class ListingTest : public ::testing::TestWithParam<ListingCase> {};

TEST_P(ListingTest, KeepsTheLinesThatNameAMessage) {
  const ListingCase& param = GetParam();
  const Retrieved r = ReadReply("+OK\r\n" + param.body + "+OK next\r\n", 1);
  ASSERT_TRUE(r.bodyDone);
  EXPECT_EQ(r.leftover, "+OK next\r\n");
  EXPECT_EQ(ParseListing(r.body), param.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ListingTest,
    ::testing::Values(
        ListingCase{"Empty", ".\r\n", {}},
        ListingCase{"Uids", "1 abc\r\n2 x.y-z\r\n.\r\n", {{1, "abc"}, {2, "x.y-z"}}},
        ListingCase{"ExtraWordsAndBlanks", "3  s1 more\r\n 4 s2\r\n.\r\n", {{3, "s1"}, {4, "s2"}}},
        ListingCase{"NotAMessage",
                    "0 zero\r\n-1 neg\r\n1x y\r\n5\r\n6 \r\n99999999999 big\r\n7 ok\r\n.\r\n",
                    {{7, "ok"}}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(CapabilityTest, NamesTheFirstWordOfALineInAnyCase) {
  const std::string body = "TOP\r\nSASL PLAIN PIPELINING\r\nuidl\r\npipelining\r\n.\r\n";
  EXPECT_TRUE(ListsCapability(body, "PIPELINING"));
  EXPECT_TRUE(ListsCapability(body, "UIDL"));
  // Nothing past the terminating line counts.
  EXPECT_FALSE(ListsCapability("SASL PIPELINING\r\n.\r\nPIPELINING\r\n", "PIPELINING"));
  EXPECT_EQ(ParseListing("1 a\r\n.\r\n2 b\r\n").size(), 1u);
}

}  // namespace
}  // namespace qm
