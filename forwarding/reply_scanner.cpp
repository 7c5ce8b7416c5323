#include <climits>
#include <cstring>

#include "forwarding/reply_framing.h"
#include "gateway/cgi_forwarder.h"
#include "gateway/ascii.h"
#include "settings/path_list.h"

namespace {

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

void ScanReplyHead(char* text, ReplyHead* head) {
  *head = ReplyHead();
  char* blankLine = std::strstr(text, "\r\n\r\n");
  if (!blankLine) return;
  int64_t headerLength = (blankLine - text) + 4;
  if (headerLength > INT32_MAX) return;
  head->headerLength = static_cast<int32_t>(headerLength);

  *blankLine = '\0';  // the searches below see the header only
  const char* afterProtocol = text;
  while (*afterProtocol != '\0' && static_cast<unsigned char>(*afterProtocol) > 32) ++afterProtocol;
  int64_t status = 0;
  if (ReadDecimal(afterProtocol, nullptr, &status)) head->status = ClampToInt32(status);
  // The leading "\n" keeps the first line out of the search.
  const char* contentLength = FindNoCase(text, "\nContent-Length:");
  if (contentLength) {
    head->hasContentLength = ReadDecimal(contentLength + 16, nullptr, &head->contentLength);
  }
  *blankLine = '\r';
}

void CgiForwarder::ScanReplyHeader(char* text, int32_t* headerLength, int32_t* status,
                                   int32_t* bodyLength) {
  ReplyHead head;
  ScanReplyHead(text, &head);
  *headerLength = head.headerLength;
  *status = head.status;
  *bodyLength = ClampToInt32(head.contentLength);
}

ReplyFramer::State ReplyFramer::Update(char* text, int64_t length) {
  while (headerEnd_ == 0) {
    ReplyHead head;
    ScanReplyHead(text + responseStart_, &head);
    if (head.headerLength == 0) {
      return length > kMaxReplyHeader ? State::kHeaderTooLarge : State::kNeedMore;
    }
    status_ = head.status;
    int64_t headerEnd = responseStart_ + head.headerLength;
    if (headerEnd > kMaxReplyHeader) return State::kHeaderTooLarge;
    if (head.status == 101) return State::kSwitchedProtocols;
    if (head.status >= 100 && head.status <= 199) {
      responseStart_ = headerEnd;  // interim reply: the real one follows
      continue;
    }
    headerEnd_ = headerEnd;
    if (headRequest_ || head.status == 204 || head.status == 304 ||
        (head.hasContentLength && head.contentLength == 0)) {
      end_ = headerEnd_;
    } else if (head.hasContentLength && head.contentLength > 0) {
      if (head.contentLength > maxReply_ - headerEnd_) return State::kTooLong;
      end_ = headerEnd_ + head.contentLength;
    } else {
      closeDelimited_ = true;  // HTTP/1.0: the close ends the body
    }
  }
  if (closeDelimited_) return length > maxReply_ ? State::kTooLong : State::kNeedMore;
  return length >= end_ ? State::kComplete : State::kNeedMore;
}

ReplyFramer::State ReplyFramer::OnClose(int64_t length) {
  if (headerEnd_ > 0 && closeDelimited_) {
    end_ = length;
    return State::kComplete;
  }
  return State::kClosedEarly;
}

const char* FramingFailure(ReplyFramer::State state) {
  switch (state) {
    case ReplyFramer::State::kClosedEarly: return "Connection closed";
    case ReplyFramer::State::kHeaderTooLarge: return "Reply header too large";
    case ReplyFramer::State::kTooLong: return "Reply too large";
    case ReplyFramer::State::kSwitchedProtocols:
      return "Target switched protocols (101): not carried by a CGI gateway";
    default: return nullptr;
  }
}
