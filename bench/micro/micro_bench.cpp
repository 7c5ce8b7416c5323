// What the gateway's in-process work costs, apart from the process start:
// rebuilding a request from CGI variables, finding where a large reply ends,
// and the receive loop against a loopback target.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "forwarding/reply_framing.h"
#include "platform/platform.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"

namespace {

// The variables Apache sets for a browser's GET with a query and a cookie.
void SetTypicalGet(FakeForwarder& forwarder) {
  forwarder.Set("GATEWAY_INTERFACE", "CGI/1.1")
      .Set("SERVER_SOFTWARE", "Apache/2.4")
      .Set("SERVER_NAME", "www.example.com")
      .Set("SERVER_PORT", "443")
      .Set("SERVER_PROTOCOL", "HTTP/1.1")
      .Set("REQUEST_METHOD", "GET")
      .Set("SCRIPT_NAME", "/cgi-bin/nph-gw")
      .Set("PATH_INFO", "/shop/list/items")
      .Set("QUERY_STRING", "category=books&sort=price&page=2")
      .Set("REMOTE_ADDR", "192.0.2.17")
      .Set("HTTP_HOST", "www.example.com")
      .Set("HTTP_USER_AGENT",
           "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0")
      .Set("HTTP_ACCEPT", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8")
      .Set("HTTP_ACCEPT_LANGUAGE", "en-US,en;q=0.5")
      .Set("HTTP_ACCEPT_ENCODING", "gzip, deflate, br")
      .Set("HTTP_COOKIE", "session=4f2a9c81d0e3b7a6; theme=dark; consent=1")
      .Set("HTTP_REFERER", "https://www.example.com/shop/")
      .Set("HTTP_CONNECTION", "keep-alive");
}

void BM_BuildRequestGet(benchmark::State& state) {
  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  SetTypicalGet(forwarder);
  for (auto _ : state) {
    int32_t length = 0;
    char* request = forwarder.BuildRequest(&length, ModeForward);
    benchmark::DoNotOptimize(request);
    if (!request) state.SkipWithError("no request");
    std::free(request);
  }
}
BENCHMARK(BM_BuildRequestGet);

// A form post: the body is read from the input into the request.
void BM_BuildRequestPost(benchmark::State& state) {
  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  SetTypicalGet(forwarder);
  const size_t bodySize = static_cast<size_t>(state.range(0));
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("CONTENT_TYPE", "application/x-www-form-urlencoded")
      .Set("CONTENT_LENGTH", std::to_string(bodySize));
  forwarder.input.assign(bodySize, 'f');
  for (auto _ : state) {
    forwarder.inputOffset = 0;
    int32_t length = 0;
    char* request = forwarder.BuildRequest(&length, ModeForward);
    benchmark::DoNotOptimize(request);
    if (!request) state.SkipWithError("no request");
    std::free(request);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bodySize));
}
BENCHMARK(BM_BuildRequestPost)->Arg(1024)->Arg(1 << 20);

// A reply of `bodySize` bytes behind a header of about 600 bytes.
std::string MakeReply(size_t bodySize, size_t extraHeader = 0) {
  std::string reply =
      "HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\nDate: Sat, 06 Dec 2025 20:00:00 GMT\r\n"
      "Content-Type: text/html; charset=utf-8\r\nLast-Modified: Sat, 06 Dec 2025 19:00:00 GMT\r\n"
      "Connection: close\r\nETag: \"6750b2f0-100000\"\r\nAccept-Ranges: bytes\r\n"
      "Cache-Control: private, max-age=0\r\nVary: Accept-Encoding\r\n"
      "Set-Cookie: session=4f2a9c81d0e3b7a6; Path=/; HttpOnly; Secure; SameSite=Lax\r\n"
      "Set-Cookie: theme=dark; Path=/; Max-Age=31536000\r\n"
      "Content-Security-Policy: default-src 'self'; img-src 'self' data:\r\n"
      "Strict-Transport-Security: max-age=63072000; includeSubDomains\r\n"
      "X-Content-Type-Options: nosniff\r\nX-Frame-Options: SAMEORIGIN\r\n";
  while (extraHeader > 0) {
    std::string line = "X-Filler: " + std::string(70, 'h') + "\r\n";
    reply += line;
    extraHeader = extraHeader > line.size() ? extraHeader - line.size() : 0;
  }
  reply += "Content-Length: " + std::to_string(bodySize) + "\r\n\r\n";
  reply.append(bodySize, 'b');
  return reply;
}

// One scan of a complete 1 MiB reply: only the header is looked at.
void BM_ScanReplyHeader(benchmark::State& state) {
  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  std::string reply = MakeReply(1 << 20);
  for (auto _ : state) {
    int32_t headerLength = 0, status = 0, bodyLength = 0;
    forwarder.ScanReplyHeader(&reply[0], &headerLength, &status, &bodyLength);
    benchmark::DoNotOptimize(headerLength);
    if (bodyLength != (1 << 20)) state.SkipWithError("wrong length");
  }
}
BENCHMARK(BM_ScanReplyHeader);

// The framer as the receive loop drives it: the reply arrives in 2047-byte
// pieces, with a NUL after the bytes so far. range(0): body size; range(1):
// extra header bytes (a large header is rescanned until it is complete).
void BM_ReplyFramerPieces(benchmark::State& state) {
  std::string reply = MakeReply(static_cast<size_t>(state.range(0)),
                                static_cast<size_t>(state.range(1)));
  reply.push_back('\0');
  const int64_t total = static_cast<int64_t>(reply.size()) - 1;
  for (auto _ : state) {
    ReplyFramer framer(false);
    ReplyFramer::State result = ReplyFramer::State::kNeedMore;
    for (int64_t length = 0; length < total && result == ReplyFramer::State::kNeedMore;) {
      length = length + 2047 < total ? length + 2047 : total;
      char saved = reply[static_cast<size_t>(length)];
      reply[static_cast<size_t>(length)] = '\0';
      result = framer.Update(&reply[0], length);
      reply[static_cast<size_t>(length)] = saved;
    }
    if (result != ReplyFramer::State::kComplete) state.SkipWithError("not complete");
  }
}
BENCHMARK(BM_ReplyFramerPieces)->Args({1 << 20, 0})->Args({1024, 60 * 1024});

// One whole exchange: connect, send, receive until the reply is complete.
// The target is a thread of this process, so its time is counted too.
void BM_ExchangeWithTarget(benchmark::State& state) {
  const std::string reply = MakeReply(static_cast<size_t>(state.range(0)));
  ScriptedTarget target;
  target.Send(reply).Close();
  target.Start(1 << 30);
  ForwardSettings settings = DefaultSettings(target.Port());
  FakeForwarder forwarder(settings);
  SetTypicalGet(forwarder);
  int32_t requestLength = 0;
  char* request = forwarder.BuildRequest(&requestLength, ModeForward);
  for (auto _ : state) {
    int32_t replyLength = 0, status = 0;
    char* got = forwarder.ExchangeWithTarget(request, requestLength, &replyLength, &status);
    if (!got || replyLength != static_cast<int32_t>(reply.size())) {
      state.SkipWithError("exchange failed");
    }
    std::free(got);
  }
  std::free(request);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_ExchangeWithTarget)->Arg(1024)->Arg(1 << 20)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  platform::StartProcess();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  platform::StopProcess();
  return 0;
}
