// The exchange with the target, held whole or streamed: where a reply ends,
// what reaches the browser when the target fails, and the log line saying why.
// Both modes run one table; they differ only where a streamed reply has
// already started when the target fails.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "platform/tcp.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"

namespace {

const char kSame[] = "<same as held>";

std::string Header(const std::string& status, const std::string& lines = "") {
  return "HTTP/1.1 " + status + "\r\n" + lines + "\r\n";
}
std::string Framed(const std::string& body) {
  return Header("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
}

enum class End { kClose, kReset, kHold };

struct ExchangeCase {
  const char* name;
  std::vector<std::string> pieces;  // sent 20 ms apart
  End end;
  std::string held;      // what the browser gets without streaming
  std::string streamed;  // with streaming, or kSame
  const char* logLine = "\tData sent\n";
  const char* method = "GET";
};

const ExchangeCase kExchanges[] = {
    {"SplitAnywhere", {"HTTP/1.1 200 OK\r\nConte", "nt-Length: 5\r\n\r", "\nhel", "lo"},
     End::kHold, Framed("hello"), kSame},
    {"BytesBeyondTheLengthDropped", {Framed("hello") + "EXTRA"}, End::kHold, Framed("hello"),
     kSame},
    {"CloseEndsAnUnframedBody", {Header("200 OK") + "abc", "def"}, End::kClose,
     Header("200 OK") + "abcdef", kSame},
    {"HeadEndsAtTheHeader", {Header("200 OK", "Content-Length: 5\r\n")}, End::kHold,
     Header("200 OK", "Content-Length: 5\r\n"), kSame, "\tData sent\n", "HEAD"},
    {"NoContentEndsAtTheHeader", {Header("204 No Content")}, End::kHold,
     Header("204 No Content"), kSame},
    {"NotModifiedEndsAtTheHeader", {Header("304 Not Modified", "Content-Length: 5\r\n")},
     End::kHold, Header("304 Not Modified", "Content-Length: 5\r\n"), kSame},
    {"ZeroLengthEndsAtTheHeader", {Framed("")}, End::kHold, Framed(""), kSame},
    {"InterimReplyKept", {Header("100 Continue"), Framed("ok")}, End::kHold,
     Header("100 Continue") + Framed("ok"), kSame},
    {"SwitchingProtocolsEndsAtOnce",
     {Header("101 Switching Protocols", "Upgrade: websocket\r\nConnection: Upgrade\r\n")},
     End::kHold, kErrorPage, kSame,
     "\tTarget switched protocols (101): not carried by a CGI gateway\n"},
    {"CloseBeforeTheHeaderEnds", {"HTTP/1.1 200 OK\r\n"}, End::kClose, kErrorPage, kSame,
     "\tConnection closed\n"},
    {"CloseBeforeTheDeclaredLength", {Header("200 OK", "Content-Length: 10\r\n") + "abc"},
     End::kClose, kErrorPage, Header("200 OK", "Content-Length: 10\r\n") + "abc",
     "\tConnection closed\n"},
    {"ResetInTheMiddle", {Header("200 OK", "Content-Length: 10\r\n") + "abc"}, End::kReset,
     kErrorPage, Header("200 OK", "Content-Length: 10\r\n") + "abc", nullptr},
    {"HeaderTooLarge", {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a')}, End::kHold,
     kErrorPage, kSame, "\tReply header too large\n"},
    {"HeaderOfExactly64KiB", {Header("200 OK", "X: " + std::string(65536 - 24, 'a') + "\r\n")},
     End::kClose, Header("200 OK", "X: " + std::string(65536 - 24, 'a') + "\r\n"), kSame},
    {"LengthBeyondWhatMemoryHolds", {Header("200 OK", "Content-Length: 3000000000\r\n") + "abc"},
     End::kClose, kErrorPage, Header("200 OK", "Content-Length: 3000000000\r\n") + "abc",
     nullptr},
    {"SilentTargetTimesOut", {}, End::kHold, kErrorPage, kSame, "\tTimeout\n"},
    // A header the web server or the browser could frame otherwise is never relayed.
    {"LengthsThatDiffer", {Header("200 OK", "Content-Length: 65\r\ncontent-length: 5\r\n") + "hello"},
     End::kHold, kErrorPage, kSame, "\tReply header not valid: Content-Length fields differ\n"},
    {"EqualLengthsFrameAsOne", {Header("200 OK", "Content-Length: 5\r\nContent-Length:05 \r\n") +
     "helloEXTRA"}, End::kHold, Header("200 OK", "Content-Length: 5\r\nContent-Length:05 \r\n") +
     "hello", kSame},
    {"NegativeLength", {Header("200 OK", "Content-Length: -1\r\n") + "abc"}, End::kClose, kErrorPage,
     kSame, "\tReply header not valid: Content-Length not a plain decimal\n"},
    {"LengthWithSign", {Header("200 OK", "Content-Length: +5\r\n") + "hello"}, End::kHold,
     kErrorPage, kSame, "\tReply header not valid: Content-Length not a plain decimal\n"},
    {"LengthList", {Header("200 OK", "Content-Length: 5, 16\r\n") + "hello"}, End::kHold,
     kErrorPage, kSame, "\tReply header not valid: Content-Length not a plain decimal\n"},
    {"LengthWithText", {Header("200 OK", "Content-Length: 5abc\r\n") + "hello"}, End::kHold,
     kErrorPage, kSame, "\tReply header not valid: Content-Length not a plain decimal\n"},
    {"StatusOfTwoDigits", {Header("10 X") + Framed("ab")}, End::kHold, kErrorPage, kSame,
     "\tReply header not valid: status line\n"},
    {"StatusOfFourDigits", {Header("1000 X") + Framed("ab")}, End::kHold, kErrorPage, kSame,
     "\tReply header not valid: status line\n"},
    {"StatusWithALeadingZero", {Header("0200 OK", "Location: /x\r\n")}, End::kHold, kErrorPage,
     kSame, "\tReply header not valid: status line\n"},
    {"BareCrInTheStatusLine", {Header("200 OK\rX-Injected: yes")}, End::kHold, kErrorPage, kSame,
     "\tReply header not valid: bare CR\n"},
    {"BareLfPairBeforeTheEnd",
     {Header("200 OK", "Content-Length: 5\n\nX-Forged: 1\r\n") + "hello"}, End::kHold, kErrorPage,
     kSame, "\tReply header not valid: bare LF\n"},
    {"HeaderOfBareLfsFailsAtOnce", {"HTTP/1.0 200 OK\nContent-Length: 5\n\nhello"}, End::kHold,
     kErrorPage, kSame, "\tReply header not valid: bare LF\n"},
};

void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }

class Exchange : public ::testing::TestWithParam<std::tuple<ExchangeCase, bool>> {};

TEST_P(Exchange, EndsWhereTheReplyEnds) {
  const ExchangeCase& c = std::get<0>(GetParam());
  const bool streaming = std::get<1>(GetParam());
  ScriptedTarget target;
  for (const std::string& piece : c.pieces) target.Send(piece).Pause(20);
  if (c.end == End::kReset) target.Reset();
  if (c.end == End::kHold) target.Hold();
  target.Start();
  ForwardSettings settings = DefaultSettings(target.Port());
  settings.timeoutSeconds = 1;
  settings.streaming = streaming;
  CapturedLog log;
  log.AttachTo(settings);
  FakeForwarder forwarder(settings);
  forwarder.Set("REQUEST_METHOD", c.method);
  forwarder.HandleRequest("1.0.0");
  EXPECT_EQ(streaming && c.streamed != kSame ? c.streamed : c.held, forwarder.output);
  if (c.logLine) {
    EXPECT_NE(std::string::npos, log.Text().rfind(c.logLine)) << log.Text();
  }
  EXPECT_TRUE(forwarder.CopiesBalanced());
}

INSTANTIATE_TEST_SUITE_P(HeldAndStreamed, Exchange,
                         ::testing::Combine(::testing::ValuesIn(kExchanges), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Streamed" : "_Held");
                         });

class Upload : public ::testing::TestWithParam<bool> {
 protected:
  // Sends `method` with `length` declared (or, -1, dechunked) and `input` as
  // the body to `target`, held or streamed by the test's parameter; returns
  // what the browser got.
  std::string Send(ScriptedTarget& target, const char* method, int64_t length,
                   const std::string& input, CapturedLog* log = nullptr) {
    target.Start();
    ForwardSettings settings = DefaultSettings(target.Port());
    settings.streaming = GetParam();
    if (log) log->AttachTo(settings);
    FakeForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", method).Set("CONTENT_TYPE", "application/octet-stream");
    forwarder.Set(length < 0 ? "HTTP_TRANSFER_ENCODING" : "CONTENT_LENGTH",
                  length < 0 ? "chunked" : std::to_string(length));
    forwarder.input = input;
    forwarder.maxReadSize = 1000;
    forwarder.HandleRequest("1.0.0");
    return forwarder.output;
  }
};

// A binary body arrives whole, in both modes, declared or dechunked.
TEST_P(Upload, BodyReachesTheTargetWhole) {
  std::string body(3 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + (i >> 12));
  for (bool chunked : {false, true}) {
    ScriptedTarget target;
    target.Send(Framed("ok"));
    EXPECT_EQ(Framed("ok"), Send(target, "POST", chunked ? -1 : static_cast<int64_t>(body.size()), body));
    std::string received = target.Received();
    EXPECT_NE(std::string::npos,
              received.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"));
    EXPECT_EQ(std::string::npos, received.find("Transfer-Encoding"));
    ASSERT_GE(received.size(), body.size());
    EXPECT_TRUE(received.compare(received.size() - body.size(), body.size(), body) == 0);
  }
}

TEST_P(Upload, TargetThatResetsInsteadOfReadingFailsTheSend) {
  ScriptedTarget target;
  target.DontRead().Pause(100).Reset();
  CapturedLog log;
  EXPECT_EQ(kErrorPage, Send(target, "PUT", 16 << 20, std::string(16 << 20, 'x'), &log));
  EXPECT_NE(std::string::npos, log.Text().find("Send error: ")) << log.Text();
  EXPECT_EQ(std::string::npos, log.Text().find("Data sent")) << log.Text();
}

TEST_P(Upload, BodyShorterThanDeclaredSendsNoReply) {
  ScriptedTarget target;
  target.Send(Framed("ok"));
  EXPECT_EQ(kErrorPage, Send(target, "POST", 100000, "short"));
}

INSTANTIATE_TEST_SUITE_P(HeldAndStreamed, Upload, ::testing::Bool());

// Streaming counts the timeout from the last byte: a slow but steady reply
// completes, where the held exchange gives up at Timeout.
TEST(ExchangeTimeout, SteadyTrickleCompletesOnlyWhenStreamed) {
  for (bool streaming : {false, true}) {
    ScriptedTarget target;
    target.Send(Header("200 OK", "Content-Length: 5\r\n"));
    for (char c : std::string("hello")) target.Pause(500).Send(std::string(1, c));
    target.Start();
    ForwardSettings settings = DefaultSettings(target.Port());
    settings.timeoutSeconds = 1;
    settings.streaming = streaming;
    FakeForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", "GET");
    forwarder.HandleRequest("1.0.0");
    EXPECT_EQ(streaming ? Framed("hello") : kErrorPage, forwarder.output);
  }
}

// A listener whose backlog is full drops further attempts unanswered, as a
// target behind a firewall does.
TEST(ExchangeTimeout, UnansweredConnectFailsAtConnectTimeout) {
  ScriptedTarget unanswered;
  const uint16_t port = unanswered.StartUnanswered();
  std::vector<platform::SocketHandle> fillers;
  long timedOut = 0;
  for (int i = 0; i < 1000 && timedOut == 0; ++i) {
    fillers.push_back(platform::OpenTcpSocket());
    if (!platform::ConnectSocket(fillers.back(), kLoopbackAddress, port, 1)) {
      timedOut = platform::LastSocketError();
    }
  }
  ASSERT_NE(0, timedOut) << "the backlog never filled";
  for (bool streaming : {false, true}) {
    ForwardSettings settings = DefaultSettings(port);
    settings.connectTimeoutSeconds = 1;
    settings.streaming = streaming;
    CapturedLog log;
    log.AttachTo(settings);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kErrorPage, ServeGet(settings));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_NE(std::string::npos,
              log.Text().find("Connection error: " + std::to_string(timedOut) + "\n"));
  }
  for (platform::SocketHandle socket : fillers) platform::CloseSocket(socket);
}

TEST(ExchangeTimeout, RefusedConnectFailsAtOnceWithItsCode) {
  ForwardSettings settings = DefaultSettings(UnusedPort());
  CapturedLog log;
  log.AttachTo(settings);
  EXPECT_EQ(kErrorPage, ServeGet(settings));
  EXPECT_NE(std::string::npos, log.Text().find("\nConnection error: "));
}

}  // namespace
