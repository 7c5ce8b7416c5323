#include "base/http_message.h"

Span NextLine(const char* text, size_t length, size_t* at) {
  const char* begin = text + *at;
  const char* newline = static_cast<const char*>(std::memchr(begin, '\n', length - *at));
  size_t whole = newline ? static_cast<size_t>(newline - begin) + 1 : length - *at;
  *at += whole;
  size_t content = newline ? whole - 1 : whole;
  if (content > 0 && begin[content - 1] == '\r') --content;
  return Span{begin, content};
}

Span Trimmed(Span span) {
  while (span.length > 0 && (*span.begin == ' ' || *span.begin == '\t')) {
    ++span.begin;
    --span.length;
  }
  while (span.length > 0 && (span.begin[span.length - 1] == ' ' ||
                             span.begin[span.length - 1] == '\t')) {
    --span.length;
  }
  return span;
}

bool ListHolds(Span list, Span name) {
  const char* end = list.begin + list.length;
  for (const char* at = list.begin; at < end;) {
    while (at < end && (*at == ' ' || *at == '\t' || *at == ',')) ++at;
    const char* token = at;
    while (at < end && *at != ',' && *at != ' ' && *at != '\t') ++at;
    if (at > token && static_cast<size_t>(at - token) == name.length &&
        StartsWithNoCase(token, name.begin, name.length)) {
      return true;
    }
  }
  return false;
}

int64_t FindHeaderEnd(const char* bytes, int64_t length) {
  const char* const end = bytes + length;
  for (const char* at = bytes; at < end; ++at) {
    at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
    if (!at) return 0;
    // `at` ends a line; a blank line may follow it.
    if (end - at >= 3 && at[1] == '\r' && at[2] == '\n' && at > bytes && at[-1] == '\r') {
      return at + 3 - bytes;
    }
  }
  return 0;
}

bool ReadStatusCode(const char* head, const char* end, int64_t* code) {
  const char* afterProtocol = head;
  while (afterProtocol < end && static_cast<unsigned char>(*afterProtocol) > 32) ++afterProtocol;
  return ReadDecimal(afterProtocol, end, code);
}

bool IsHopByHop(Span name) {
  for (const char* hop : kHopByHopHeaders) {
    if (SpanIs(name, hop)) return true;
  }
  return false;
}
