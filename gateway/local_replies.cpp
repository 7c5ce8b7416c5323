#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway/cgi_forwarder.h"
#include "base/owned_buffer.h"

namespace {

const char kTextPlainLine[] = "Content-Type: text/plain\r\n";
const char kEchoFailure[] = "Test failed";
constexpr int32_t kEchoPiece = 1 << 16;

}  // namespace

void CgiForwarder::WriteLocalHeader(const char* status, const char* contentTypeLine,
                                    int64_t bodyLength) {
  char line[1024];
  int length = std::snprintf(line, sizeof line, "HTTP/1.0 %s\r\n%sContent-length: %lld\r\n\r\n",
                             status, contentTypeLine, static_cast<long long>(bodyLength));
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof line) length = static_cast<int>(sizeof line - 1);
  WriteOutput(line, length);
}

void CgiForwarder::SendLocalReply(const char* status, const char* contentTypeLine,
                                  const char* body) {
  int32_t bodyLength = static_cast<int32_t>(std::strlen(body));
  WriteLocalHeader(status, contentTypeLine, bodyLength);
  WriteOutput(body, bodyLength);
}

void CgiForwarder::SendHtml(const char* status, const char* body) {
  SendLocalReply(status, "Content-Type: text/html\r\n", body);
}

void CgiForwarder::SendText(const char* status, const char* body) {
  SendLocalReply(status, kTextPlainLine, body);
}

// The request as the target would get it, at its real length (a binary body
// included). Streaming copies the body through in pieces, so memory stays
// bounded whatever its size.
void CgiForwarder::SendEcho() {
  int32_t length = 0;
  if (!settings_.streaming) {
    OwnedBuffer request(BuildRequest(&length, ModeEcho));
    if (!request || length == 0) return SendText("500 Internal Error", kEchoFailure);
    WriteLocalHeader("200 OK", kTextPlainLine, length);
    WriteOutput(request.get(), length);
    return;
  }
  RequestBody body;
  OwnedBuffer head(BuildRequestHead(&length, ModeEcho, &body));
  OwnedBuffer piece(static_cast<char*>(std::malloc(kEchoPiece)));
  if (!head || length == 0 || !piece) return SendText("500 Internal Error", kEchoFailure);
  WriteLocalHeader("200 OK", kTextPlainLine, length + body.Length());
  WriteOutput(head.get(), length);
  // A body that ends before its declared length leaves the reply short of its
  // Content-length: the browser sees it as cut.
  for (int32_t got; (got = body.Read(*this, piece.get(), kEchoPiece)) > 0;) {
    WriteOutput(piece.get(), got);
  }
}
