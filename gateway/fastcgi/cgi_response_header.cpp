#include "gateway/fastcgi/cgi_response_header.h"

#include <cstdio>
#include <cstring>

#include "base/http_message.h"
#include "base/text.h"
#include "forwarding/reply_scanner.h"

bool ReplyHeaderToCgi(const char* header, size_t length, GrowingBuffer& out) {
  // The same rule as the relay's: a header the web server could frame
  // otherwise than the gateway does is not passed on.
  ReplyHead head;
  ScanReplyHead(header, static_cast<int64_t>(length), &head);
  if (head.fault || static_cast<size_t>(head.headerLength) != length) return false;
  size_t at = 0;
  Span status = NextLine(header, length, &at);
  const char* code = status.begin + 9;  // after "HTTP/x.y "
  const char* statusEnd = status.begin + status.length;
  out.Append("Status: ");
  out.Append(code, static_cast<size_t>(statusEnd - code));
  out.Append("\r\n");
  const size_t fieldsStart = at;

  // The names Connection lists belong to this connection alone, as it does.
  Span connections[8];
  size_t connectionCount = 0;
  while (at < length) {
    Span line = NextLine(header, length, &at);
    if (line.length > 11 && SpanStartsWith(line, "connection:") &&
        connectionCount < sizeof connections / sizeof connections[0]) {
      connections[connectionCount++] = Span{line.begin + 11, line.length - 11};
    }
  }

  // A web server sends a 200 with Location elsewhere (an internal redirect or
  // a 302); a browser ignores that Location, so it is left out.
  const bool ok = std::memcmp(code, "200", 3) == 0;
  bool keep = false;  // for continuation lines: the fate of their field
  bool lengthWritten = false;
  for (at = fieldsStart; at < length;) {
    Span line = NextLine(header, length, &at);
    if (line.length == 0) break;
    if (line.begin[0] != ' ' && line.begin[0] != '\t') {
      const char* colon = static_cast<const char*>(std::memchr(line.begin, ':', line.length));
      Span name{line.begin, colon ? static_cast<size_t>(colon - line.begin) : 0};
      // Status would set the code; a line without a name would fail the header.
      keep = name.length > 0 && !IsHopByHop(name) && !SpanIs(name, "Status") &&
             !(ok && SpanIs(name, "Location")) && !SpanIs(name, "Content-Length");
      // One Content-Length, the number the gateway frames the reply by, where
      // the first one stood.
      // Transfer-Encoding overrides it: that reply's length is not known.
      if (SpanIs(name, "Content-Length") && !lengthWritten && !head.chunked) {
        char line[48];
        std::snprintf(line, sizeof line, "Content-Length: %lld\r\n",
                      static_cast<long long>(head.contentLength));
        out.Append(line);
        lengthWritten = true;
      }
      for (size_t i = 0; keep && i < connectionCount; ++i) {
        keep = !ListHolds(connections[i], name);
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
