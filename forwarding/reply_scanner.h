// What one response header at the start of a reply says.
#pragma once

#include <cstdint>

struct ReplyHead {
  int32_t headerLength = 0;  // up to and including the blank line; 0 = incomplete
  int32_t status = 0;        // from the first line; 0 when no number stands there
  bool hasContentLength = false;
  int64_t contentLength = 0;  // as declared; may be negative
};

// Scans the first `length` bytes of `text`. Searches end at the first NUL:
// a header with a NUL before its blank line is never complete.
void ScanReplyHead(const char* text, int64_t length, ReplyHead* head);
