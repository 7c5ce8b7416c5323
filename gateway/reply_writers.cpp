// The gateway's own replies: complete HTTP/1.0 responses with a text/html or
// text/plain body.
#include <cstdio>
#include <cstring>

#include "gateway/cgi_forwarder.h"

void CgiForwarder::WriteLocalHeader(const char* status, const char* contentTypeLine,
                                    int64_t bodyLength) {
  char line[1024];
  int length = std::snprintf(line, sizeof line, "HTTP/1.0 %s\r\n%sContent-length: %lld\r\n\r\n",
                             status, contentTypeLine, static_cast<long long>(bodyLength));
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof line) length = static_cast<int>(sizeof line - 1);
  WriteOutput(line, length);
}

void CgiForwarder::WriteTextHeader(const char* status, int64_t bodyLength) {
  WriteLocalHeader(status, "Content-Type: text/plain\r\n", bodyLength);
}

void CgiForwarder::SendHtml(const char* status, const char* body) {
  int32_t bodyLength = static_cast<int32_t>(std::strlen(body));
  WriteLocalHeader(status, "Content-Type: text/html\r\n", bodyLength);
  WriteOutput(body, bodyLength);
}

void CgiForwarder::SendText(const char* status, const char* body) {
  int32_t bodyLength = static_cast<int32_t>(std::strlen(body));
  WriteTextHeader(status, bodyLength);
  WriteOutput(body, bodyLength);
}
