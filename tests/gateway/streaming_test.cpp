// Whole requests with "Streaming" on: what the browser receives must be what
// it receives without streaming, except that a failure after the first byte
// ends the response short instead of replacing it with the error page.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/loopback_listener.h"
#include "tests/support/checked_forwarder.h"
#include "tests/support/reset_probe.h"
#include "tests/support/scripted_target.h"
#include "tests/support/temp_folder.h"

namespace {

const std::string kErrorPage =
    "HTTP/1.0 500 Internal Error\r\nContent-Type: text/html\r\nContent-length: 18\r\n\r\n"
    "<H2>CGI Error</H2>";
const std::string kForbiddenPage =
    "HTTP/1.0 403 Forbidden\r\nContent-Type: text/html\r\nContent-length: 18\r\n\r\n"
    "<H2>Forbidden</H2>";

std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + (i >> 9));
  return bytes;
}

struct Served {
  std::string output;
  std::string received;  // what the target read
  std::string log;
  int writes = 0;
};

// One request through HandleRequest against a target playing `script`.
class StreamingGateway : public ::testing::Test {
 protected:
  using Script = std::function<void(ScriptedTarget&)>;
  using Variables = std::function<void(CheckedForwarder&)>;

  Served Serve(bool streaming, const Script& script, const Variables& variables,
               const std::string& input = "") {
    ScriptedTarget target;
    if (script) {
      script(target);
      target.Start();
    }
    TempFolder folder;
    ForwardSettings settings = DefaultSettings(script ? target.Port() : UnusedPort());
    settings.timeoutSeconds = timeoutSeconds;
    settings.streaming = streaming ? 1 : 0;
    settings.rewriteRedirects = rewrite ? 1 : 0;
    std::strcpy(settings.allowedPaths, allowed);
    settings.logEnabled = 1;
    std::strcpy(settings.logPath, folder.File("gw.txt").c_str());
    CheckedForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", "GET")
        .Set("PATH_INFO", "/app")
        .Set("HTTP_HOST", "www.example.org")
        .Set("SCRIPT_NAME", "/gw");
    if (variables) variables(forwarder);
    forwarder.input = input;
    forwarder.HandleRequest("1.0.0");
    EXPECT_TRUE(forwarder.live.empty());
    EXPECT_EQ(nullptr, settings.logFile);
    Served served;
    served.output = forwarder.output;
    served.received = script ? target.Received() : "";
    // Each run has its own target port; the Host line names it.
    const std::string hostLine = "\r\nHost: 127.0.0.1:" + std::to_string(target.Port()) + "\r\n";
    size_t host = served.received.find(hostLine);
    if (host != std::string::npos) served.received.replace(host, hostLine.size(), "\r\nHost: target\r\n");
    std::string log = TempFolder::ReadText(folder.File("gw.txt"));
    // Banner and time stamp differ from run to run.
    size_t events = log.find('\n', log.find('\n') + 1);
    served.log = events == std::string::npos ? log : log.substr(events + 1);
    served.writes = forwarder.writes;
    return served;
  }

  // Runs the request with and without streaming; both must give the browser
  // and the target the same bytes and log the same events.
  Served Same(const Script& script, const Variables& variables = nullptr,
              const std::string& input = "") {
    Served whole = Serve(false, script, variables, input);
    Served streamed = Serve(true, script, variables, input);
    EXPECT_TRUE(whole.output == streamed.output)
        << "whole:\n" << whole.output.substr(0, 300) << "\nstreamed:\n" << streamed.output.substr(0, 300);
    EXPECT_TRUE(whole.received == streamed.received) << whole.received.substr(0, 300) << "\n---\n"
                                                     << streamed.received.substr(0, 300);
    EXPECT_EQ(whole.log, streamed.log);
    return streamed;
  }

  int timeoutSeconds = 5;
  bool rewrite = false;
  const char* allowed = "/";
};

class StreamingSameBytes : public StreamingGateway {};
class StreamingFailures : public StreamingGateway {};

// --- on and off give the same bytes ------------------------------------------------

TEST_F(StreamingSameBytes, FramedReply) {
  const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n" + Bytes(300000);
  Served served = Same([&](ScriptedTarget& t) { t.Send(reply).Hold(); });
  EXPECT_TRUE(reply == served.output);
  EXPECT_GT(served.writes, 2) << "streamed in pieces";
  EXPECT_EQ("\tConnected\n\tData sent\nReply sent back to browser\n", served.log);
}

TEST_F(StreamingSameBytes, CloseDelimitedReplyAndBytesBeyondTheLength) {
  const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + Bytes(200000);
  EXPECT_TRUE(reply == Same([&](ScriptedTarget& t) { t.Send(reply).Close(); }).output);
  const std::string framed = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc";
  EXPECT_EQ(framed, Same([&](ScriptedTarget& t) { t.Send(framed + "def").Hold(); }).output);
}

TEST_F(StreamingSameBytes, PostBodyReachesTheTarget) {
  const std::string upload = Bytes(500000);
  Served served = Same(
      [](ScriptedTarget& t) { t.Send("HTTP/1.0 201 Created\r\nContent-Length: 0\r\n\r\n").Hold(); },
      [&](CheckedForwarder& f) {
        f.Set("REQUEST_METHOD", "POST")
            .Set("CONTENT_LENGTH", std::to_string(upload.size()))
            .Set("CONTENT_TYPE", "application/octet-stream");
        f.maxReadSize = 3000;
      },
      upload);
  EXPECT_EQ("HTTP/1.0 201 Created\r\nContent-Length: 0\r\n\r\n", served.output);
  EXPECT_EQ(upload, served.received.substr(served.received.size() - upload.size()));
}

TEST_F(StreamingSameBytes, ChunkedUploadGetsItsLength) {
  const std::string upload = Bytes(100000);
  Served served = Same(
      [](ScriptedTarget& t) { t.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok").Hold(); },
      [](CheckedForwarder& f) { f.Set("REQUEST_METHOD", "PUT").Set("HTTP_TRANSFER_ENCODING", "chunked"); },
      upload);
  EXPECT_NE(std::string::npos, served.received.find("\r\nContent-Length: 100000\r\n"));
  EXPECT_EQ(std::string::npos, served.received.find("Transfer-Encoding"));
}

TEST_F(StreamingSameBytes, HeadNoContentNotModifiedAndInterimReplies) {
  const std::string headReply = "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n";
  EXPECT_EQ(headReply, Same([&](ScriptedTarget& t) { t.Send(headReply + "x").Hold(); },
                            [](CheckedForwarder& f) { f.Set("REQUEST_METHOD", "HEAD"); })
                           .output);
  const std::string noContent = "HTTP/1.0 204 No Content\r\n\r\n";
  EXPECT_EQ(noContent, Same([&](ScriptedTarget& t) { t.Send(noContent + "x").Hold(); }).output);
  const std::string notModified = "HTTP/1.0 304 Not Modified\r\nContent-Length: 9\r\n\r\n";
  EXPECT_EQ(notModified, Same([&](ScriptedTarget& t) { t.Send(notModified).Hold(); }).output);
  const std::string interim =
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  EXPECT_EQ(interim, Same([&](ScriptedTarget& t) { t.Send(interim).Hold(); }).output);
}

TEST_F(StreamingSameBytes, RedirectsAreRewrittenAlike) {
  rewrite = true;
  const std::string body = "Location: http://127.0.0.1:8080/ stays as it is";
  const std::string reply = "HTTP/1.0 302 Found\r\nLocation: /login\r\nSet-Cookie: s=1; Path=/\r\n"
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  EXPECT_EQ("HTTP/1.0 302 Found\r\nLocation: /gw/login\r\nSet-Cookie: s=1; Path=/gw/\r\n"
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
            Same([&](ScriptedTarget& t) { t.Send(reply).Hold(); }).output);
}

TEST_F(StreamingSameBytes, LocalPagesAndRefusedPathsDoNotStream) {
  std::string echoed = Same(nullptr, [](CheckedForwarder& f) { f.Set("PATH_INFO", "/~~echo"); }).output;
  EXPECT_EQ(0u, echoed.find("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"));
  EXPECT_EQ(0u, Same(nullptr, [](CheckedForwarder& f) { f.Set("PATH_INFO", "/~~info"); })
                    .output.find("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"));
  Served probe = Same([](ScriptedTarget& t) { t.Send("HTTP/1.0 500 Oops\r\n\r\n").Close(); },
                      [](CheckedForwarder& f) { f.Set("PATH_INFO", "/~~target"); });
  EXPECT_NE(std::string::npos, probe.output.find("<B>Good:</B>"));
  allowed = "/public";
  Served refused = Same([](ScriptedTarget& t) { t.Send("HTTP/1.0 200 OK\r\n\r\n").Close(); },
                        [](CheckedForwarder& f) {
                          f.Set("REQUEST_METHOD", "POST").Set("CONTENT_LENGTH", "3");
                        },
                        "abc");
  EXPECT_EQ(kForbiddenPage, refused.output);
  EXPECT_EQ("", refused.received) << "a refused path never reaches the target";
}

// --- failures -------------------------------------------------------------------

TEST_F(StreamingFailures, BeforeTheFirstByteTheErrorPageIsSentAlike) {
  EXPECT_EQ(kErrorPage, Same(nullptr, nullptr).output);  // nothing listens
  EXPECT_EQ(kErrorPage,
            Same([](ScriptedTarget& t) { t.Send("HTTP/1.0 200 OK\r\nContent-").Close(); }).output);
  EXPECT_EQ(kErrorPage, Same([](ScriptedTarget& t) { t.Close(); }).output);
  timeoutSeconds = 1;
  Served silent = Same([](ScriptedTarget& t) { t.Hold(); });
  EXPECT_EQ(kErrorPage, silent.output);
  EXPECT_EQ("\tConnected\n\tData sent\n\tTimeout\n", silent.log);
}

TEST_F(StreamingFailures, ShortBodyGivesTheErrorPage) {
  auto shortBody = [](CheckedForwarder& f) {
    f.Set("REQUEST_METHOD", "POST").Set("CONTENT_LENGTH", "1000");
  };
  auto answer = [](ScriptedTarget& t) { t.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok").Hold(); };
  Served whole = Serve(false, answer, shortBody, std::string(10, 'x'));
  Served streamed = Serve(true, answer, shortBody, std::string(10, 'x'));
  EXPECT_EQ(kErrorPage, whole.output);
  EXPECT_EQ(kErrorPage, streamed.output);
  EXPECT_EQ("", whole.log) << "without streaming the target is never contacted";
  EXPECT_EQ("\tConnected\n\tRequest body ended early\n", streamed.log);
}

TEST_F(StreamingFailures, AfterTheFirstByteTheResponseEndsShort) {
  const std::string sent = "HTTP/1.0 200 OK\r\nContent-Length: 900000\r\n\r\n" + Bytes(400000);
  auto cut = [&](ScriptedTarget& t) { t.Send(sent).Pause(50).Close(); };
  Served whole = Serve(false, cut, nullptr);
  Served streamed = Serve(true, cut, nullptr);
  EXPECT_EQ(kErrorPage, whole.output);
  EXPECT_TRUE(sent == streamed.output) << streamed.output.size();
  EXPECT_EQ("\tConnected\n\tData sent\n\tConnection closed\n", whole.log);
  EXPECT_EQ("\tConnected\n\tData sent\nReply sent back to browser\n\tConnection closed\n", streamed.log);

  auto reset = [&](ScriptedTarget& t) { t.Send(sent).Pause(200).Reset(); };
  Served resetStreamed = Serve(true, reset, nullptr);
  EXPECT_TRUE(sent == resetStreamed.output) << resetStreamed.output.size();
  EXPECT_EQ("\tConnected\n\tData sent\nReply sent back to browser\n" + ResetLogLine(),
            resetStreamed.log);
}

}  // namespace
