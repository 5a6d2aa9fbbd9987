#include "pop3server/command_line.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

using Tokens = std::vector<std::string>;

TEST(CommandLineTest, TokensSplitAtBlanksAndOnlyTheCommandIsUpperCased) {
  EXPECT_EQ(TokenizeCommand("user Taro"), (Tokens{"USER", "Taro"}));
  EXPECT_EQ(TokenizeCommand("TOP 1  \t 10"), (Tokens{"TOP", "1", "10"}));
  EXPECT_EQ(TokenizeCommand("list "), (Tokens{"LIST"}));
  // A tab does not end a token; it is skipped only after a blank.
  EXPECT_EQ(TokenizeCommand("USER\tx"), (Tokens{"USER\tX"}));
  EXPECT_EQ(TokenizeCommand(" stat"), (Tokens{"", "stat"}));
  EXPECT_EQ(TokenizeCommand(std::string_view("RETR 1\0junk", 11)), (Tokens{"RETR", "1"}));
  EXPECT_EQ(TokenizeCommand(""), Tokens{});
}

TEST(CommandLineTest, NumbersReadLikeTheCLibraryDoes) {
  EXPECT_EQ(CommandNumber("12"), 12);
  EXPECT_EQ(CommandNumber("3abc"), 3);
  EXPECT_EQ(CommandNumber("abc"), 0);
  EXPECT_EQ(CommandNumber("-2"), -2);
  EXPECT_EQ(CommandNumber("99999999999999999999"), 2147483647);
}

}  // namespace
}  // namespace qm
