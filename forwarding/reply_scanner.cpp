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

}  // namespace

void ScanReplyHead(const char* text, int64_t length, ReplyHead* head) {
  *head = ReplyHead();
  const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
  if (nul) length = static_cast<const char*>(nul) - text;
  int64_t headerLength = FindHeaderEnd(text, length, BlankLine::kCrLf);
  if (headerLength == 0 || headerLength > INT32_MAX) return;
  head->headerLength = static_cast<int32_t>(headerLength);

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
