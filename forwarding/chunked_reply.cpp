#include "forwarding/chunked_reply.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/http_message.h"
#include "base/text.h"
#include "gateway/cgi_forwarder.h"

bool ReframeHeldReply(GrowingBuffer& reply, const ReplyFramer& framer, bool dechunk, bool whole,
                      int64_t* headerEnd) {
  const int64_t oldEnd = framer.HeaderEnd();
  const char* text = reply.Data();
  int64_t body = reply.Length() - oldEnd;
  if (dechunk) {
    ChunkedDecoder decoder;  // the framer's has read these bytes already
    decoder.Decode(reply.Data() + oldEnd, body, &body);
  }
  GrowingBuffer header;
  // Every line but the blank one that ends the header (a folded line never
  // follows the fields left out: the header would have been refused).
  for (size_t at = 0; at < static_cast<size_t>(oldEnd) - 2;) {
    const size_t start = at;
    Span line = NextLine(text, static_cast<size_t>(oldEnd), &at);
    const char* colon = static_cast<const char*>(std::memchr(line.begin, ':', line.length));
    Span name{line.begin, colon ? static_cast<size_t>(colon - line.begin) : 0};
    if (SpanIs(name, "Content-Length") || (dechunk && SpanIs(name, "Transfer-Encoding"))) continue;
    header.Append(text + start, at - start);
  }
  if (dechunk && whole) {
    char line[48];
    std::snprintf(line, sizeof line, "Content-Length: %lld\r\n", static_cast<long long>(body));
    header.Append(line);
  }
  header.Append("\r\n");
  if (header.Failed() || !reply.ReserveTotal(header.Length() + body)) return false;
  std::memmove(reply.Data() + header.Length(), reply.Data() + oldEnd, static_cast<size_t>(body));
  std::memcpy(reply.Data(), header.Data(), static_cast<size_t>(header.Length()));
  reply.CutTo(header.Length() + body);
  *headerEnd = header.Length();
  return true;
}

bool CgiForwarder::DechunksReplies() {
  if (webServerFramesResponse_) return true;
  // HTTP/1.1 and its later minor versions read chunks; HTTP/1.0 does not,
  // and HTTP/2 frames the body its own way.
  VariableCopy protocol(*this, "SERVER_PROTOCOL");
  const char* text = protocol.IsSet() ? protocol.Text() : "";
  return std::strncmp(text, "HTTP/1.", 7) != 0 || !IsAsciiDigit(text[7]) ||
         std::strtol(text + 7, nullptr, 10) < 1;
}
