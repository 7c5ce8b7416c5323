#include "base/text.h"

#include <cstring>

// Compares in place rather than on lowered heap copies: same result, no
// allocation that could fail.
const char* FindNoCase(const char* text, const char* pattern, const char* end) {
  if (!text || !pattern) return nullptr;
  size_t patternLength = std::strlen(pattern);
  for (const char* at = text;; ++at) {
    if (end && static_cast<size_t>(end - at) < patternLength) return nullptr;
    if (StartsWithNoCase(at, pattern, patternLength)) return at;
    if (*at == '\0') return nullptr;
  }
}

bool SpanIs(Span span, const char* text) {
  // A match of the whole span leaves `text` readable at its end.
  return StartsWithNoCase(span.begin, text, span.length) && text[span.length] == '\0';
}

bool SpanStartsWith(Span span, const char* prefix) {
  size_t length = std::strlen(prefix);
  return span.length >= length && StartsWithNoCase(span.begin, prefix, length);
}

bool CopyText(char* out, size_t size, const char* text) {
  size_t length = std::strlen(text);
  if (length >= size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  std::memcpy(out, text, length + 1);
  return true;
}
