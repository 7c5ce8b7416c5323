#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_forwarder.h"

namespace {

struct Scan {
  int32_t headerLength, status, bodyLength;
};

Scan ScanText(std::string text) {
  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  Scan scan{-1, -1, -1};
  std::string before = text;
  forwarder.ScanReplyHeader(&text[0], &scan.headerLength, &scan.status, &scan.bodyLength);
  EXPECT_EQ(before, text) << "the scanned text must be restored";
  return scan;
}

TEST(ReplyScanner, ReadsHeaderLengthStatusAndContentLength) {
  Scan scan = ScanText("HTTP/1.0 404 Not Found\r\nContent-Length: 12\r\n\r\n");
  EXPECT_EQ(46, scan.headerLength);
  EXPECT_EQ(404, scan.status);
  EXPECT_EQ(12, scan.bodyLength);
}

TEST(ReplyScanner, ContentLengthNameIgnoresCaseAndBlanks) {
  Scan scan = ScanText("HTTP/1.1 200 OK\r\ncontent-length:7\r\n\r\nabc");
  EXPECT_EQ(200, scan.status);
  EXPECT_EQ(7, scan.bodyLength);
}

}  // namespace
