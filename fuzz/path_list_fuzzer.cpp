// The path lists and the case-insensitive search, each against a plain
// reference written here.
//
// Input: the path, a NUL, then the list. Without a NUL the whole input is the
// path, tried against a fixed list.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "settings/path_list.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool PrefixNoCase(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Fold(text[i]) != Fold(prefix[i])) return false;
  }
  return true;
}

bool ReferenceMatch(const std::string& path, const std::string& list) {
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string entry = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!entry.empty() && PrefixNoCase(path, entry)) return true;
    if (comma == std::string::npos) return false;
    start = comma + 1;
  }
}

long ReferenceFind(const std::string& text, const std::string& pattern) {
  for (size_t at = 0; at + pattern.size() <= text.size(); ++at) {
    if (PrefixNoCase(text.substr(at), pattern)) return static_cast<long>(at);
  }
  return -1;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const char* nul = static_cast<const char*>(std::memchr(text, '\0', size));
  std::string path(text, nul ? static_cast<size_t>(nul - text) : size);
  std::string list = nul ? std::string(nul + 1, size - path.size() - 1) : "/admin, /private,,/~~x";
  list = list.c_str();  // a C string ends at its first NUL

  bool matched = MatchesPathList(path.c_str(), list.c_str());
  FUZZ_CHECK(matched == ReferenceMatch(path, list), "list match as the reference");
  FUZZ_CHECK(MatchesPathList(Upper(path).c_str(), list.c_str()) == matched,
             "case of the path's letters never matters");
  FUZZ_CHECK(MatchesPathList(path.c_str(), Upper(list).c_str()) == matched,
             "case of the list's letters never matters");
  FUZZ_CHECK(!MatchesPathList(nullptr, list.c_str()), "no path matches nothing");

  const char* found = FindNoCase(path.c_str(), list.c_str());
  long expected = ReferenceFind(path, list);
  FUZZ_CHECK(found ? found - path.c_str() == expected : expected == -1, "search as the reference");
  return 0;
}
