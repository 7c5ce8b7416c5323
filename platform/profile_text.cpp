#include "platform/profile_text.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "base/text.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Trims blanks from both ends of [begin, end).
void Trim(const char*& begin, const char*& end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
}

bool SameName(const char* begin, const char* end, const char* name) {
  return SpanIs(Span{begin, static_cast<size_t>(end - begin)}, name);
}

}  // namespace

bool FindProfileValue(const char* text, size_t length, const char* section,
                      const char* key, const char** value, size_t* valueLength) {
  const char* const textEnd = text + length;
  bool inSection = false;
  for (const char* line = text; line < textEnd;) {
    const char* lineEnd = static_cast<const char*>(std::memchr(line, '\n', textEnd - line));
    const char* next = lineEnd ? lineEnd + 1 : textEnd;
    if (!lineEnd) lineEnd = textEnd;
    const char* begin = line;
    const char* end = lineEnd;
    line = next;
    Trim(begin, end);
    if (begin == end || *begin == ';' || *begin == '#') continue;
    if (*begin == '[') {
      const char* close = static_cast<const char*>(std::memchr(begin, ']', end - begin));
      if (!close) continue;
      const char* nameBegin = begin + 1;
      const char* nameEnd = close;
      Trim(nameBegin, nameEnd);
      inSection = SameName(nameBegin, nameEnd, section);
      continue;
    }
    if (!inSection) continue;
    const char* equals = static_cast<const char*>(std::memchr(begin, '=', end - begin));
    if (!equals) continue;
    const char* nameEnd = equals;
    const char* nameBegin = begin;
    Trim(nameBegin, nameEnd);
    if (!SameName(nameBegin, nameEnd, key)) continue;
    const char* valueBegin = equals + 1;
    const char* valueEnd = end;
    Trim(valueBegin, valueEnd);
    if (valueEnd - valueBegin >= 2 && (*valueBegin == '"' || *valueBegin == '\'') &&
        valueEnd[-1] == *valueBegin) {
      ++valueBegin;
      --valueEnd;
    }
    *value = valueBegin;
    *valueLength = static_cast<size_t>(valueEnd - valueBegin);
    return true;
  }
  return false;
}

void CopyProfileValue(const char* value, size_t length, char* out, size_t size) {
  if (length >= size) length = size - 1;
  std::memcpy(out, value, length);
  out[length] = '\0';
}

bool ParseProfileInteger(const char* value, size_t length, long* result) {
  int64_t number = 0;
  if (!ReadDecimal(value, value + length, &number)) return false;
  *result = number > LONG_MAX ? LONG_MAX : number < LONG_MIN ? LONG_MIN : static_cast<long>(number);
  return true;
}

}  // namespace platform
