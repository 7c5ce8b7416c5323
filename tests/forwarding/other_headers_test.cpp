// Headers beyond the header map ("ForwardOtherHeaders") and the client's own
// address and scheme ("AddForwardedHeaders") in the rebuilt request.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "forwarding/request_body.h"
#include "tests/support/checked_forwarder.h"

namespace {

std::string BuildText(CgiForwarder& forwarder, ForwardMode mode = ModeForward) {
  int32_t length = 0;
  char* request = forwarder.BuildRequest(&length, mode);
  if (!request) return "<not built>";
  std::string text(request, static_cast<size_t>(length));
  std::free(request);
  return text;
}

std::string HeadText(CgiForwarder& forwarder) {
  RequestBody body;
  int32_t length = 0;
  char* head = forwarder.BuildRequestHead(&length, ModeForward, &body);
  if (!head) return "<not built>";
  std::string text(head, static_cast<size_t>(length));
  std::free(head);
  return text;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Lists its variables last to first, as an environment in another order would.
class ReversedForwarder : public CheckedForwarder {
 public:
  using CheckedForwarder::CheckedForwarder;
  bool VariableNameAt(int32_t index, char* name, int32_t size) override {
    int32_t count = static_cast<int32_t>(variables.size());
    if (index < 0 || index >= count) return false;
    return CheckedForwarder::VariableNameAt(count - 1 - index, name, size);
  }
};

class HeaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(forwarder.live.empty()) << "a variable copy was not handed back";
    EXPECT_EQ(0, forwarder.foreignFrees);
  }
  // The variables a present-day browser request brings.
  void BrowserRequest(CheckedForwarder& gateway) {
    gateway.Set("REQUEST_METHOD", "POST")
        .Set("PATH_INFO", "/api/items")
        .Set("HTTP_ACCEPT", "application/json")
        .Set("HTTP_COOKIE", "sid=1")
        .Set("HTTP_X_REQUESTED_WITH", "XMLHttpRequest")
        .Set("HTTP_ORIGIN", "https://www.example.org")
        .Set("HTTP_DEPTH", "1")
        .Set("HTTP_DESTINATION", "http://www.example.org/dav/b.txt")
        .Set("HTTP_HOST", "www.example.org")
        .Set("REMOTE_ADDR", "203.0.113.7")
        .Set("SERVER_NAME", "www.example.org");
  }

  ForwardSettings settings = DefaultSettings(8080);
  CheckedForwarder forwarder{settings};
};

class OtherHeaders : public HeaderTest {};
class ForwardedHeaders : public HeaderTest {};

// --- ForwardOtherHeaders ---------------------------------------------------------

TEST_F(OtherHeaders, OffForwardsTheMappedRowsOnly) {
  BrowserRequest(forwarder);
  EXPECT_EQ(
      "POST /api/items HTTP/1.0\r\nAccept: application/json\r\nCookie: sid=1\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(OtherHeaders, OnForwardsUnmappedVariablesSortedBetweenTheMapAndHost) {
  settings.forwardOtherHeaders = 1;
  BrowserRequest(forwarder);
  EXPECT_EQ(
      "POST /api/items HTTP/1.0\r\nAccept: application/json\r\nCookie: sid=1\r\n"
      "Depth: 1\r\n"
      "Destination: http://www.example.org/dav/b.txt\r\n"
      "Origin: https://www.example.org\r\n"
      "X-Requested-With: XMLHttpRequest\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(OtherHeaders, OrderDoesNotDependOnTheEnvironmentsOrder) {
  settings.forwardOtherHeaders = 1;
  ReversedForwarder reversed(settings);
  BrowserRequest(reversed);
  BrowserRequest(forwarder);
  EXPECT_EQ(BuildText(forwarder), BuildText(reversed));
  EXPECT_TRUE(reversed.live.empty());
}

TEST_F(OtherHeaders, NamesAreRebuiltWordByWord) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("HTTP_X_CSRF_TOKEN", "t")
      .Set("HTTP_DNT", "1")
      .Set("HTTP_X_B3_TRACEID", "abc")
      .Set("HTTP_SEC_FETCH_MODE", "cors");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nDnt: 1\r\nSec-Fetch-Mode: cors\r\nX-B3-Traceid: abc\r\n"
      "X-Csrf-Token: t\r\nHost: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(OtherHeaders, VariablesThatMustNotReachTheTargetAreNeverForwarded) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("CONTENT_LENGTH", "2")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("HTTP_HOST", "www.example.org")
      .Set("HTTP_PROXY", "http://attacker.example:3128")
      .Set("HTTP_PROXY_CONNECTION", "keep-alive")
      .Set("HTTP_KEEP_ALIVE", "300")
      .Set("HTTP_TRANSFER_ENCODING", "chunked")
      .Set("HTTP_CONTENT_LENGTH", "999")
      .Set("HTTP_CONTENT_TYPE", "text/evil")
      .Set("REMOTE_ADDR", "203.0.113.7")
      .Set("SERVER_NAME", "www.example.org");
  forwarder.input = "ok";
  EXPECT_EQ(
      "POST / HTTP/1.0\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n"
      "Host: 127.0.0.1:8080\r\n\r\nok",
      BuildText(forwarder));
}

TEST_F(OtherHeaders, MappedVariablesAppearOnceInTheirRow) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("HTTP_ACCEPT", "*/*")
      .Set("HTTP_AUTHORIZATION", "Basic eA==")  // the map's Proxy-Authorization
      .Set("HTTP_PROXY_AUTHENTIFICATION", "x")
      .Set("HTTP_CONNECTION", "close")
      .Set("HTTP_COOKIE", "a=1")
      .Set("HTTP_USER_AGENT", "UA");
  std::string text = BuildText(forwarder);
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nAccept: */*\r\nConnection: close\r\nProxy-Authenticate: x\r\n"
      "Proxy-Authorization: Basic eA==\r\nUser-Agent: UA\r\nCookie: a=1\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      text);
}

TEST_F(OtherHeaders, LineBreaksInValuesBecomeBlanks) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("HTTP_ORIGIN", "https://a.example\r\nX-Injected: 1")
      .Set("HTTP_X_EMPTY", "")
      .Set("HTTP_X_LF", "a\nb\rc");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nOrigin: https://a.example  X-Injected: 1\r\nX-Empty: \r\n"
      "X-Lf: a b c\r\nHost: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(OtherHeaders, OddNamesAreSkipped) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("HTTP_x_lower", "1")
      .Set("HTTP_X_Mixed", "1")
      .Set("HTTP_X-DASH", "1")
      .Set("HTTP_X.DOT", "1")
      .Set("HTTP_X Y", "1")
      .Set("HTTP_X\xC3\x84", "1")
      .Set("HTTP_", "1")
      .Set("http_x_lower", "1")
      .Set("HTTPX_Y", "1")
      .Set("XHTTP_Y", "1")
      .Set("HTTP_X_" + std::string(200, 'A'), "too long to list")
      .Set("HTTP_X_OK2", "kept");
  EXPECT_EQ("GET / HTTP/1.0\r\nX-Ok2: kept\r\nHost: 127.0.0.1:8080\r\n\r\n", BuildText(forwarder));
}

TEST_F(OtherHeaders, AtMostSixtyFourAreForwarded) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET");
  for (int i = 0; i < 100; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "HTTP_X_N%03d", i);
    forwarder.Set(name, "v");
  }
  std::string text = BuildText(forwarder);
  EXPECT_EQ(64u, Count(text, "\r\nX-N"));
  EXPECT_NE(std::string::npos, text.find("\r\nX-N000: v\r\n"));
  EXPECT_EQ(std::string::npos, text.find("X-N064")) << "the first 64 listed are taken";
  EXPECT_NE(std::string::npos, text.find("X-N063: v\r\nHost: 127.0.0.1:8080\r\n\r\n"));
}

TEST_F(OtherHeaders, EchoShowsThemToo) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/~~echo")
      .Set("SERVER_NAME", "webhost")
      .Set("HTTP_HOST", "webhost")
      .Set("HTTP_ORIGIN", "http://webhost");
  forwarder.HandleRequest("1.0.0");
  const std::string body = "GET /~~echo HTTP/1.0\r\nHost: webhost\r\nOrigin: http://webhost\r\n\r\n";
  EXPECT_EQ("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body,
            forwarder.output);
}

TEST_F(OtherHeaders, StreamedHeadCarriesTheSameHeaders) {
  settings.forwardOtherHeaders = 1;
  settings.addForwardedHeaders = 1;
  BrowserRequest(forwarder);
  forwarder.Set("CONTENT_LENGTH", "4").Set("CONTENT_TYPE", "text/plain");
  forwarder.input = "body";
  std::string head = HeadText(forwarder);
  EXPECT_EQ(0, forwarder.reads) << "the streamed head leaves the body on the input";
  EXPECT_EQ(BuildText(forwarder), head + "body");
}

TEST_F(OtherHeaders, NothingIsListedWhenTheForwarderCannotListVariables) {
  // The base forwarder lists no variables: the request is the mapped one.
  settings.forwardOtherHeaders = 1;
  struct Unlisting : CheckedForwarder {
    using CheckedForwarder::CheckedForwarder;
    bool VariableNameAt(int32_t, char*, int32_t) override { return false; }
  } gateway(settings);
  BrowserRequest(gateway);
  EXPECT_EQ(
      "POST /api/items HTTP/1.0\r\nAccept: application/json\r\nCookie: sid=1\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      BuildText(gateway));
}

// --- AddForwardedHeaders -------------------------------------------------------

TEST_F(ForwardedHeaders, OffAddsNothing) {
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("REMOTE_ADDR", "203.0.113.7")
      .Set("HTTP_HOST", "www.example.org")
      .Set("HTTPS", "on")
      .Set("HTTP_X_FORWARDED_FOR", "10.0.0.1");
  EXPECT_EQ("GET / HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", BuildText(forwarder));
}

TEST_F(ForwardedHeaders, OnNamesTheClientTheHostAndTheScheme) {
  settings.addForwardedHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("HTTP_ACCEPT", "*/*")
      .Set("REMOTE_ADDR", "203.0.113.7")
      .Set("HTTP_HOST", "www.example.org:8443");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nAccept: */*\r\nX-Forwarded-For: 203.0.113.7\r\n"
      "X-Forwarded-Host: www.example.org:8443\r\nX-Forwarded-Proto: http\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(ForwardedHeaders, ClientIsAppendedToAnIncomingChain) {
  settings.addForwardedHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("REMOTE_ADDR", "203.0.113.7")
      .Set("HTTP_X_FORWARDED_FOR", "10.0.0.1, 10.0.0.2");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nX-Forwarded-For: 10.0.0.1, 10.0.0.2, 203.0.113.7\r\n"
      "X-Forwarded-Proto: http\r\nHost: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(ForwardedHeaders, MissingVariablesLeaveTheirLinesOut) {
  settings.addForwardedHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET");
  EXPECT_EQ("GET / HTTP/1.0\r\nX-Forwarded-Proto: http\r\nHost: 127.0.0.1:8080\r\n\r\n",
            BuildText(forwarder));
  CheckedForwarder chainOnly(settings);
  chainOnly.Set("REQUEST_METHOD", "GET").Set("HTTP_X_FORWARDED_FOR", "10.0.0.1");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nX-Forwarded-For: 10.0.0.1\r\nX-Forwarded-Proto: http\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      BuildText(chainOnly));
}

TEST_F(ForwardedHeaders, SchemeIsHttpsOnlyWhenHttpsIsOn) {
  settings.addForwardedHeaders = 1;
  const struct {
    const char* value;  // nullptr: not set
    const char* scheme;
  } cases[] = {{"on", "https"}, {"ON", "https"}, {"On", "https"}, {"oN", "https"},
               {"off", "http"}, {"1", "http"},   {"", "http"},    {"onn", "http"},
               {" on", "http"}, {nullptr, "http"}};
  for (const auto& c : cases) {
    CheckedForwarder gateway(settings);
    gateway.Set("REQUEST_METHOD", "GET");
    if (c.value) gateway.Set("HTTPS", c.value);
    std::string text = BuildText(gateway);
    EXPECT_NE(std::string::npos, text.find(std::string("\r\nX-Forwarded-Proto: ") + c.scheme + "\r\n"))
        << (c.value ? c.value : "(not set)") << "\n" << text;
  }
}

TEST_F(ForwardedHeaders, LineBreaksInValuesBecomeBlanks) {
  settings.addForwardedHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("REMOTE_ADDR", "1.2.3.4\r\nX-Evil: 1")
      .Set("HTTP_X_FORWARDED_FOR", "5.6.7.8\n")
      .Set("HTTP_HOST", "h\r.example");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nX-Forwarded-For: 5.6.7.8 , 1.2.3.4  X-Evil: 1\r\n"
      "X-Forwarded-Host: h .example\r\nX-Forwarded-Proto: http\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      BuildText(forwarder));
}

TEST_F(ForwardedHeaders, WithOtherHeadersEachForwardedLineAppearsOnce) {
  settings.addForwardedHeaders = 1;
  settings.forwardOtherHeaders = 1;
  BrowserRequest(forwarder);
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("HTTP_X_FORWARDED_FOR", "10.0.0.1")
      .Set("HTTP_X_FORWARDED_HOST", "spoofed.example")
      .Set("HTTP_X_FORWARDED_PROTO", "https")
      .Set("HTTP_X_FORWARDED_PORT", "443");
  std::string text = BuildText(forwarder);
  EXPECT_EQ(
      "GET /api/items HTTP/1.0\r\nAccept: application/json\r\nCookie: sid=1\r\n"
      "Depth: 1\r\nDestination: http://www.example.org/dav/b.txt\r\n"
      "Origin: https://www.example.org\r\nX-Forwarded-Port: 443\r\n"
      "X-Requested-With: XMLHttpRequest\r\n"
      "X-Forwarded-For: 10.0.0.1, 203.0.113.7\r\nX-Forwarded-Host: www.example.org\r\n"
      "X-Forwarded-Proto: http\r\nHost: 127.0.0.1:8080\r\n\r\n",
      text);
}

TEST_F(ForwardedHeaders, WithoutThemAnIncomingChainPassesAsAnOtherHeader) {
  settings.forwardOtherHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("REMOTE_ADDR", "203.0.113.7")
      .Set("HTTP_X_FORWARDED_FOR", "10.0.0.1");
  EXPECT_EQ("GET / HTTP/1.0\r\nX-Forwarded-For: 10.0.0.1\r\nHost: 127.0.0.1:8080\r\n\r\n",
            BuildText(forwarder));
}

TEST_F(ForwardedHeaders, EchoShowsThem) {
  settings.addForwardedHeaders = 1;
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("REMOTE_ADDR", "203.0.113.7")
      .Set("HTTPS", "on")
      .Set("SERVER_NAME", "webhost");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\nHost: webhost\r\nX-Forwarded-For: 203.0.113.7\r\n"
      "X-Forwarded-Proto: https\r\n\r\n",
      BuildText(forwarder, ModeEcho));
}

}  // namespace
