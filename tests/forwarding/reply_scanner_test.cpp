// Reading the target's reply header: its length, status and Content-Length.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_forwarder.h"

namespace {

struct ScanCase {
  std::string reply;
  bool complete;
  int32_t status, bodyLength;
};

TEST(ReplyScanner, ReadsTheHeaderAsDeclared) {
  const ScanCase kCases[] = {
      {"HTTP/1.0 404 Not Found\r\nContent-Length: 12\r\n\r\nnot found...", true, 404, 12},
      {"HTTP/1.0 200 OK\r\nCONTENT-LENGTH:   3\r\n\r\nabc", true, 200, 3},
      {"HTTP/1.1    302 Found\r\n\r\n", true, 302, 0},
      {"HTTP/1.0 OK\r\nContent-Length: 2\r\n\r\nok", true, 0, 2},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 9\r\n\r\n", true, 200, 5},
      {"HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", true, 200, -5},
      {"HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\n", true, 200, 12},
      {"HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\n", true, 200, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\n", true, 200, INT32_MAX},
      {"HTTP/1.0 200 OK\r\nContent-Length : 9\r\n\r\n", true, 200, 0},
      {"HTTP/1.0 200 OK\r\nX-Content-Length: 9\r\n\r\n", true, 200, 0},
      {"HTTP/1.0 200 Content-Length: 7\r\n\r\n", true, 200, 0},
      {"HTTP/1.0 200 OK\r\n\r\nContent-Length: 4\r\n\r\n", true, 200, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n", false, 0, 0},
      {std::string("HTTP/1.0 200 OK\r\n\0\r\n\r\n", 22), false, 0, 0},
  };
  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  for (const ScanCase& c : kCases) {
    std::string text = c.reply;
    int32_t headerLength = -1, status = -1, bodyLength = -1;
    forwarder.ScanReplyHeader(&text[0], &headerLength, &status, &bodyLength);
    size_t blankLine = c.reply.find("\r\n\r\n");
    EXPECT_EQ(c.complete ? static_cast<int32_t>(blankLine + 4) : 0, headerLength) << c.reply;
    EXPECT_EQ(c.status, status) << c.reply;
    EXPECT_EQ(c.bodyLength, bodyLength) << c.reply;
    EXPECT_EQ(c.reply, text) << "the scanned text must be restored";
  }
}

}  // namespace
