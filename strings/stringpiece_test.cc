#include "strings/stringpiece.h"

#include <sstream>

#include "gtest/gtest.h"

namespace {

TEST(StringPieceTest, ViewsWithoutCopying) {
  const std::string s = "hello, world";
  StringPiece p(s);
  EXPECT_EQ(p.data(), s.data());
  EXPECT_EQ(p.size(), 12);
  p.remove_prefix(7);
  p.remove_suffix(1);
  EXPECT_EQ(p.ToString(), "worl");
  EXPECT_TRUE(StringPiece("abc") < StringPiece("abd"));
  EXPECT_TRUE(StringPiece("ab") < StringPiece("abc"));
  EXPECT_EQ(StringPiece(), StringPiece(""));
  EXPECT_TRUE(StringPiece(nullptr).empty());
  std::ostringstream out;
  out << StringPiece("a\0b", 3);
  EXPECT_EQ(out.str(), std::string("a\0b", 3));
}

TEST(StringPieceDeathTest, NegativeLengthIsFatal) {
  EXPECT_DEATH(StringPiece("abc", -1), "Check failed: len >= 0");
}

}  // namespace
