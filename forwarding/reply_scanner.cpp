#include "forwarding/reply_scanner.h"

#include <climits>
#include <cstring>

#include "base/http_message.h"
#include "base/text.h"
#include "gateway/cgi_forwarder.h"

namespace {

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// The first CR not followed by LF, or LF not after CR, in `text`; a CR that
// ends it is judged once the next byte is there.
const char* BareLineBreak(const char* text, int64_t length) {
  for (int64_t at = 0; at < length; ++at) {
    if (text[at] == '\n' && (at == 0 || text[at - 1] != '\r')) return "bare LF";
    if (text[at] == '\r' && at + 1 < length && text[at + 1] != '\n') return "bare CR";
  }
  return nullptr;
}

// "HTTP/x.y NNN", then nothing or a blank and the reason; NNN from 100 to 599.
bool IsStatusLine(Span line) {
  const char* s = line.begin;
  if (line.length < 12 || std::memcmp(s, "HTTP/", 5) != 0 || !IsAsciiDigit(s[5]) || s[6] != '.' ||
      !IsAsciiDigit(s[7]) || s[8] != ' ' || !IsAsciiDigit(s[9]) || !IsAsciiDigit(s[10]) ||
      !IsAsciiDigit(s[11]) || (line.length > 12 && s[12] != ' ')) {
    return false;
  }
  return s[9] >= '1' && s[9] <= '5';
}

// Why a complete header (`length` bytes, blank line included) must not be
// relayed, or nullptr. Notes in `head` on the way whether its body is chunked
// and whether the target closes the connection after it.
const char* HeaderFault(const char* text, int64_t length, ReplyHead* head) {
  if (const char* bare = BareLineBreak(text, length)) return bare;
  size_t at = 0;
  const size_t end = static_cast<size_t>(length);
  const Span statusLine = NextLine(text, end, &at);
  if (!IsStatusLine(statusLine)) return "status line";
  // HTTP/1.1 and later keep the connection unless told otherwise; 1.0 closes it.
  const char major = statusLine.begin[5], minor = statusLine.begin[7];
  head->closes = major == '0' || (major == '1' && minor == '0');
  static const char kNotPlain[] = "Content-Length not a plain decimal";
  bool declared = false, afterLength = false, afterCoding = false, saidClose = false;
  int64_t first = 0;
  while (at < end) {
    Span line = NextLine(text, end, &at);
    if (line.length == 0) break;
    // A folded line would add to the value before it.
    if (line.begin[0] == ' ' || line.begin[0] == '\t') {
      if (afterLength) return kNotPlain;
      if (afterCoding) return "Transfer-Encoding folded";
      continue;
    }
    const char* colon = static_cast<const char*>(std::memchr(line.begin, ':', line.length));
    const Span name{line.begin, colon ? static_cast<size_t>(colon - line.begin) : 0};
    afterLength = SpanIs(name, "Content-Length");
    afterCoding = SpanIs(name, "Transfer-Encoding");
    const bool connection = SpanIs(name, "Connection");
    if (!afterLength && !afterCoding && !connection) continue;
    Span value = Trimmed(Span{colon + 1, line.length - static_cast<size_t>(colon + 1 - line.begin)});
    if (connection) {
      saidClose = saidClose || ListHolds(value, Span{"close", 5});
      if (saidClose || ListHolds(value, Span{"keep-alive", 10})) head->closes = saidClose;
      continue;
    }
    if (afterCoding) {
      // The gateway asks for no transfer coding (the browser's TE never reaches
      // the target): any but chunked, once, could only reach the reader
      // undone, its body taken for what it is not.
      if (head->chunked || !SpanIs(value, "chunked")) {
        return "Transfer-Encoding not chunked";
      }
      head->chunked = true;
      continue;
    }
    if (value.length == 0) return kNotPlain;
    for (size_t i = 0; i < value.length; ++i) {
      if (!IsAsciiDigit(value.begin[i])) return kNotPlain;
    }
    int64_t number = 0;
    ReadDecimal(value.begin, value.begin + value.length, &number);
    if (declared && number != first) return "Content-Length fields differ";
    declared = true;
    first = number;
  }
  return nullptr;
}

}  // namespace

void ScanReplyHead(const char* text, int64_t length, ReplyHead* head) {
  *head = ReplyHead();
  const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
  if (nul) length = static_cast<const char*>(nul) - text;
  int64_t headerLength = FindHeaderEnd(text, length);
  if (headerLength == 0) head->fault = BareLineBreak(text, length);
  if (headerLength == 0 || headerLength > INT32_MAX) return;
  head->headerLength = static_cast<int32_t>(headerLength);
  head->fault = HeaderFault(text, headerLength, head);

  const char* fieldsEnd = text + headerLength - 4;  // the searches see the header only
  int64_t status = 0;
  if (ReadStatusCode(text, fieldsEnd, &status)) head->status = ClampToInt32(status);
  // The leading "\n" keeps the first line out of the search.
  const char* contentLength = FindNoCase(text, "\nContent-Length:", fieldsEnd);
  if (contentLength) {
    head->hasContentLength = ReadDecimal(contentLength + 16, fieldsEnd, &head->contentLength);
  }
}

void CgiForwarder::ScanReplyHeader(char* text, int32_t* headerLength, int32_t* status,
                                   int32_t* bodyLength) {
  ReplyHead head;
  ScanReplyHead(text, static_cast<int64_t>(std::strlen(text)), &head);
  *headerLength = head.headerLength;
  *status = head.status;
  *bodyLength = ClampToInt32(head.contentLength);
}
