#include "settings/path_list.h"

#include <cstring>

namespace {

inline unsigned char FoldCase(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// True when `text` begins with `pattern[0, length)`, letters A-Z folded.
bool StartsWithNoCase(const char* text, const char* pattern, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char t = static_cast<unsigned char>(text[i]);
    if (t == '\0' || FoldCase(t) != FoldCase(static_cast<unsigned char>(pattern[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Compares in place rather than on lowered heap copies: same result, no
// allocation that could fail.
const char* FindNoCase(const char* text, const char* pattern) {
  if (!text || !pattern) return nullptr;
  size_t patternLength = std::strlen(pattern);
  for (const char* at = text;; ++at) {
    if (StartsWithNoCase(at, pattern, patternLength)) return at;
    if (*at == '\0') return nullptr;
  }
}

bool MatchesPathList(const char* path, const char* list) {
  if (!path || !list) return false;
  bool matched = false;
  const char* entry = list;
  while (*entry != '\0') {
    const char* comma = std::strchr(entry, ',');
    size_t length = comma ? static_cast<size_t>(comma - entry) : std::strlen(entry);
    // Only a match at the very start of the path counts: the entry is a prefix.
    if (length > 0 && StartsWithNoCase(path, entry, length)) matched = true;
    if (!comma) break;
    entry = comma + 1;
  }
  return matched;
}
