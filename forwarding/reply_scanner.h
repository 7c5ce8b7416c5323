// What one response header at the start of a reply says.
#pragma once

#include <cstdint>

struct ReplyHead {
  int32_t headerLength = 0;  // up to and including the blank line; 0 = incomplete
  int32_t status = 0;        // from the first line; 0 when no number stands there
  bool hasContentLength = false;
  int64_t contentLength = 0;  // the first one, as declared; may be negative
  // Why the header must not be relayed, or nullptr. The gateway frames a
  // reply by its header, and the web server, or the browser, by its own
  // reading of it: a header they could read two ways (a status that is not
  // HTTP/x.y and three digits from 100 to 599, a bare CR or LF anywhere, a
  // Content-Length that is not a plain decimal, or several that differ) is
  // refused. A bare CR or LF is found before the header is complete.
  const char* fault = nullptr;
  // Transfer-Encoding: chunked (the one coding accepted): it overrides
  // Content-Length, and the chunks frame the body.
  bool chunked = false;
  // The target closes the connection after this reply: HTTP/1.0 without
  // "Connection: keep-alive", or a "Connection: close".
  bool closes = false;
};

// Scans the first `length` bytes of `text`. Searches end at the first NUL:
// a header with a NUL before its blank line is never complete.
void ScanReplyHead(const char* text, int64_t length, ReplyHead* head);
