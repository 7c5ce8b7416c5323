// The exchange with the target, held whole, streamed, or adaptive (held while
// small): where a reply ends, what reaches the browser when the target fails,
// and the log line saying why. The three run one table; they differ where a
// streamed reply has already started when the target fails, and where an
// adaptive one starts to flow.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "forwarding/target_connection.h"
#include "platform/socket.h"
#include "platform/tcp.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"

namespace {

const char kSame[] = "<same as held>";
const char kAsStreamed[] = "<same as streamed>";
// The adaptive column's hold limit: a reply of more bytes flows.
constexpr int64_t kHoldLimit = 100;
const std::string kUnframedBody(kHoldLimit, 'u');

std::string Header(const std::string& status, const std::string& lines = "") {
  return "HTTP/1.1 " + status + "\r\n" + lines + "\r\n";
}
std::string Framed(const std::string& body) {
  return Header("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
}
const std::string kChunked = Header("200 OK", "Transfer-Encoding: chunked\r\n");
const std::string kChunks = "3\r\nabc\r\n4;x=1\r\ndefg\r\n0\r\nT: 1\r\n\r\n";
const std::string kLongChunk = "96\r\n" + std::string(150, 'c') + "\r\n0\r\n\r\n";

enum class End { kClose, kReset, kHold };

struct ExchangeCase {
  const char* name;
  std::vector<std::string> pieces;  // sent 20 ms apart
  End end;
  std::string held;      // what the browser gets without streaming
  std::string streamed;  // with streaming, or kSame
  const char* logLine = "\tData sent\n";
  const char* method = "GET";
  std::string adaptive = kSame;  // adaptive: kSame (as held) or kAsStreamed
  const char* protocol = "HTTP/1.0";  // the browser's (SERVER_PROTOCOL)
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
     nullptr, "GET", kAsStreamed},
    {"SilentTargetTimesOut", {}, End::kHold, kErrorPage, kSame, "\tTimeout\n"},
    // A header the web server or the browser could frame otherwise is never relayed.
    {"LengthsThatDiffer", {Header("200 OK", "Content-Length: 65\r\ncontent-length: 5\r\n") + "hello"},
     End::kHold, kErrorPage, kSame, "\tReply header not valid: Content-Length fields differ\n"},
    {"EqualLengthsFrameAsOne", {Header("200 OK", "Content-Length: 5\r\nContent-Length:05 \r\n") +
     "helloEXTRA"}, End::kHold, Header("200 OK", "Content-Length: 5\r\nContent-Length:05 \r\n") +
     "hello", kSame},
    {"NegativeLength", {Header("200 OK", "Content-Length: -1\r\n") + "abc"}, End::kClose, kErrorPage,
     kSame, "\tReply header not valid: Content-Length not a plain decimal\n"},
    {"LengthWithText", {Header("200 OK", "Content-Length: 5abc\r\n") + "hello"}, End::kHold,
     kErrorPage, kSame, "\tReply header not valid: Content-Length not a plain decimal\n"},
    {"StatusOfTwoDigits", {Header("10 X") + Framed("ab")}, End::kHold, kErrorPage, kSame,
     "\tReply header not valid: status line\n"},
    {"StatusWithALeadingZero", {Header("0200 OK", "Location: /x\r\n")}, End::kHold, kErrorPage,
     kSame, "\tReply header not valid: status line\n"},
    {"BareCrInTheStatusLine", {Header("200 OK\rX-Injected: yes")}, End::kHold, kErrorPage, kSame,
     "\tReply header not valid: bare CR\n"},
    {"BareLfPairBeforeTheEnd",
     {Header("200 OK", "Content-Length: 5\n\nX-Forged: 1\r\n") + "hello"}, End::kHold, kErrorPage,
     kSame, "\tReply header not valid: bare LF\n"},
    {"EventStreamFlowsAtOnce",
     {Header("200 OK", "Content-Type: Text/Event-Stream ; charset=utf-8\r\n") + "data: 1\n\n"},
     End::kHold, kErrorPage,
     Header("200 OK", "Content-Type: Text/Event-Stream ; charset=utf-8\r\n") + "data: 1\n\n",
     "\tTimeout\n", "GET", kAsStreamed},
    {"AccelBufferingNoFlowsAtOnce", {Header("200 OK", "X-Accel-Buffering:  No\r\n") + "abc"},
     End::kHold, kErrorPage, Header("200 OK", "X-Accel-Buffering:  No\r\n") + "abc",
     "\tTimeout\n", "GET", kAsStreamed},
    {"UnframedReplyWithinTheHoldLimitIsHeld",
     {Header("200 OK", "X-Accel-Buffering: yes\r\nContent-Type: text/event-streams\r\n") + "a"},
     End::kHold, kErrorPage,
     Header("200 OK", "X-Accel-Buffering: yes\r\nContent-Type: text/event-streams\r\n") + "a",
     "\tTimeout\n"},
    {"UnframedReplyFlowsPastTheHoldLimit", {Header("200 OK") + kUnframedBody}, End::kHold,
     kErrorPage, Header("200 OK") + kUnframedBody, "\tTimeout\n", "GET", kAsStreamed},
    // Chunks frame a reply; an HTTP/1.0 browser gets their data, an HTTP/1.1
    // one the chunks as sent.
    {"ChunkedToAnHttp10Browser", {kChunked + "3\r", "\nabc\r\n4;x", "=1\r\ndefg\r\n0\r\nT: 1\r\n\r\n"},
     End::kHold, Framed("abcdefg"), Header("200 OK") + "abcdefg"},
    {"ChunkedToAnHttp2Browser", {kChunked + kChunks}, End::kHold, Framed("abcdefg"), kSame,
     "\tData sent\n", "GET", kSame, "HTTP/2.0"},
    {"ChunkedToAnHttp11Browser", {kChunked + kChunks + "EXTRA"}, End::kHold, kChunked + kChunks,
     kSame, "\tData sent\n", "GET", kSame, "HTTP/1.1"},
    {"ChunkedOverridesContentLength",
     {Header("200 OK", "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n") + kChunks},
     End::kHold, Framed("abcdefg"), kSame},
    {"ChunkedFlowingPastTheHoldLimit", {kChunked + kLongChunk.substr(0, 120), kLongChunk.substr(120)},
     End::kHold, Framed(std::string(150, 'c')), Header("200 OK") + std::string(150, 'c'),
     "\tData sent\n", "GET", kAsStreamed},
    {"ChunkedCutShort", {kChunked + "3\r\nabc\r\n4\r\nde"}, End::kClose, kErrorPage,
     kChunked + "3\r\nabc\r\n4\r\nde", "\tConnection closed\n", "GET", kSame, "HTTP/1.1"},
    {"BadChunk", {kChunked + "3\r\nabcd\r\n0\r\n\r\n"}, End::kHold, kErrorPage, kSame,
     "\tChunked reply not valid: chunk longer than its size\n"},
    // Never asked for: the reader would take the coded body for the body.
    {"OtherCodingRefused",
     {Header("200 OK", "Transfer-Encoding: gzip, chunked\r\n") + "3\r\nabc\r\n0\r\n\r\n"},
     End::kHold, kErrorPage, kSame, "\tReply header not valid: Transfer-Encoding not chunked\n"},
};

void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }

// The settings with the relay of a test's parameter.
ForwardSettings RelaySettings(uint16_t port, Relay relay) {
  ForwardSettings settings = DefaultSettings(port);
  settings.relay = relay;
  settings.holdLimit = kHoldLimit;
  return settings;
}
const Relay kRelays[] = {Relay::kHeld, Relay::kStreamed, Relay::kAdaptive};
std::string RelayName(Relay relay) {
  return relay == Relay::kHeld ? "Held" : relay == Relay::kStreamed ? "Streamed" : "Adaptive";
}

// A table's test names: the case's, then the relay's.
const auto kCaseAndRelay = [](const auto& info) {
  return std::string(std::get<0>(info.param).name) + "_" + RelayName(std::get<1>(info.param));
};

class Exchange : public ::testing::TestWithParam<std::tuple<ExchangeCase, Relay>> {};

TEST_P(Exchange, EndsWhereTheReplyEnds) {
  const ExchangeCase& c = std::get<0>(GetParam());
  const Relay relay = std::get<1>(GetParam());
  ScriptedTarget target;
  for (const std::string& piece : c.pieces) target.Send(piece).Pause(20);
  if (c.end == End::kReset) target.Reset();
  if (c.end == End::kHold) target.Hold();
  target.Start();
  ForwardSettings settings = RelaySettings(target.Port(), relay);
  settings.timeoutSeconds = 1;
  CapturedLog log;
  log.AttachTo(settings);
  FakeForwarder forwarder(settings);
  forwarder.Set("REQUEST_METHOD", c.method).Set("SERVER_PROTOCOL", c.protocol);
  forwarder.HandleRequest("1.0.0");
  const bool streamed = relay == Relay::kStreamed ||
                        (relay == Relay::kAdaptive && c.adaptive == kAsStreamed);
  EXPECT_EQ(streamed && c.streamed != kSame ? c.streamed : c.held, forwarder.output);
  if (c.logLine) {
    EXPECT_NE(std::string::npos, log.Text().rfind(c.logLine)) << log.Text();
  }
  EXPECT_TRUE(forwarder.CopiesBalanced());
}

INSTANTIATE_TEST_SUITE_P(Relays, Exchange,
                         ::testing::Combine(::testing::ValuesIn(kExchanges),
                                            ::testing::ValuesIn(kRelays)),
                         kCaseAndRelay);

// A FastCGI process keeps its connection to the target from one request to
// the next while the target allows. A request that fails on a kept
// connection before any of its reply goes again on a new one only when that
// cannot repeat an action.
enum class Then { kAnswer, kClose, kCloseOnRequest };

struct ReuseCase {
  const char* name;
  std::string first;    // the reply to the first request
  Then then;            // what the target does next on that connection
  const char* method;   // the second request's (POST and PUT with a body)
  std::string second;   // what the second request gets ("": as the first)
  int connections;      // how many the target accepted
  const char* firstMethod = "GET";
};

const std::string kHttp10 = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\none";
const std::string kSaysClose =
    Header("200 OK", "Connection: keep-alive, Close\r\nContent-Length: 3\r\n") + "one";

const ReuseCase kReuses[] = {
    {"KeptAfterAFramedReply", Framed("one"), Then::kAnswer, "POST", Framed("two"), 1},
    {"Http10KeptWhenItSaysKeepAlive",
     "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 3\r\n\r\none", Then::kAnswer,
     "GET", Framed("two"), 1},
    {"ClosedWhileIdleIsNotUsed", Framed("one"), Then::kClose, "POST", "", 2},
    {"ClosedOnTheNextGetWhichGoesAgain", Framed("one"), Then::kCloseOnRequest, "GET", "", 2},
    {"ClosedOnTheNextPutWhichGoesAgainWhole", Framed("one"), Then::kCloseOnRequest, "PUT", "", 2},
    {"ClosedOnTheNextPostWhichFails", Framed("one"), Then::kCloseOnRequest, "POST", kErrorPage, 1},
    {"ConnectionCloseEndsIt", kSaysClose, Then::kAnswer, "GET", "", 2},
    {"Http10EndsIt", kHttp10, Then::kAnswer, "GET", "", 2},
    {"BytesBeyondTheEndEndIt", Framed("one") + "EXTRA", Then::kAnswer, "GET", "", 2},
    {"ReplyCutByTheTimeoutEndsIt", Header("200 OK", "Content-Length: 9\r\n") + "one",
     Then::kAnswer, "GET", "", 2},
    // Replies framed otherwise leave it open as well.
    {"KeptAfterAHead", Header("200 OK", "Content-Length: 5\r\n"), Then::kAnswer, "GET",
     Framed("two"), 1, "HEAD"},
    {"KeptAfterANoContent", Header("204 No Content"), Then::kAnswer, "GET", Framed("two"), 1},
    {"KeptAfterANotModified", Header("304 Not Modified", "Content-Length: 5\r\n"),
     Then::kAnswer, "GET", Framed("two"), 1},
    {"KeptAfterAnInterimReply", Header("100 Continue") + Framed("one"), Then::kAnswer, "POST",
     Framed("two"), 1},
    {"KeptAfterChunks",
     Header("200 OK", "Transfer-Encoding: chunked\r\n") + "3\r\none\r\n0\r\n\r\n",
     Then::kAnswer, "GET", Framed("two"), 1},
};

void PrintTo(const ReuseCase& c, std::ostream* out) { *out << c.name; }

class KeptConnection : public ::testing::TestWithParam<std::tuple<ReuseCase, Relay>> {};

TEST_P(KeptConnection, UsedAgainOnlyWhenNothingCanGoAmiss) {
  const ReuseCase& c = std::get<0>(GetParam());
  ScriptedTarget target;
  target.Send(c.first);
  if (c.then != Then::kClose) target.Read();
  if (c.then == Then::kAnswer) target.Send(Framed("two")).Hold();
  target.Start(2);
  ForwardSettings settings = RelaySettings(target.Port(), std::get<1>(GetParam()));
  settings.timeoutSeconds = 1;
  CapturedLog log;
  log.AttachTo(settings);
  TargetConnection kept(settings);
  std::string outputs[2];
  for (int i = 0; i < 2; ++i) {
    FakeForwarder forwarder(settings);
    forwarder.LendTargetConnection(&kept);
    const std::string method = i == 0 ? c.firstMethod : c.method;
    forwarder.Set("REQUEST_METHOD", method);
    if (method == "POST" || method == "PUT") {
      forwarder.Set("CONTENT_LENGTH", "5");
      forwarder.input = "hello";
    }
    forwarder.HandleRequest("1.0.0");
    outputs[i] = forwarder.output;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a close arrives
  }
  // Streamed, a body goes as it is read from the input: it cannot go again.
  const bool bodyGone =
      std::string(c.method) == "PUT" && std::get<1>(GetParam()) == Relay::kStreamed;
  EXPECT_EQ(bodyGone ? kErrorPage : c.second.empty() ? outputs[0] : c.second, outputs[1]);
  EXPECT_EQ(bodyGone ? 1 : c.connections, target.Connections()) << log.Text();
  const std::string received = target.Received();
  EXPECT_TRUE(std::string(c.method) != "PUT" || received.substr(received.size() - 5) == "hello");
  EXPECT_EQ(c.then == Then::kCloseOnRequest && c.connections == 2 && !bodyGone,
            log.Text().find(kSentAgainEvent) != std::string::npos) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Relays, KeptConnection,
                         ::testing::Combine(::testing::ValuesIn(kReuses),
                                            ::testing::ValuesIn(kRelays)),
                         kCaseAndRelay);

class Upload : public ::testing::TestWithParam<Relay> {
 protected:
  // Sends `method` with `length` declared (or, -1, dechunked) and `input` as
  // the body to `target`, relayed as the test's parameter says (adaptive:
  // bodies up to 1 MiB held); returns what the browser got.
  std::string Send(ScriptedTarget& target, const char* method, int64_t length,
                   const std::string& input, CapturedLog* log = nullptr) {
    target.Start();
    ForwardSettings settings = RelaySettings(target.Port(), GetParam());
    settings.holdLimit = 1 << 20;
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

// A binary body arrives whole, declared or dechunked, held or past the hold
// limit.
TEST_P(Upload, BodyReachesTheTargetWhole) {
  std::string large(3 << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + (i >> 12));
  for (int both = 0; both < 4; ++both) {
    const bool chunked = both & 1;
    const std::string body = both & 2 ? large.substr(0, 100000) : large;
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

// A body that is held is never forwarded short: the target is not even
// connected to. One declared past the hold limit is sent as it is read, as
// when streamed.
TEST_P(Upload, BodyShorterThanDeclaredSendsNoReply) {
  for (int64_t declared : {100000, 2 << 20}) {
    ScriptedTarget target;
    CapturedLog log;
    EXPECT_EQ(kErrorPage, Send(target.Send(Framed("ok")), "POST", declared, "short", &log));
    const bool sent = GetParam() == Relay::kStreamed ||
                      (GetParam() == Relay::kAdaptive && declared > (1 << 20));
    EXPECT_EQ(sent, log.Text().find("\tConnected\n") != std::string::npos) << declared;
  }
}

INSTANTIATE_TEST_SUITE_P(Relays, Upload, ::testing::ValuesIn(kRelays),
                         [](const auto& info) { return RelayName(info.param); });

// Streaming counts the timeout from the last byte: a slow but steady reply
// completes, where the held exchange (and a small adaptive one) gives up at
// Timeout.
TEST(ExchangeTimeout, SteadyTrickleCompletesOnlyWhenStreamed) {
  for (Relay relay : kRelays) {
    ScriptedTarget target;
    target.Send(Header("200 OK", "Content-Length: 5\r\n"));
    for (char c : std::string("hello")) target.Pause(500).Send(std::string(1, c));
    target.Start();
    ForwardSettings settings = RelaySettings(target.Port(), relay);
    settings.timeoutSeconds = 1;
    EXPECT_EQ(relay == Relay::kStreamed ? Framed("hello") : kErrorPage, ServeGet(settings));
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
    fillers.push_back(ConnectToLoopback(port, 1, &timedOut));
  }
  ASSERT_NE(0, timedOut) << "the backlog never filled";
  ForwardSettings settings = DefaultSettings(port);
  settings.connectTimeoutSeconds = 1;
  CapturedLog log;
  log.AttachTo(settings);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kErrorPage, ServeGet(settings));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_NE(std::string::npos,
            log.Text().find("Connection error: " + std::to_string(timedOut) + "\n"));
  for (platform::SocketHandle socket : fillers) platform::CloseSocket(socket);
}

// Each of a name's addresses is tried in turn, IPv6 and IPv4 alike; the
// loopback names stand for both. Refused on each, or a name without an
// address (the unspecified ones lead to this machine, unasked): the log says which.
TEST(TargetNames, EachAddressIsTriedUntilOneAccepts) {
  struct Case {
    const char* host;  // as the lookup takes it ("" and localhost: both loopbacks)
    bool ipv6;         // the target listens on ::1, else on 127.0.0.1
    const char* name;  // as the Host line names it
  };
  const Case kCases[] = {{"::1", true, "[::1]"}, {"", true, "127.0.0.1"},
                         {"", false, "127.0.0.1"}, {"LocalHost", true, "localhost"},
                         {"LocalHost", false, "localhost"}, {"127.0.0.1", false, "127.0.0.1"}};
  for (const Case& c : kCases) {
    ScriptedTarget target;
    if (c.ipv6) target.ListenOnIpv6();
    target.Send(Framed("ok")).Start();
    ForwardSettings settings = DefaultSettings(target.Port());
    std::strcpy(settings.targetHost, c.host);
    std::strcpy(settings.targetName, c.name);
    EXPECT_EQ(Framed("ok"), ServeGet(settings)) << c.host << (c.ipv6 ? " on ::1" : "");
    EXPECT_EQ(0u, target.Received().find(std::string("GET / HTTP/1.0\r\nHost: ") + c.name + ":"));
  }
  for (const char* host : {"", "nph-gw-no-such-host.invalid", "0.0.0.0", "::"}) {
    ForwardSettings settings = DefaultSettings(UnusedPort());
    std::strcpy(settings.targetServer, host);
    std::strcpy(settings.targetHost, host);
    CapturedLog log;
    log.AttachTo(settings);
    EXPECT_EQ(kErrorPage, ServeGet(settings));
    const std::string said = host[0] ? "\tTarget name not resolved: " + std::string(host) + "\n"
                                     : "\nConnection error: ";
    EXPECT_NE(std::string::npos, log.Text().find(said)) << log.Text();
  }
}

}  // namespace
