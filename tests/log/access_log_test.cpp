// The access log's line: the fields in their order, what stands for a missing
// one, and values escaped so that none can end a field or a line.
#include <string>

#include <gtest/gtest.h>

#include "log/access_log.h"

namespace {

TEST(AccessLog, LinesInTheCombinedFormatWithTimeAndOutcome) {
  AccessEntry full;
  full.clientAddress = "203.0.113.9";
  full.user = "alice";
  full.unixSeconds = 971185536;
  full.requestLine = "GET /shop/list?x=1 HTTP/1.1";
  full.status = 200;
  full.bodyBytes = 2326;
  full.referer = "http://example.com/start";
  full.userAgent = "Mozilla/5.0 (X11)";
  full.milliseconds = 42;
  full.outcome = "forwarded";
  AccessEntry bare;  // what a request with nothing set leaves
  bare.unixSeconds = -1;
  bare.requestLine = "- / -";
  bare.status = 502;
  bare.outcome = "refused-connection";
  AccessEntry odd = full;
  odd.user = "";
  odd.requestLine = "GET /a\"b\\c\r\n\t\x01\x7f\xe9 HTTP/1.1";
  odd.referer = "\b\v\"";
  odd.userAgent = "x\" 200 1 \"y";
  odd.bodyBytes = 0;
  const std::pair<AccessEntry, const char*> kRows[] = {
      {full, "203.0.113.9 - alice [10/Oct/2000:13:45:36 +0000] \"GET /shop/list?x=1 HTTP/1.1\" "
             "200 2326 \"http://example.com/start\" \"Mozilla/5.0 (X11)\" 42 forwarded\n"},
      {bare, "- - - [31/Dec/1969:23:59:59 +0000] \"- / -\" 502 - \"-\" \"-\" 0 "
             "refused-connection\n"},
      {odd, "203.0.113.9 - \"\" [10/Oct/2000:13:45:36 +0000] "
            "\"GET /a\\\"b\\\\c\\r\\n\\t\\x01\\x7f\\xe9 HTTP/1.1\" 200 - \"\\b\\v\\\"\" "
            "\"x\\\" 200 1 \\\"y\" 42 forwarded\n"},
  };
  for (const auto& row : kRows) {
    GrowingBuffer line;
    AppendAccessLine(row.first, line);
    EXPECT_EQ(row.second, std::string(line.Data(), static_cast<size_t>(line.Length())));
  }
}

}  // namespace
