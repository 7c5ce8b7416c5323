// The access log: one line per request in the Combined Log Format that web
// servers write and log tools read, followed by the request's time and the
// gateway's word for how it ended.
#pragma once

#include <cstdint>

#include "base/growing_buffer.h"

struct AccessEntry {
  const char* clientAddress = nullptr;  // nullptr: unknown ("-")
  const char* user = nullptr;           // the web server's user; nullptr: none
  long long unixSeconds = 0;
  const char* requestLine = "";         // "GET /a?b HTTP/1.1", as the browser sent it
  int32_t status = 0;                   // the status the browser was sent
  int64_t bodyBytes = 0;                // body bytes relayed ("-" for none)
  const char* referer = nullptr;
  const char* userAgent = nullptr;
  int64_t milliseconds = 0;             // the whole request
  const char* outcome = "";
};

// Appends the entry's line, "\n" included:
// 127.0.0.1 - alice [10/Oct/2000:13:55:36 +0000] "GET /a HTTP/1.1" 200 2326
// "http://x/" "Mozilla/5.0" 42 forwarded
void AppendAccessLine(const AccessEntry& entry, GrowingBuffer& out);

// Appends `text` as web servers write a log item: '"' and '\' after a
// backslash, \b \n \r \t \v, and every other control byte and byte from 0x7f
// on as \xhh, so that no value can end a field or a line.
void AppendLogItem(const char* text, GrowingBuffer& out);
