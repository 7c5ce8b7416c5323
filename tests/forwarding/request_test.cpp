// The request the target gets, rebuilt from CGI variables and the body.
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/owned_buffer.h"
#include "tests/support/fake_forwarder.h"

namespace {

const char kFailed[] = "<no request>";
const char kHost[] = "Host: 127.0.0.1:8080\r\n\r\n";

struct RequestCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> variables;
  std::string body;
  std::string expected;  // the whole request, or kFailed
  void (*configure)(ForwardSettings&) = nullptr;
  ForwardMode mode = ModeForward;
};

void OtherHeaders(ForwardSettings& s) { s.forwardOtherHeaders = 1; }
void BothHeaderSettings(ForwardSettings& s) { s.forwardOtherHeaders = s.addForwardedHeaders = 1; }
void ForwardedHeaders(ForwardSettings& s) { s.addForwardedHeaders = 1; }
void PassAuthorization(ForwardSettings& s) { s.passAuthorization = 1; }
void Http11(ForwardSettings& s) { s.targetHttp11 = 1; }
void Http11Unset(ForwardSettings& s) { s.targetHttp11 = kTargetHttp11Unset; }
void SocketTarget(ForwardSettings& s) { std::strcpy(s.targetSocket, "/home/me/app.sock"); }
void NamedSocketTarget(ForwardSettings& s) {
  SocketTarget(s);
  std::strcpy(s.targetServer, "www.example.com");
}

std::string Build(FakeForwarder& forwarder, ForwardMode mode) {
  int32_t length = -1;
  OwnedBuffer request(forwarder.BuildRequest(&length, mode));
  if (!request) return length == 0 ? kFailed : "<length set on failure>";
  EXPECT_EQ('\0', request.get()[length]);
  return std::string(request.get(), static_cast<size_t>(length));
}

const RequestCase kRequests[] = {
    {"MappedRowsInOrderHopByHopDropped",
     {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/shop/item"}, {"QUERY_STRING", "id=7&x=%20y z"},
      {"HTTP_COOKIE", "a=1"}, {"HTTP_USER_AGENT", "ua"}, {"HTTP_ACCEPT", "*/*"},
      {"REMOTE_USER", "alice"}, {"HTTP_AUTHORIZATION", "Basic eA=="}, {"HTTP_HOST", "www"},
      {"HTTP_CONNECTION", "keep-alive"}, {"HTTP_UPGRADE", "websocket"}, {"HTTP_TE", "trailers"},
      {"HTTP_TRAILER", "X"}, {"HTTP_TRANSFER_ENCODING", "chunked"}, {"CONTENT_LENGTH", "0"}},
     "",
     "GET /shop/item?id=7&x=%20y%20z HTTP/1.0\r\nAccept: */*\r\nAuthorization: alice\r\n"
     "Proxy-Authorization: Basic eA==\r\nUser-Agent: ua\r\nCookie: a=1\r\n" +
         std::string(kHost)},
    {"BodyDeclaredByTheNumberRead",
     {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", " +5"}, {"CONTENT_TYPE", "text/plain"}},
     std::string("he\0lo", 5),
     "POST / HTTP/1.0\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n" + std::string(kHost) +
         std::string("he\0lo", 5)},
    {"EmptyOrNegativeBodyHasNoContentRows",
     {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "-5"}, {"CONTENT_TYPE", "text/plain"}},
     "xyz", "POST / HTTP/1.0\r\n" + std::string(kHost)},
    {"ShortBodyBuildsNothing",
     {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}}, "abc", kFailed},
    {"DechunkedUploadGetsItsLength",
     {{"REQUEST_METHOD", "PUT"}, {"HTTP_TRANSFER_ENCODING", "chunked"}, {"CONTENT_TYPE", "a/b"}},
     "abcdef", "PUT / HTTP/1.0\r\nContent-Length: 6\r\nContent-Type: a/b\r\n" +
                   std::string(kHost) + "abcdef"},
    {"EmptyDechunkedUploadHasNoContentRows",
     {{"REQUEST_METHOD", "PUT"}, {"HTTP_TRANSFER_ENCODING", "chunked"}, {"CONTENT_TYPE", "a/b"}},
     "", "PUT / HTTP/1.0\r\n" + std::string(kHost)},
    {"LineBreaksNeverStartALine",
     {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/a\r\nb"}, {"QUERY_STRING", "q=\r\n"},
      {"HTTP_USER_AGENT", "a\r\nX-Evil: 1"}},
     "", "GET /a%0D%0Ab?q=%0D%0A HTTP/1.0\r\nUser-Agent: a  X-Evil: 1\r\n" + std::string(kHost)},
    {"MethodThatIsNotATokenBuildsNothing",
     {{"REQUEST_METHOD", "GET /admin HTTP/1.1"}, {"PATH_INFO", "/public"}}, "", kFailed},
    {"MethodWithLineBreakBuildsNothing", {{"REQUEST_METHOD", "GET\r\nX: y"}}, "", kFailed},
    {"NoMethodBuildsNothing", {{"PATH_INFO", "/"}}, "", kFailed},
    {"EmptyMethodStillBuilds", {{"REQUEST_METHOD", ""}}, "", " / HTTP/1.0\r\n" + std::string(kHost)},
    {"ExtensionMethodIsKeptEmptyPathIsRoot", {{"REQUEST_METHOD", "M-SEARCH"}, {"PATH_INFO", ""}}, "",
     "M-SEARCH / HTTP/1.0\r\n" + std::string(kHost)},
    {"OtherHeadersSortedWithoutDangerousOnes",
     {{"REQUEST_METHOD", "GET"}, {"HTTP_X_REQUESTED_WITH", "XMLHttpRequest"}, {"HTTP_DNT", "1"},
      {"HTTP_ACCEPT", "a"}, {"HTTP_X_ORIGINAL_URL", "/admin"}, {"HTTP_X_REWRITE_URL", "/admin"},
      {"HTTP_KEEP_ALIVE", "300"}, {"HTTP_PROXY_CONNECTION", "keep-alive"}, {"HTTP_PROXY", "evil"},
      {"HTTP_HTTP2_SETTINGS", "AAA"}, {"HTTP_X_lower", "1"}, {"HTTP_", "1"}, {"HTTP_HOST", "www"},
      {"HTTP_X_REAL_IP", "6.6.6.6"}, {"HTTP_X_A", "1\r\n2"}, {"HTTP_AUTHORIZATION", "Basic a"}, {"HTTP_X_B09", "9"},
      {"HTTP_PROXY_AUTHORIZATION", "Basic b"}, {"HTTP_REMOTE_USER", "root"},
      {"HTTP_X_REMOTE_USER", "root"}, {"HTTP_X_FORWARDED_USER", "root"},
      {"HTTP_X_AUTHENTICATED_USER", "root"}, {"HTTP_X_FORWARDED_PORT", "1"},
      {"HTTP_FORWARDED", "for=evil"}},
     "",
     "GET / HTTP/1.0\r\nAccept: a\r\nProxy-Authorization: Basic a\r\nDnt: 1\r\nX-A: 1  2\r\nX-B09: 9\r\n"
     "X-Requested-With: XMLHttpRequest\r\n" + std::string(kHost),
     OtherHeaders},
    {"ForwardedHeadersReplaceTheClientsClaims",
     {{"REQUEST_METHOD", "GET"}, {"REMOTE_ADDR", "10.0.0.9"}, {"HTTP_X_FORWARDED_FOR", "1.1.1.1"},
      {"HTTP_HOST", "www.example.org"}, {"HTTPS", "on"}, {"HTTP_FORWARDED", "for=evil"},
      {"HTTP_X_REAL_IP", "6.6.6.6"}, {"HTTP_X_FORWARDED_PROTO", "http"}},
     "",
     "GET / HTTP/1.0\r\nX-Forwarded-For: 1.1.1.1, 10.0.0.9\r\nX-Forwarded-Host: www.example.org\r\n"
     "X-Forwarded-Proto: https\r\n" + std::string(kHost),
     BothHeaderSettings},
    {"ForwardedHeadersWithoutClaimsOrHost",
     {{"REQUEST_METHOD", "GET"}, {"HTTPS", "off"}, {"REMOTE_ADDR", "10.0.0.9"}}, "",
     "GET / HTTP/1.0\r\nX-Forwarded-For: 10.0.0.9\r\nX-Forwarded-Proto: http\r\n" +
         std::string(kHost),
     ForwardedHeaders},
    {"EchoShowsHostInItsRowAndCredentialsBySize",
     {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "rel"}, {"SERVER_NAME", "web\r\nhost"}, {"HTTP_ACCEPT", "a"},
      {"HTTP_USER_AGENT", "u"}, {"HTTP_COOKIE", "sid=secret"}, {"HTTP_AUTHORIZATION", "Basic eA=="},
      {"REMOTE_USER", "ann"}},
     "", "GET /rel HTTP/1.0\r\nAccept: a\r\nAuthorization: (3 bytes)\r\nHost: web  host\r\n"
     "Proxy-Authorization: (10 bytes)\r\nUser-Agent: u\r\nCookie: (10 bytes)\r\n\r\n", nullptr,
     ModeEcho},
    {"TargetProbeIsAPlainGet",
     {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/x"}, {"CONTENT_LENGTH", "3"}}, "abc",
     "GET / HTTP/1.0\r\n" + std::string(kHost), nullptr, ModeTargetTest},
    {"PassAuthorizationSendsTheBrowsersOwnOnly",
     {{"REQUEST_METHOD", "GET"}, {"HTTP_AUTHORIZATION", "Bearer a\r\nX: 1"}, {"REMOTE_USER", "alice"},
      {"REDIRECT_HTTP_AUTHORIZATION", "Basic old"}},
     "", "GET / HTTP/1.0\r\nAuthorization: Bearer a  X: 1\r\n" + std::string(kHost), PassAuthorization},
    {"PassAuthorizationAfterARewrite",
     {{"REQUEST_METHOD", "GET"}, {"REDIRECT_HTTP_AUTHORIZATION", "Basic YTpi"}, {"REMOTE_USER", "alice"}},
     "", "GET / HTTP/1.0\r\nAuthorization: Basic YTpi\r\n" + std::string(kHost), PassAuthorization},
    // HTTP/1.1 keeps a connection open unless told: the gateway's is closed
    // after one reply. The echo shows the request as it goes.
    {"Http11ClosesTheConnection", {{"REQUEST_METHOD", "GET"}, {"HTTP_CONNECTION", "keep-alive"}}, "",
     "GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nConnection: close\r\n\r\n", Http11},
    {"EchoShowsHttp11", {{"REQUEST_METHOD", "GET"}, {"SERVER_NAME", "web"}}, "",
     "GET / HTTP/1.1\r\nHost: web\r\nConnection: close\r\n\r\n", Http11, ModeEcho},
    {"Http11UnsetIsOff", {{"REQUEST_METHOD", "GET"}}, "", "GET / HTTP/1.0\r\n" + std::string(kHost),
     Http11Unset},
    {"SocketTargetIsLocalhost", {{"REQUEST_METHOD", "GET"}}, "",
     "GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", SocketTarget},
    {"SocketTargetNamedByTargetServer", {{"REQUEST_METHOD", "GET"}}, "",
     "GET / HTTP/1.0\r\nHost: www.example.com\r\n\r\n", NamedSocketTarget},
};

class Requests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Requests, AreRebuiltExactly) {
  const RequestCase& c = GetParam();
  ForwardSettings settings = DefaultSettings(8080);
  if (c.configure) c.configure(settings);
  FakeForwarder forwarder(settings);
  for (const auto& variable : c.variables) forwarder.Set(variable.first, variable.second);
  forwarder.input = c.body;
  forwarder.maxReadSize = 2;  // the body arrives in many short reads
  EXPECT_EQ(c.expected, Build(forwarder, c.mode));
  EXPECT_TRUE(forwarder.CopiesBalanced());
}

INSTANTIATE_TEST_SUITE_P(Table, Requests, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return std::string(info.param.name); });

// The port is left out when it is the scheme's own; a TLS target's server
// name, when set, is its virtual host. With PreserveHost the browser's Host
// stands in for them, when it is a plain host and port.
TEST(Requests, HostLineNamesTheTarget) {
  struct Case {
    bool tls;
    uint16_t port;
    const char* serverName;
    const char* host;
    const char* browserHost = nullptr;  // PreserveHost=1 with this HTTP_HOST
  };
  const Case kCases[] = {{false, 80, "", "app.internal"},   {false, 443, "", "app.internal:443"},
                         {true, 443, "", "app.internal"},   {true, 80, "", "app.internal:80"},
                         {true, 8443, "vh.test", "vh.test:8443"}, {false, 80, "vh.test", "app.internal"},
                         {true, 443, "vh.test", "Www.Example.com:8443", "Www.Example.com:8443"},
                         {false, 80, "", "[::1]:8080", "[::1]:8080"}, {false, 80, "", "[::]", "[::]"},
                         {false, 80, "", "10.0.0.1", "10.0.0.1"},
                         {false, 80, "", "xn--bcher-kva.example", "xn--bcher-kva.example"},
                         {false, 80, "", "app.internal", ""},
                         {false, 80, "", "app.internal", "evil.example/x"},
                         {false, 80, "", "app.internal", "user@evil.example"},
                         {false, 80, "", "app.internal", "a.example, b.example"},
                         {false, 80, "", "app.internal", "a.example:"},
                         {false, 80, "", "app.internal", "a.example:123456"},
                         {false, 80, "", "app.internal", "[::1"}, {false, 80, "", "app.internal", "[:]"},
                         {false, 80, "", "app.internal", "a.example\r\nX: 1"}};
  for (const Case& c : kCases) {
    ForwardSettings settings = DefaultSettings(c.port);
    std::strcpy(settings.targetName, "app.internal");
    std::strcpy(settings.tlsServerName, c.serverName);
    settings.targetTls = c.tls;
    settings.preserveHost = c.browserHost != nullptr;
    FakeForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", "GET").Set("HTTP_HOST", c.browserHost ? c.browserHost : "www");
    EXPECT_EQ(std::string("GET / HTTP/1.0\r\nHost: ") + c.host + "\r\n\r\n",
              Build(forwarder, ModeForward));
    EXPECT_TRUE(forwarder.CopiesBalanced());
  }
}

// A forwarder that cannot list its variables forwards only the mapped rows.
TEST(Requests, OtherHeadersNeedAForwarderThatListsVariables) {
  struct Unlisting : FakeForwarder {
    using FakeForwarder::FakeForwarder;
    bool VariableNameAt(int32_t index, char* name, int32_t size) override {
      return CgiForwarder::VariableNameAt(index, name, size);
    }
  };
  ForwardSettings settings = DefaultSettings(8080);
  settings.forwardOtherHeaders = 1;
  Unlisting forwarder(settings);
  forwarder.Set("REQUEST_METHOD", "GET").Set("HTTP_X_A", "1").Set("HTTP_ACCEPT", "a");
  EXPECT_EQ("GET / HTTP/1.0\r\nAccept: a\r\n" + std::string(kHost), Build(forwarder, ModeForward));
}

// Every request target must be a valid RFC 3986 path, and decode back to the
// bytes the web server handed over.
TEST(Requests, PathsGoOutAsValidRequestTargets) {
  const std::regex kAbsolutePath("(/([A-Za-z0-9._~!$&'()*+,;=:@-]|%[0-9A-F]{2})*)+");
  const std::string kAwkward[] = {
      "/a b",        "/files/a|b", "/\\admin",       "/100%",  "/caf\xC3\xA9",
      "/\"<>^`{|}",  "/a?b#c",     "/tab\there",     "/\x7F",  "/;x=1/a:b@c!$&'()*+,=~",
      "//x/./../y",  "/%2e%2E",    "/\x01\x1F\xFF",  "/[v6]"};
  for (const std::string& path : kAwkward) {
    ForwardSettings settings = DefaultSettings(8080);
    FakeForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", path);
    std::string request = Build(forwarder, ModeForward);
    std::string target = request.substr(4, request.find(" HTTP/1.0\r\n") - 4);
    EXPECT_TRUE(std::regex_match(target, kAbsolutePath)) << target;
    std::string decoded;
    for (size_t at = 0; at < target.size(); ++at) {
      if (target[at] != '%') {
        decoded += target[at];
        continue;
      }
      decoded += static_cast<char>(std::stoi(target.substr(at + 1, 2), nullptr, 16));
      at += 2;
    }
    EXPECT_EQ(path, decoded);
  }
}

}  // namespace
