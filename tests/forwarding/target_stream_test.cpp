// Streaming: the request head and its body sent in pieces, the reply relayed
// as it arrives; and the bounded connection attempt ("ConnectTimeout").
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "forwarding/request_body.h"
#include "gateway/owned.h"
#include "platform/loopback_listener.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/reset_probe.h"
#include "tests/support/scripted_target.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Bytes that differ from one position to the next, so a piece out of place shows.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return bytes;
}

std::string Header(int64_t contentLength) {
  return "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(contentLength) + "\r\n\r\n";
}
const std::string kCloseDelimitedHeader = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

// The log shows the system's own error codes. Where two are named, the first
// is the POSIX errno, the second Windows Sockets' code for the same event.
constexpr long kWinsockTimedOut = 10060;  // WSAETIMEDOUT
constexpr long kWinsockRefused = 10061;   // WSAECONNREFUSED
bool IsTimedOutCode(long code) { return code == ETIMEDOUT || code == kWinsockTimedOut; }

// The code a refused connection gives here, asked of the system itself.
long RefusedCode() {
  platform::SocketHandle socket = platform::OpenTcpSocket();
  EXPECT_FALSE(platform::ConnectSocket(socket, kLoopbackAddress, UnusedPort(), 0));
  long code = platform::LastSocketError();
  platform::CloseSocket(socket);
  EXPECT_TRUE(code == ECONNREFUSED || code == kWinsockRefused) << code;
  return code;
}

// Records how the gateway reads and writes; can play a browser that goes
// away after `acceptBytes` bytes of the response.
class StreamForwarder : public FakeForwarder {
 public:
  using FakeForwarder::FakeForwarder;

  int32_t ReadInput(char* buffer, int32_t count) override {
    largestRead = std::max(largestRead, count);
    return FakeForwarder::ReadInput(buffer, count);
  }
  int32_t WriteOutput(const char* buffer, int32_t count) override {
    Clock::time_point now = Clock::now();
    if (writes == 0) firstWrite = now;
    lastWrite = now;
    largestWrite = std::max(largestWrite, count);
    if (acceptBytes >= 0 && output.size() + static_cast<size_t>(count) > static_cast<size_t>(acceptBytes)) {
      int32_t taken = static_cast<int32_t>(static_cast<size_t>(acceptBytes) - output.size());
      FakeForwarder::WriteOutput(buffer, taken);
      ++refusedWrites;
      return taken;
    }
    return FakeForwarder::WriteOutput(buffer, count);
  }

  int32_t largestRead = 0;
  int32_t largestWrite = 0;
  int64_t acceptBytes = -1;  // -1: no limit
  int refusedWrites = 0;
  Clock::time_point firstWrite;
  Clock::time_point lastWrite;
};

class StreamTest : public ::testing::Test {
 protected:
  StreamTest() {
    settings.timeoutSeconds = 10;
    settings.streaming = 1;
    settings.logFile = log.File();
  }
  void TearDown() override { EXPECT_EQ(0, forwarder.outstandingCopies); }

  // Builds the head from the forwarder's variables and runs the exchange.
  int Stream() {
    RequestBody body;
    int32_t length = 0;
    OwnedBuffer head(forwarder.BuildRequestHead(&length, ModeForward, &body));
    EXPECT_TRUE(head);
    if (!head) return -1;
    Clock::time_point start = Clock::now();
    int status = forwarder.StreamWithTarget(head.get(), length, body);
    seconds = SecondsBetween(start, Clock::now());
    return status;
  }
  void Get(ScriptedTarget& target, const char* method = "GET") {
    target.Start();
    settings.targetPort = target.Port();
    forwarder.Set("REQUEST_METHOD", method).Set("PATH_INFO", "/file");
  }
  std::string Head(ScriptedTarget& target) { return "GET /file HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(target.Port()) + "\r\n\r\n"; }

  CapturedLog log;
  ForwardSettings settings = DefaultSettings(UnusedPort());
  StreamForwarder forwarder{settings};
  double seconds = 0;
};

class StreamDownload : public StreamTest {};
class StreamFailure : public StreamTest {};
class StreamUpload : public StreamTest {};
class StreamTimeout : public StreamTest {};

const std::string kSentAndRelayed = "\tConnected\n\tData sent\nReply sent back to browser\n";

// --- downloads ---------------------------------------------------------------

TEST_F(StreamDownload, LargeReplyWithContentLengthIsRelayedWholeInPieces) {
  const std::string reply = Header(50 << 20) + Pattern(50 << 20);
  ScriptedTarget target;
  target.Send(reply).Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_TRUE(forwarder.output == reply) << "relayed " << forwarder.output.size() << " bytes";
  EXPECT_GT(forwarder.writes, 100);
  EXPECT_LE(forwarder.largestWrite, 64 * 1024 + 1024) << "pieces stay small";
  EXPECT_EQ(kSentAndRelayed, log.Text());
  EXPECT_LT(seconds, 5.0) << "a framed reply does not wait for the close";
}

TEST_F(StreamDownload, LargeCloseDelimitedReplyIsRelayedWhole) {
  const std::string reply = kCloseDelimitedHeader + Pattern(50 << 20);
  ScriptedTarget target;
  target.Send(reply).Close();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_TRUE(forwarder.output == reply) << "relayed " << forwarder.output.size() << " bytes";
  EXPECT_GT(forwarder.writes, 100);
  EXPECT_EQ(kSentAndRelayed, log.Text());
  EXPECT_EQ(Head(target), target.Received());
}

TEST_F(StreamDownload, OutputStartsBeforeTheWholeReplyHasArrived) {
  const std::string first = Pattern(300000);
  const std::string second = Pattern(200000);
  ScriptedTarget target;
  target.Send(Header(500000) + first).Pause(600).Send(second).Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(500000) + first + second, forwarder.output);
  EXPECT_GE(SecondsBetween(forwarder.firstWrite, forwarder.lastWrite), 0.45)
      << "the first part must reach the browser while the target pauses";
}

TEST_F(StreamDownload, NothingBeyondTheDeclaredLength) {
  ScriptedTarget target;
  target.Send(Header(5) + "helloEXTRA BYTES").Send(Pattern(100000)).Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(5) + "hello", forwarder.output);
  EXPECT_LT(seconds, 2.0) << "the declared end ends the exchange";
}

TEST_F(StreamDownload, ReplyInTinyPiecesIsReassembled) {
  const std::string reply = Header(10) + "0123456789";
  ScriptedTarget target;
  for (char c : reply) target.Send(std::string(1, c)).Pause(2);
  target.Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(reply, forwarder.output);
}

TEST_F(StreamDownload, HeadRequestEndsAtTheHeader) {
  const std::string header = Header(100000);
  ScriptedTarget target;
  target.Send(header + "stray").Hold();
  Get(target, "HEAD");
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(header, forwarder.output);
  EXPECT_LT(seconds, 2.0);
}

TEST_F(StreamDownload, NoContentAndNotModifiedEndAtTheHeader) {
  for (const std::string& header :
       {std::string("HTTP/1.0 204 No Content\r\nContent-Length: 7\r\n\r\n"),
        std::string("HTTP/1.0 304 Not Modified\r\nETag: \"x\"\r\n\r\n")}) {
    ScriptedTarget target;
    target.Send(header + "ignored").Hold().Start();
    ForwardSettings local = DefaultSettings(target.Port());
    local.streaming = 1;
    local.timeoutSeconds = 10;
    StreamForwarder gateway(local);
    gateway.Set("REQUEST_METHOD", "GET");
    RequestBody body;
    int32_t length = 0;
    OwnedBuffer head(gateway.BuildRequestHead(&length, ModeForward, &body));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(200, gateway.StreamWithTarget(head.get(), length, body));
    EXPECT_EQ(header, gateway.output);
    EXPECT_LT(SecondsBetween(start, Clock::now()), 2.0);
  }
}

TEST_F(StreamDownload, EmptyBodiesEndAtTheHeader) {
  ScriptedTarget target;
  target.Send(Header(0) + "stray").Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(0), forwarder.output);
  EXPECT_LT(seconds, 2.0);
}

TEST_F(StreamDownload, InterimReplyIsRelayedBeforeTheFinalOne) {
  const std::string reply = "HTTP/1.1 100 Continue\r\n\r\n" + Header(2) + "ok";
  ScriptedTarget target;
  target.Send("HTTP/1.1 100 Continue\r\n\r\n").Pause(50).Send(Header(2) + "ok").Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(reply, forwarder.output);
}

TEST_F(StreamDownload, LengthBeyond31BitsIsRelayedAsItFlows) {
  // Without streaming such a reply cannot be held; streamed, it only flows.
  const std::string header = Header(3000000000LL);
  ScriptedTarget target;
  target.Send(header + "abc").Pause(50).Close();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(header + "abc", forwarder.output);
  EXPECT_EQ(kSentAndRelayed + "\tConnection closed\n", log.Text());
}

TEST_F(StreamDownload, RewritingChangesTheHeaderAndLeavesTheBody) {
  settings.rewriteRedirects = 1;
  forwarder.Set("HTTP_HOST", "www.example.org").Set("SCRIPT_NAME", "/gw");
  const std::string body = Pattern(200000) + "\r\nLocation: /x\r\n\r\n";
  ScriptedTarget target;
  target.Send("HTTP/1.0 302 Found\r\nLocation: /next\r\nSet-Cookie: a=1; Path=/\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 1000))
      .Pause(50)
      .Send(body.substr(1000))
      .Send("beyond")
      .Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_TRUE("HTTP/1.0 302 Found\r\nLocation: /gw/next\r\nSet-Cookie: a=1; Path=/gw/\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body ==
              forwarder.output)
      << forwarder.output.substr(0, 200);
  EXPECT_LT(seconds, 2.0);
}

// --- failures --------------------------------------------------------------------

TEST_F(StreamFailure, RefusedConnectionRelaysNothing) {
  forwarder.Set("REQUEST_METHOD", "GET");
  EXPECT_EQ(500, Stream());
  EXPECT_EQ("", forwarder.output);
  EXPECT_EQ("Connection error: " + std::to_string(RefusedCode()) + "\n", log.Text());
}

TEST_F(StreamFailure, CloseBeforeTheHeaderEndsRelaysNothing) {
  ScriptedTarget target;
  target.Send("HTTP/1.0 200 OK\r\nContent-Le").Close();
  Get(target);
  EXPECT_EQ(500, Stream());
  EXPECT_EQ("", forwarder.output);
  EXPECT_EQ("\tConnected\n\tData sent\n\tConnection closed\n", log.Text());
}

TEST_F(StreamFailure, OversizedHeaderRelaysNothing) {
  std::string header = "HTTP/1.0 200 OK\r\n";
  while (header.size() < 70 * 1024) header += "X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
  ScriptedTarget target;
  target.Send(header).Hold();
  Get(target);
  EXPECT_EQ(500, Stream());
  EXPECT_EQ("", forwarder.output);
  EXPECT_EQ("\tConnected\n\tData sent\n\tReply header too large\n", log.Text());
  EXPECT_LT(seconds, 2.0);
}

TEST_F(StreamFailure, CloseBeforeTheDeclaredLengthEndsTheResponseShort) {
  const std::string sent = Header(1000000) + Pattern(300000);
  ScriptedTarget target;
  target.Send(sent).Pause(50).Close();
  Get(target);
  EXPECT_EQ(200, Stream()) << "something was relayed: no error page can follow";
  EXPECT_TRUE(sent == forwarder.output) << forwarder.output.size();
  EXPECT_EQ(kSentAndRelayed + "\tConnection closed\n", log.Text());
}

TEST_F(StreamFailure, ResetInTheMiddleEndsTheResponseShort) {
  const std::string sent = Header(1000000) + Pattern(5000);
  ScriptedTarget target;
  target.Send(sent).Pause(200).Reset();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(sent, forwarder.output);
  EXPECT_EQ(kSentAndRelayed + ResetLogLine(), log.Text());
}

TEST_F(StreamFailure, BrowserThatGoesAwayEndsTheExchangeAtOnce) {
  forwarder.acceptBytes = 100000;
  ScriptedTarget target;
  target.Send(Header(20 << 20) + Pattern(20 << 20)).Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(100000u, forwarder.output.size());
  EXPECT_EQ(1, forwarder.refusedWrites) << "nothing is written after the failed write";
  EXPECT_EQ(kSentAndRelayed + "\tBrowser closed\n", log.Text());
  EXPECT_LT(seconds, 2.0);
}

TEST_F(StreamFailure, BrowserGoneBeforeTheFirstByteIsNotAnErrorPage) {
  forwarder.acceptBytes = 0;
  ScriptedTarget target;
  target.Send(Header(10) + "0123456789").Hold();
  Get(target);
  EXPECT_EQ(200, Stream()) << "an error page could not reach the browser either";
  EXPECT_EQ(kSentAndRelayed + "\tBrowser closed\n", log.Text());
}

// --- the timeout counts from the last byte -------------------------------------------

TEST_F(StreamTimeout, SteadyTrickleLongerThanTheTimeoutCompletes) {
  settings.timeoutSeconds = 1;
  ScriptedTarget target;
  target.Send(Header(500));
  for (int piece = 0; piece < 5; ++piece) target.Pause(600).Send(std::string(100, 'a' + piece));
  target.Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(500) + std::string(100, 'a') + std::string(100, 'b') + std::string(100, 'c') +
                std::string(100, 'd') + std::string(100, 'e'),
            forwarder.output);
  EXPECT_EQ(kSentAndRelayed, log.Text());
  EXPECT_GE(seconds, 2.8);
}

TEST_F(StreamTimeout, WithoutStreamingTheSameTrickleTimesOut) {
  settings.timeoutSeconds = 1;
  ScriptedTarget target;
  target.Send(Header(200));
  for (int piece = 0; piece < 2; ++piece) target.Pause(600).Send(std::string(100, 'x'));
  target.Hold();
  target.Start();
  settings.targetPort = target.Port();
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  int32_t replyLength = 0, status = 0;
  OwnedBuffer reply(forwarder.ExchangeWithTarget(request.data(), static_cast<int32_t>(request.size()),
                                                 &replyLength, &status));
  EXPECT_FALSE(reply);
  EXPECT_EQ("\tConnected\n\tData sent\n\tTimeout\n", log.Text());
}

TEST_F(StreamTimeout, SilentTargetFailsBeforeAnything) {
  settings.timeoutSeconds = 1;
  ScriptedTarget target;
  target.Hold();
  Get(target);
  EXPECT_EQ(500, Stream());
  EXPECT_EQ("", forwarder.output);
  EXPECT_EQ("\tConnected\n\tData sent\n\tTimeout\n", log.Text());
  // Whole seconds are counted; a silence shorter than the timeout never ends it.
  EXPECT_GE(seconds, 0.99);
  EXPECT_LE(seconds, 2.5);
}

TEST_F(StreamTimeout, SilenceInTheMiddleEndsTheResponseShort) {
  settings.timeoutSeconds = 1;
  ScriptedTarget target;
  target.Send(Header(100) + "partial").Hold();
  Get(target);
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(100) + "partial", forwarder.output);
  EXPECT_EQ(kSentAndRelayed + "\tTimeout\n", log.Text());
  EXPECT_LE(seconds, 2.5);
}

// --- uploads -----------------------------------------------------------------------

TEST_F(StreamUpload, HeadIsTheBuiltRequestWithoutItsBody) {
  forwarder.Set("REQUEST_METHOD", "PUT")
      .Set("PATH_INFO", "/f")
      .Set("CONTENT_LENGTH", "5")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("HTTP_ACCEPT", "*/*");
  forwarder.input = "hello";
  RequestBody body;
  int32_t length = 0;
  OwnedBuffer head(forwarder.BuildRequestHead(&length, ModeForward, &body));
  ASSERT_TRUE(head);
  EXPECT_EQ("PUT /f HTTP/1.0\r\nAccept: */*\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n"
            "Host: 127.0.0.1:" + std::to_string(settings.targetPort) + "\r\n\r\n",
            std::string(head.get(), static_cast<size_t>(length)));
  EXPECT_EQ('\0', head.get()[length]);
  EXPECT_EQ(0, forwarder.reads) << "the body stays on the input";
  EXPECT_EQ(5, body.Length());
  int32_t nonStreamedLength = 0;
  OwnedBuffer whole(forwarder.BuildRequest(&nonStreamedLength, ModeForward));
  ASSERT_TRUE(whole);
  EXPECT_EQ(std::string(head.get(), static_cast<size_t>(length)) + "hello",
            std::string(whole.get(), static_cast<size_t>(nonStreamedLength)));
}

TEST_F(StreamUpload, LengthsBeyondWhatMemoryHoldsAreAccepted) {
  forwarder.Set("REQUEST_METHOD", "PUT").Set("CONTENT_LENGTH", "5000000000");
  RequestBody body;
  int32_t length = 0;
  OwnedBuffer head(forwarder.BuildRequestHead(&length, ModeForward, &body));
  ASSERT_TRUE(head);
  EXPECT_NE(std::string::npos, std::string(head.get()).find("\r\nContent-Length: 5000000000\r\n"));
  EXPECT_EQ(5000000000LL, body.Length());
  EXPECT_EQ(0, forwarder.reads);

  StreamForwarder absurd(settings);
  absurd.Set("REQUEST_METHOD", "PUT").Set("CONTENT_LENGTH", "99999999999999999999");
  RequestBody none;
  OwnedBuffer refused(absurd.BuildRequestHead(&length, ModeForward, &none));
  EXPECT_FALSE(refused);
  EXPECT_EQ(0, length);
}

TEST_F(StreamUpload, BodyReadsReportItsEndAndAShortInput) {
  forwarder.input = "abcdefgh";
  RequestBody body;
  body.FromInput(5);
  char piece[16];
  EXPECT_EQ(3, body.Read(forwarder, piece, 3));
  EXPECT_EQ(2, body.Read(forwarder, piece, 16)) << "never beyond the declared length";
  EXPECT_EQ(0, body.Read(forwarder, piece, 16));
  EXPECT_EQ(5u, forwarder.inputOffset);

  StreamForwarder shortInput(settings);
  shortInput.input = "abc";
  RequestBody cut;
  cut.FromInput(10);
  EXPECT_EQ(3, cut.Read(shortInput, piece, 16));
  EXPECT_EQ(-1, cut.Read(shortInput, piece, 16));

  RequestBody negative;
  negative.FromInput(-4);
  EXPECT_EQ(0, negative.Length());
  EXPECT_EQ(0, negative.Read(shortInput, piece, 16));
}

TEST_F(StreamUpload, BodyIsSentInPiecesAndArrivesWhole) {
  const std::string upload = Pattern(3 << 20);
  ScriptedTarget target;
  target.Send(Header(2) + "ok").Hold();
  target.Start();
  settings.targetPort = target.Port();
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("CONTENT_LENGTH", std::to_string(upload.size()))
      .Set("CONTENT_TYPE", "application/octet-stream");
  forwarder.input = upload;
  forwarder.maxReadSize = 10000;
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(2) + "ok", forwarder.output);
  const std::string head = "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(upload.size()) +
                           "\r\nContent-Type: application/octet-stream\r\nHost: 127.0.0.1:" +
                           std::to_string(target.Port()) + "\r\n\r\n";
  EXPECT_TRUE(head + upload == target.Received()) << target.Received().size();
  EXPECT_GT(forwarder.reads, 300);
  EXPECT_LE(forwarder.largestRead, 64 * 1024) << "the body is asked for in bounded pieces";
}

TEST_F(StreamUpload, BodyThatEndsEarlyFailsBeforeAnyReply) {
  ScriptedTarget target;
  target.Send(Header(2) + "ok").Hold();
  target.Start();
  settings.targetPort = target.Port();
  forwarder.Set("REQUEST_METHOD", "POST").Set("CONTENT_LENGTH", "1000");
  forwarder.input = std::string(400, 'x');
  EXPECT_EQ(500, Stream());
  EXPECT_EQ("", forwarder.output);
  EXPECT_EQ("\tConnected\n\tRequest body ended early\n", log.Text());
}

TEST_F(StreamUpload, TargetThatStopsReadingFailsAfterTheTimeout) {
  settings.timeoutSeconds = 1;
  ScriptedTarget target;
  target.DontRead().Hold();
  target.Start();
  settings.targetPort = target.Port();
  forwarder.Set("REQUEST_METHOD", "PUT").Set("CONTENT_LENGTH", std::to_string(32 << 20));
  forwarder.input = std::string(32 << 20, 'u');  // more than the sockets' buffers hold
  EXPECT_EQ(500, Stream());
  EXPECT_EQ("", forwarder.output);
  // A send that timed out: EAGAIN on POSIX, WSAETIMEDOUT on Windows.
  const std::string text = log.Text();
  EXPECT_TRUE(text == "\tConnected\nSend error: " + std::to_string(EAGAIN) + "\n" ||
              text == "\tConnected\nSend error: " + std::to_string(kWinsockTimedOut) + "\n")
      << text;
  // Each send that makes no progress for the timeout fails; the last trickles
  // of room in the target's buffers can move the end by a second or two.
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 6.0);
}

TEST_F(StreamUpload, ChunkedUploadIsSpooledAndSentWithItsLength) {
  const std::string upload = Pattern(300000);
  ScriptedTarget target;
  target.Send(Header(2) + "ok").Hold();
  target.Start();
  settings.targetPort = target.Port();
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("HTTP_TRANSFER_ENCODING", "chunked")
      .Set("CONTENT_TYPE", "text/plain");
  forwarder.input = upload;
  forwarder.maxReadSize = 7000;
  EXPECT_EQ(200, Stream());
  EXPECT_EQ(Header(2) + "ok", forwarder.output);
  EXPECT_TRUE("POST / HTTP/1.0\r\nContent-Length: 300000\r\nContent-Type: text/plain\r\nHost: 127.0.0.1:" +
                  std::to_string(target.Port()) + "\r\n\r\n" + upload ==
              target.Received())
      << target.Received().substr(0, 200);
}

TEST_F(StreamUpload, EmptyChunkedUploadHasNoContentRows) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("HTTP_TRANSFER_ENCODING", "chunked")
      .Set("CONTENT_TYPE", "text/plain");
  RequestBody body;
  int32_t length = 0;
  OwnedBuffer head(forwarder.BuildRequestHead(&length, ModeForward, &body));
  ASSERT_TRUE(head);
  EXPECT_EQ("POST / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(settings.targetPort) + "\r\n\r\n",
            std::string(head.get(), static_cast<size_t>(length)));
  EXPECT_EQ(0, body.Length());
}

// --- the bounded connection attempt ----------------------------------------------------

// A loopback listener that never accepts, with its queue of pending
// connections full: the system drops further connection attempts, so they
// wait as they would for an unreachable host.
class FullListener {
 public:
  FullListener() {
    listener_ = platform::OpenLoopbackListener(&port_);
    for (int i = 0; i < 1000; ++i) {
      platform::SocketHandle socket = platform::OpenTcpSocket();
      if (socket == platform::kNoSocket) break;
      fillers_.push_back(socket);
      if (!platform::ConnectSocket(socket, kLoopbackAddress, port_, 1)) {
        timedOutCode_ = platform::LastSocketError();
        full_ = IsTimedOutCode(timedOutCode_);
        break;
      }
    }
  }
  ~FullListener() {
    for (platform::SocketHandle socket : fillers_) platform::CloseSocket(socket);
    platform::CloseSocket(listener_);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;

  bool Full() const { return full_; }
  // The code the dropped attempt failed with: the system's "timed out".
  long TimedOutCode() const { return timedOutCode_; }
  uint16_t Port() const { return port_; }

 private:
  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  std::vector<platform::SocketHandle> fillers_;
  bool full_ = false;
  long timedOutCode_ = 0;
};

TEST(ConnectTimeout, AnAttemptThatGetsNoAnswerFailsAsTimedOut) {
  FullListener listener;
  ASSERT_TRUE(listener.Full()) << "no connection attempt timed out; the last failed with "
                               << listener.TimedOutCode();

  const std::string timedOut =
      "Connection error: " + std::to_string(listener.TimedOutCode()) + "\n";
  for (bool streaming : {false, true}) {
    ForwardSettings settings = DefaultSettings(listener.Port());
    settings.connectTimeoutSeconds = 1;
    settings.streaming = streaming ? 1 : 0;
    CapturedLog log;
    settings.logFile = log.File();
    FakeForwarder forwarder(settings);
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    Clock::time_point start = Clock::now();
    if (streaming) {
      RequestBody body;
      EXPECT_EQ(500, forwarder.StreamWithTarget(request.data(), static_cast<int32_t>(request.size()), body));
    } else {
      int32_t length = 0, status = 0;
      OwnedBuffer reply(forwarder.ExchangeWithTarget(request.data(), static_cast<int32_t>(request.size()),
                                                     &length, &status));
      EXPECT_FALSE(reply);
    }
    double seconds = SecondsBetween(start, Clock::now());
    EXPECT_EQ(timedOut, log.Text()) << (streaming ? "streaming" : "whole");
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 2.0);
  }
}

TEST(ConnectTimeout, ARefusedAttemptFailsAtOnceWithItsOwnCode) {
  ForwardSettings settings = DefaultSettings(UnusedPort());
  settings.connectTimeoutSeconds = 5;
  CapturedLog log;
  settings.logFile = log.File();
  FakeForwarder forwarder(settings);
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  int32_t length = 0, status = 0;
  Clock::time_point start = Clock::now();
  OwnedBuffer reply(forwarder.ExchangeWithTarget(request.data(), static_cast<int32_t>(request.size()),
                                                 &length, &status));
  EXPECT_FALSE(reply);
  EXPECT_EQ("Connection error: " + std::to_string(RefusedCode()) + "\n", log.Text());
  EXPECT_LT(SecondsBetween(start, Clock::now()), 1.0);
}

TEST(ConnectTimeout, AReachableTargetIsServedAsWithoutIt) {
  for (bool streaming : {false, true}) {
    ScriptedTarget target;
    target.Send(Header(5) + "hello").Hold().Start();
    ForwardSettings settings = DefaultSettings(target.Port());
    settings.connectTimeoutSeconds = 1;
    settings.timeoutSeconds = 5;
    settings.streaming = streaming ? 1 : 0;
    FakeForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", "GET");
    forwarder.HandleRequest("1.0.0");
    EXPECT_EQ(Header(5) + "hello", forwarder.output) << streaming;
  }
}

}  // namespace
