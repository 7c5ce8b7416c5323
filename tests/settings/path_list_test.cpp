// The allowed/forbidden lists and the form of a path they judge.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/path_list.h"

namespace {

std::string Canonical(const std::string& path, bool windowsNames = false) {
  std::vector<char> out(path.size() + 2, '#');
  CanonicalPath(path.c_str(), out.data(), windowsNames);
  return out.data();
}

TEST(CanonicalPath, EverySpellingOfAPathComesToOneForm) {
  const std::pair<const char*, const char*> kCases[] = {
      {"/", "/"},                   {"/admin", "/admin"},        {"/admin/", "/admin/"},
      {"//admin", "/admin"},        {"/./admin", "/admin"},      {"/x/../admin", "/admin"},
      {"/\\admin", "/admin"},       {"\\admin\\x", "/admin/x"},  {"/admin;x", "/admin"},
      {"/.;/admin", "/admin"},      {"/;/admin", "/admin"},      {"/x/..;/admin", "/admin"},
      {"/;x=1/admin", "/admin"},    {"/public/..;/admin", "/admin"},
      {"/../../admin", "/admin"},   {"/a/b/..", "/a/"},          {"/a/.", "/a/"},
      {"/a/..", "/"},               {"/..", "/"},                {"/admin//", "/admin/"},
      {"/a/;p/b", "/a/b"},          {"/.../x", "/.../x"},        {"/..a/.b", "/..a/.b"},
      {"", "/"},                    {"admin/../x", "/x"},        {"/admin./x", "/admin./x"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.second, Canonical(c.first)) << c.first;
  const std::pair<const char*, const char*> kWindowsNames[] = {
      {"/admin./x", "/admin/x"}, {"/admin . /", "/admin/"}, {"/a/../b..", "/b"},
      {"/x/..../admin", "/x/admin"}, {"/./admin", "/admin"},
  };
  for (const auto& c : kWindowsNames) EXPECT_EQ(c.second, Canonical(c.first, true)) << c.first;
}

TEST(MatchesPathList, EntriesArePrefixesWithoutCaseOrSurroundingBlanks) {
  struct Case {
    const char* path;
    const char* list;
    bool matches;
  };
  const Case kCases[] = {
      {"/admin/users", "/admin", true},   {"/ADMIN", "/admin", true},
      {"/Admin", "/ADMIN/", false},       {"/admin/", "/ADMIN/", true},
      {"/x/admin", "/admin", false},      {"/secret", "/admin, /secret", true},
      {"/secret", "/admin,\t/secret ,", true}, {"/admin2", "/admin", true},
      {"/a", "", false},                  {"/a", ",, ,", false},
      {"/a", " ", false},                 {"/", "/", true},
      {"/\xC3\xA9", "/\xC3\x89", false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(c.matches, MatchesPathList(c.path, c.list)) << c.path << " in " << c.list;
  }
  EXPECT_FALSE(MatchesPathList(nullptr, "/"));
}

}  // namespace
