// The responses the gateway makes itself, write by write.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_forwarder.h"

namespace {

// Keeps every WriteOutput call apart, zero-length ones included.
class RecordingForwarder : public FakeForwarder {
 public:
  explicit RecordingForwarder(ForwardSettings& settings) : FakeForwarder(settings) {}
  int32_t WriteOutput(const char* buffer, int32_t count) override {
    pieces.emplace_back(buffer, static_cast<size_t>(count));
    return FakeForwarder::WriteOutput(buffer, count);
  }
  std::vector<std::string> pieces;
};

class LocalReplies : public ::testing::Test {
 protected:
  ForwardSettings settings = DefaultSettings();
  RecordingForwarder forwarder{settings};
};

TEST_F(LocalReplies, HtmlIsFiveWritesWithSmallLInContentLength) {
  forwarder.SendHtml("200 OK", "<p>hi</p>");
  const std::vector<std::string> expected = {
      "HTTP/1.0 200 OK\r\n", "Content-Type: text/html\r\n", "Content-length: 9\r\n", "\r\n",
      "<p>hi</p>"};
  EXPECT_EQ(expected, forwarder.pieces);
}

TEST_F(LocalReplies, TextDiffersOnlyInContentType) {
  forwarder.SendText("500 Internal Error", "Test failed");
  const std::vector<std::string> expected = {
      "HTTP/1.0 500 Internal Error\r\n", "Content-Type: text/plain\r\n", "Content-length: 11\r\n",
      "\r\n", "Test failed"};
  EXPECT_EQ(expected, forwarder.pieces);
}

TEST_F(LocalReplies, EmptyBodyStillGetsItsZeroLengthWrite) {
  forwarder.SendHtml("403 Forbidden", "");
  const std::vector<std::string> expected = {
      "HTTP/1.0 403 Forbidden\r\n", "Content-Type: text/html\r\n", "Content-length: 0\r\n", "\r\n",
      ""};
  EXPECT_EQ(expected, forwarder.pieces);
}

TEST_F(LocalReplies, BodyEndsAtItsFirstNul) {
  const char body[] = "ab\0cd";
  forwarder.SendText("200 OK", body);
  EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-length: 2\r\n\r\nab",
            forwarder.output);
}

TEST_F(LocalReplies, BodyIsNeitherFormattedNorBoundedByTheLineBuffer) {
  // Percent signs must pass as they are, and a body far beyond the
  // 1024-byte line buffer must arrive whole.
  std::string body = "100% %s %n %d\r\n";
  body += std::string(100000, 'x');
  forwarder.SendHtml("200 OK", body.c_str());
  ASSERT_EQ(5u, forwarder.pieces.size());
  EXPECT_EQ("Content-length: " + std::to_string(body.size()) + "\r\n", forwarder.pieces[2]);
  EXPECT_TRUE(forwarder.pieces[4] == body);
}

TEST(BareForwarder, RunsEveryOperationButProducesNothing) {
  // The base class is connected to nothing: no variables, no body, output
  // discarded. Everything must still run to its end.
  ForwardSettings settings = DefaultSettings();
  CgiForwarder forwarder(settings);
  forwarder.SendHtml("200 OK", "body");
  forwarder.SendText("200 OK", "body");
  int32_t length = -1;
  EXPECT_EQ(nullptr, forwarder.BuildRequest(&length, ModeForward));
  EXPECT_EQ(0, length);
  forwarder.HandleRequest("1.0");
}

}  // namespace
