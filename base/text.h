// Text rules independent of the C library's locale: ASCII letters, digits and
// blanks, decimal numbers, searches without regard to case, and copies into
// fixed buffers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool IsHexDigit(char c) {
  return IsAsciiDigit(c) || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f');
}

// What "%ld" and isspace() in the C locale skip.
inline bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// True when `text` begins with the first `length` bytes of `prefix`, letters
// A-Z compared without regard to case.
inline bool StartsWithNoCase(const char* text, const char* prefix, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\0' || AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

constexpr bool EqualsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

// The first occurrence of `pattern` in `text`, letters A-Z compared without
// regard to case, ending before `end` (nullptr: the text's NUL); nullptr
// when there is none. An empty pattern is found at the start.
const char* FindNoCase(const char* text, const char* pattern, const char* end = nullptr);

// A run of bytes inside a larger text: a line, a name, a value.
struct Span {
  const char* begin;
  size_t length;
};
// True when `span` is `text`, letters A-Z compared without regard to case.
bool SpanIs(Span span, const char* text);
// True when `span` begins with `prefix`, letters compared likewise.
bool SpanStartsWith(Span span, const char* prefix);

// Reads what "%ld" reads: white space, an optional sign, decimal digits, up to
// `end` (nullptr: the text's NUL) or the first other byte. False when no digit
// stands there. Values beyond int64_t saturate at INT64_MIN or INT64_MAX.
inline bool ReadDecimal(const char* text, const char* end, int64_t* value) {
  auto more = [&](const char* at) { return end ? at < end : *at != '\0'; };
  while (more(text) && IsAsciiSpace(*text)) ++text;
  bool negative = false;
  if (more(text) && (*text == '+' || *text == '-')) negative = *text++ == '-';
  if (!more(text) || !IsAsciiDigit(*text)) return false;
  int64_t magnitude = 0;
  bool beyond = false;
  for (; more(text) && IsAsciiDigit(*text); ++text) {
    int digit = *text - '0';
    beyond = beyond || magnitude > (INT64_MAX - digit) / 10;
    if (!beyond) magnitude = magnitude * 10 + digit;
  }
  if (beyond) {
    *value = negative ? INT64_MIN : INT64_MAX;
  } else {
    *value = negative ? -magnitude : magnitude;
  }
  return true;
}

// A hash of `length` bytes of `name` (FNV-1a), for the indexes that find a
// request's variables by name.
inline uint32_t HashName(const char* name, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(name[i])) * 16777619u;
  }
  return hash;
}

// Copies `text` into `out` (`size` bytes) when it fits with its NUL; a text
// that does not fit is never kept cut: `out` is left empty and the result is
// false.
bool CopyText(char* out, size_t size, const char* text);
