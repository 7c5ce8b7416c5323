#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "platform/profile_text.h"

namespace {

// The value of `key` in section "Forward", or "<absent>".
std::string Value(const std::string& text, const char* key, const char* section = "Forward") {
  const char* value = nullptr;
  size_t length = 0;
  if (!platform::FindProfileValue(text.data(), text.size(), section, key, &value, &length)) {
    return "<absent>";
  }
  return std::string(value, length);
}

TEST(FindProfileValue, SectionAndKeyNamesIgnoreCase) {
  std::string text = "[fOrWaRd]\nTARGETPORT=81\n";
  EXPECT_EQ("81", Value(text, "TargetPort"));
  EXPECT_EQ("81", Value(text, "targetport", "FORWARD"));
}

TEST(FindProfileValue, OnlyKeysOfTheNamedSectionCount) {
  std::string text =
      "Timeout=1\n"
      "[Other]\nTargetPort=1\n"
      "[Forward]\nTimeout=2\n"
      "[Forwarding]\nLog=1\n";
  EXPECT_EQ("<absent>", Value(text, "TargetPort"));
  EXPECT_EQ("2", Value(text, "Timeout"));
  EXPECT_EQ("<absent>", Value(text, "Log")) << "a longer section name is another section";
  EXPECT_EQ("1", Value(text, "TargetPort", "other"));
}

TEST(FindProfileValue, FirstMatchWins) {
  std::string text = "[Forward]\nLog=1\nLog=2\n[Forward]\nLog=3\nTimeout=9\n";
  EXPECT_EQ("1", Value(text, "Log"));
  EXPECT_EQ("9", Value(text, "Timeout")) << "a section may be continued further down";
}

TEST(FindProfileValue, BlanksAroundNamesAndValuesAndLineEnds) {
  std::string text = "\t[ Forward ]\r\n  Allowed \t=  /a, /b \t\r\nForbidden=\r\nTimeout = 5";
  EXPECT_EQ("/a, /b", Value(text, "Allowed")) << "blanks inside the value stay";
  EXPECT_EQ("", Value(text, "Forbidden")) << "present but empty";
  EXPECT_EQ("5", Value(text, "Timeout")) << "the last line needs no line end";
  EXPECT_EQ("<absent>", Value("[Forward]\nTarget Port=1\n", "TargetPort"));
}

TEST(FindProfileValue, CommentLines) {
  std::string text = "[Forward]\n; Log=1\n  # Timeout=1\nAllowed=/a;b#c\n";
  EXPECT_EQ("<absent>", Value(text, "Log"));
  EXPECT_EQ("<absent>", Value(text, "Timeout"));
  EXPECT_EQ("/a;b#c", Value(text, "Allowed")) << "only whole lines are comments";
  EXPECT_EQ("<absent>", Value(";[Forward]\nLog=1\n", "Log"));
}

TEST(FindProfileValue, MatchingQuotesAreRemoved) {
  EXPECT_EQ(" /a ", Value("[Forward]\nAllowed=\" /a \"\n", "Allowed"));
  EXPECT_EQ("/a", Value("[Forward]\nAllowed='/a'\n", "Allowed"));
  EXPECT_EQ("", Value("[Forward]\nAllowed=\"\"\n", "Allowed"));
  EXPECT_EQ("\"/a'", Value("[Forward]\nAllowed=\"/a'\n", "Allowed")) << "quotes that differ";
  EXPECT_EQ("\"", Value("[Forward]\nAllowed=\"\n", "Allowed")) << "a lone quote";
  EXPECT_EQ("a\"b\"", Value("[Forward]\nAllowed=a\"b\"\n", "Allowed"));
}

TEST(FindProfileValue, ValueRunsToTheLineEnd) {
  EXPECT_EQ("/a=b", Value("[Forward]\nAllowed=/a=b\n", "Allowed")) << "the first '=' splits";
  EXPECT_EQ("<absent>", Value("[Forward]\nAllowed\n", "Allowed")) << "no '=' is no key";
}

TEST(FindProfileValue, StopsAtTheGivenLength) {
  std::string text = "[Forward]\nLog=1\nTimeout=25";
  const char* value = nullptr;
  size_t length = 0;
  ASSERT_TRUE(platform::FindProfileValue(text.data(), text.size() - 1, "Forward", "Timeout",
                                         &value, &length));
  EXPECT_EQ("2", std::string(value, length));
  EXPECT_FALSE(platform::FindProfileValue(text.data(), 12, "Forward", "Log", &value, &length));
}

// The integer read from `text`, or "<none>".
std::string Integer(const std::string& text) {
  long result = 12345;
  if (!platform::ParseProfileInteger(text.data(), text.size(), &result)) {
    EXPECT_EQ(12345, result) << "a failed read leaves the result alone";
    return "<none>";
  }
  return std::to_string(result);
}

TEST(ParseProfileInteger, DecimalDigitsWithOptionalSign) {
  EXPECT_EQ("8080", Integer("8080"));
  EXPECT_EQ("0", Integer("0"));
  EXPECT_EQ("7", Integer("+7"));
  EXPECT_EQ("-7", Integer("-7"));
  EXPECT_EQ("42", Integer(" \t42"));
  EXPECT_EQ("12", Integer("12abc"));
  EXPECT_EQ("0", Integer("0x50")) << "no base prefixes";
  EXPECT_EQ("7", Integer("007"));
  EXPECT_EQ("12", Integer("12 34"));
}

TEST(ParseProfileInteger, NoDigitsIsNoNumber) {
  for (const char* text : {"", " ", "abc", "-", "+", "- 5", "x12"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ("<none>", Integer(text));
  }
}

TEST(ParseProfileInteger, StopsAtTheGivenLength) {
  long result = 0;
  ASSERT_TRUE(platform::ParseProfileInteger("12345", 2, &result));
  EXPECT_EQ(12, result);
}

TEST(ParseProfileInteger, OutOfRangeValuesAreClamped) {
  EXPECT_EQ(std::to_string(LONG_MAX), Integer(std::to_string(LONG_MAX)));
  EXPECT_EQ(std::to_string(LONG_MIN), Integer(std::to_string(LONG_MIN)));
  EXPECT_EQ(std::to_string(LONG_MAX), Integer("99999999999999999999"));
  EXPECT_EQ(std::to_string(LONG_MIN), Integer("-99999999999999999999"));
  EXPECT_EQ(std::to_string(LONG_MAX), Integer("9223372036854775808"));
  // Ten times this 19-digit prefix is 2^64 + 4: the reading must not wrap.
  EXPECT_EQ(std::to_string(LONG_MAX), Integer("18446744073709551620"));
  EXPECT_EQ(std::to_string(LONG_MIN), Integer("-18446744073709551620"));
  EXPECT_EQ(std::to_string(LONG_MAX), Integer(std::string(400, '9')));
}

}  // namespace
