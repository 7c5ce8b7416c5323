#include "gateway/cgi_response_header.h"

#include <cstring>

#include "gateway/ascii.h"

namespace {

struct Line {
  const char* begin;
  size_t length;  // without the line end
};

// The line at `*at`, which then moves past its end (LF, with or without CR).
Line NextLine(const char* text, size_t length, size_t* at) {
  const char* begin = text + *at;
  const char* newline = static_cast<const char*>(std::memchr(begin, '\n', length - *at));
  size_t whole = newline ? static_cast<size_t>(newline - begin) + 1 : length - *at;
  *at += whole;
  size_t content = newline ? whole - 1 : whole;
  if (content > 0 && begin[content - 1] == '\r') --content;
  return Line{begin, content};
}

bool NameIs(const char* name, size_t length, const char* wanted) {
  return std::strlen(wanted) == length && StartsWithNoCase(name, wanted, length);
}

// True when the comma-separated `list` holds the token `name`.
bool ListHolds(Line list, const char* name, size_t length) {
  const char* end = list.begin + list.length;
  for (const char* at = list.begin; at < end;) {
    while (at < end && (*at == ' ' || *at == '\t' || *at == ',')) ++at;
    const char* token = at;
    while (at < end && *at != ',' && *at != ' ' && *at != '\t') ++at;
    if (at > token && static_cast<size_t>(at - token) == length &&
        StartsWithNoCase(token, name, length)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReplyHeaderToCgi(const char* header, size_t length, GrowingBuffer& out) {
  size_t at = 0;
  Line status = NextLine(header, length, &at);
  if (status.length < 12 || std::memcmp(status.begin, "HTTP/", 5) != 0) return false;
  const char* code = static_cast<const char*>(std::memchr(status.begin, ' ', status.length));
  if (!code) return false;
  ++code;
  const char* statusEnd = status.begin + status.length;
  if (statusEnd - code < 3 || !IsAsciiDigit(code[0]) || !IsAsciiDigit(code[1]) ||
      !IsAsciiDigit(code[2])) {
    return false;
  }
  out.Append("Status: ");
  out.Append(code, static_cast<size_t>(statusEnd - code));
  out.Append("\r\n");
  const size_t fieldsStart = at;

  // The names Connection lists belong to this connection alone, as it does.
  Line connections[8];
  size_t connectionCount = 0;
  while (at < length) {
    Line line = NextLine(header, length, &at);
    if (line.length > 11 && StartsWithNoCase(line.begin, "connection:", 11) &&
        connectionCount < sizeof connections / sizeof connections[0]) {
      connections[connectionCount++] = Line{line.begin + 11, line.length - 11};
    }
  }

  // A web server sends a 200 with Location elsewhere (an internal redirect or
  // a 302); a browser ignores that Location, so it is left out.
  const bool ok = std::memcmp(code, "200", 3) == 0;
  bool keep = false;  // for continuation lines: the fate of their field
  for (at = fieldsStart; at < length;) {
    Line line = NextLine(header, length, &at);
    if (line.length == 0) break;
    if (line.begin[0] != ' ' && line.begin[0] != '\t') {
      const char* colon = static_cast<const char*>(std::memchr(line.begin, ':', line.length));
      size_t nameLength = colon ? static_cast<size_t>(colon - line.begin) : 0;
      // Status would set the code; a line without a name would fail the header.
      keep = nameLength > 0 && !NameIs(line.begin, nameLength, "Connection") &&
             !NameIs(line.begin, nameLength, "Keep-Alive") &&
             !NameIs(line.begin, nameLength, "Transfer-Encoding") &&
             !NameIs(line.begin, nameLength, "Status") &&
             !(ok && NameIs(line.begin, nameLength, "Location"));
      for (size_t i = 0; keep && i < connectionCount; ++i) {
        keep = !ListHolds(connections[i], line.begin, nameLength);
      }
    }
    if (keep) {
      out.Append(line.begin, line.length);
      out.Append("\r\n");
    }
  }
  out.Append("\r\n");
  return !out.Failed();
}
