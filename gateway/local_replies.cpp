#include <cstdio>
#include <cstring>

#include "gateway/cgi_forwarder.h"

namespace {

void WriteLine(CgiForwarder& forwarder, char* line, size_t size, const char* format,
               const char* text) {
  int length = std::snprintf(line, size, format, text);
  if (length < 0) return;
  if (static_cast<size_t>(length) >= size) length = static_cast<int>(size - 1);
  forwarder.WriteOutput(line, length);
}

}  // namespace

void CgiForwarder::SendLocalReply(const char* status, const char* contentTypeLine,
                                  const char* body) {
  char line[1024];
  long bodyLength = static_cast<long>(std::strlen(body));
  WriteLine(*this, line, sizeof line, "HTTP/1.0 %s\r\n", status);
  WriteOutput(contentTypeLine, static_cast<int32_t>(std::strlen(contentTypeLine)));
  int length = std::snprintf(line, sizeof line, "Content-length: %ld\r\n", bodyLength);
  WriteOutput(line, length);
  WriteOutput("\r\n", 2);
  WriteOutput(body, static_cast<int32_t>(bodyLength));
}

void CgiForwarder::SendHtml(const char* status, const char* body) {
  SendLocalReply(status, "Content-Type: text/html\r\n", body);
}

void CgiForwarder::SendText(const char* status, const char* body) {
  SendLocalReply(status, "Content-Type: text/plain\r\n", body);
}
