#include <string>

#include <gtest/gtest.h>

#include "settings/path_list.h"

namespace {

// Offset of the match, -1 when there is none.
long Find(const char* text, const char* pattern) {
  const char* found = FindNoCase(text, pattern);
  return found ? static_cast<long>(found - text) : -1;
}

TEST(FindNoCase, FoldsOnlyTheLettersAToZ) {
  EXPECT_EQ(12, Find("HTTP/1.0 200\nCONTENT-LENGTH: 3", "\ncontent-length:"));
  EXPECT_EQ(0, Find("abc", "ABC"));
  EXPECT_EQ(-1, Find("[\\]", "{|}")) << "the bytes after Z and z are not letters";
  EXPECT_EQ(-1, Find("@", "`"));
}

TEST(FindNoCase, BytesAbove127AreComparedAsTheyAre) {
  EXPECT_EQ(2, Find("ab\xC4\xE4", "\xC4\xE4"));
  EXPECT_EQ(-1, Find("\xC4", "\xE4")) << "no case folding outside A-Z";
  // 0xC1 and 0xE1 are 'A' and 'a' with the top bit set.
  EXPECT_EQ(-1, Find("\xC1", "\xE1"));
  EXPECT_EQ(-1, Find("\xC1", "a"));
  EXPECT_EQ(-1, Find("a", "\xE1"));
  EXPECT_EQ(1, Find("x\xFFY", "\xFFy"));
}

TEST(FindNoCase, FirstOccurrenceAndEdges) {
  EXPECT_EQ(1, Find("aXbxc", "x"));
  EXPECT_EQ(0, Find("abc", "")) << "an empty pattern is found at the start";
  EXPECT_EQ(0, Find("", ""));
  EXPECT_EQ(-1, Find("", "a"));
  EXPECT_EQ(-1, Find("ab", "abc")) << "a pattern longer than the text";
  EXPECT_EQ(3, Find("aaaab", "AB"));
  EXPECT_EQ(nullptr, FindNoCase(nullptr, "a"));
  EXPECT_EQ(nullptr, FindNoCase("a", nullptr));
}

TEST(MatchesPathList, EntriesArePrefixesIgnoringCase) {
  EXPECT_TRUE(MatchesPathList("/Shop/List", "/shop"));
  EXPECT_TRUE(MatchesPathList("/shop", "/SHOP"));
  EXPECT_FALSE(MatchesPathList("/shop", "/shop/")) << "entry longer than the path";
  EXPECT_FALSE(MatchesPathList("/a/shop", "/shop")) << "found, but not at the start";
  EXPECT_TRUE(MatchesPathList("/shopping", "/shop")) << "a plain prefix, not a folder match";
}

TEST(MatchesPathList, EveryEntryIsTried) {
  EXPECT_TRUE(MatchesPathList("/x", "/y,/x"));
  EXPECT_TRUE(MatchesPathList("/x/1", "/x,/y"));
  EXPECT_TRUE(MatchesPathList("/z", "/x,/y,,/z,"));
  EXPECT_FALSE(MatchesPathList("/w", "/x,/y,/z"));
}

TEST(MatchesPathList, BlanksAndEmptyEntries) {
  EXPECT_FALSE(MatchesPathList("/x", ",, /x")) << "the entry is \" /x\", blank included";
  EXPECT_FALSE(MatchesPathList("/x", "/x ")) << "a trailing blank is part of the entry";
  EXPECT_FALSE(MatchesPathList("/x", ",,,"));
  EXPECT_FALSE(MatchesPathList("/x", ","));
  EXPECT_FALSE(MatchesPathList("/x", "")) << "an empty list matches nothing";
}

TEST(MatchesPathList, EmptyOrMissingPath) {
  EXPECT_FALSE(MatchesPathList("", "/"));
  EXPECT_FALSE(MatchesPathList(nullptr, "/"));
  EXPECT_FALSE(MatchesPathList("/x", nullptr));
}

TEST(MatchesPathList, BytesAbove127) {
  EXPECT_TRUE(MatchesPathList("/caf\xE9/menu", "/CAF\xE9"));
  EXPECT_FALSE(MatchesPathList("/caf\xC9", "/caf\xE9")) << "no case folding outside A-Z";
  EXPECT_FALSE(MatchesPathList("/\xC1", "/a"));
}

}  // namespace
