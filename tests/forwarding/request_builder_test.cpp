// Rebuilding the browser's request from CGI variables and the body.
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/checked_forwarder.h"

namespace {

struct Built {
  bool made = false;
  std::string text;
  int32_t length = -1;
};

Built BuildWith(CgiForwarder& forwarder, ForwardMode mode) {
  Built built;
  char* request = forwarder.BuildRequest(&built.length, mode);
  built.made = request != nullptr;
  if (request) {
    built.text.assign(request, static_cast<size_t>(built.length));
    EXPECT_EQ('\0', request[built.length]) << "the request must end in a NUL";
    std::free(request);
  }
  return built;
}

// The header part of a request: everything up to and including the blank line.
std::string HeadOf(const std::string& request) {
  size_t end = request.find("\r\n\r\n");
  return end == std::string::npos ? request : request.substr(0, end + 4);
}

// The head must be made of `lines` CRLF-ended lines (request line and headers)
// and a blank line, with no CR or LF anywhere else.
void ExpectHeadLines(const std::string& head, size_t lines) {
  size_t crlf = 0;
  for (size_t at = 0; at < head.size(); ++at) {
    if (head[at] == '\r') {
      ASSERT_LT(at + 1, head.size());
      ASSERT_EQ('\n', head[at + 1]) << "lone CR at " << at << " in:\n" << head;
      ++crlf;
      ++at;
    } else {
      ASSERT_NE('\n', head[at]) << "lone LF at " << at << " in:\n" << head;
    }
  }
  EXPECT_EQ(lines + 1, crlf) << head;
}

class BuilderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(forwarder.live.empty()) << "a variable copy was not handed back";
    EXPECT_EQ(0, forwarder.foreignFrees) << "released a text it did not get";
  }

  Built Build(ForwardMode mode = ModeForward) {
    return BuildWith(forwarder, mode);
  }

  ForwardSettings settings = DefaultSettings(8080);
  CheckedForwarder forwarder{settings};
  bool probed = false;
};

class BuildRequestLine : public BuilderTest {};
class BuildRequestHeaders : public BuilderTest {};
class BuildRequestBody : public BuilderTest {};
class BuildRequestInjection : public BuilderTest {};

// --- request line and Host line ---------------------------------------------

TEST_F(BuildRequestLine, GetWithQueryToTargetOnPort8080) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a").Set("QUERY_STRING", "x=1");
  Built built = Build();
  const std::string expected = "GET /a?x=1 HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n";
  ASSERT_TRUE(built.made);
  EXPECT_EQ(expected, built.text);
  EXPECT_EQ(static_cast<int32_t>(expected.size()), built.length);
}

TEST_F(BuildRequestLine, HostLineNamesTargetAndOmitsPort80) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a").Set("QUERY_STRING", "x=1");
  settings.targetPort = 80;
  EXPECT_EQ("GET /a?x=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", Build().text);

  std::strcpy(settings.targetName, "backend.example");
  EXPECT_EQ("GET /a?x=1 HTTP/1.0\r\nHost: backend.example\r\n\r\n", Build().text);
  settings.targetPort = 65535;
  EXPECT_EQ("GET /a?x=1 HTTP/1.0\r\nHost: backend.example:65535\r\n\r\n", Build().text);
}

TEST_F(BuildRequestLine, EmptyQueryStringIsNoQuery) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a").Set("QUERY_STRING", "");
  EXPECT_EQ("GET /a HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", Build().text);
}

TEST_F(BuildRequestLine, MissingPathInfoIsRootButEmptyPathInfoIsEmpty) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("QUERY_STRING", "q");
  EXPECT_EQ("GET /?q HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", Build().text);

  forwarder.Set("PATH_INFO", "").Set("QUERY_STRING", "");
  EXPECT_EQ("GET  HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", Build().text);
}

TEST_F(BuildRequestLine, EmptyMethodIsStillARequest) {
  forwarder.Set("REQUEST_METHOD", "").Set("PATH_INFO", "/a");
  Built built = Build();
  ASSERT_TRUE(built.made);
  EXPECT_EQ(" /a HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", built.text);
}

TEST_F(BuildRequestLine, NoMethodBuildsNothingAndReadsNoBody) {
  forwarder.Set("PATH_INFO", "/a").Set("CONTENT_LENGTH", "5").Set("HTTP_ACCEPT", "*/*");
  forwarder.input = "hello";
  Built built = Build();
  EXPECT_FALSE(built.made);
  EXPECT_EQ(0, built.length);
  EXPECT_EQ(0, forwarder.reads);
}

TEST_F(BuildRequestLine, DecodedPathIsReencoded) {
  // The web server decodes PATH_INFO; what it decoded must not split the
  // request line or turn into a query or fragment on the way to the target.
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/a b?c#d%e\t\x7F\x80\xFF/~x-y_z.html;p=1:@!$&'()*+,=");
  EXPECT_EQ(
      "GET /a%20b%3Fc%23d%25e%09%7F%80%FF/~x-y_z.html;p=1:@!$&'()*+,= HTTP/1.0\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      Build().text);
}

TEST_F(BuildRequestLine, QueryKeepsItsEncodingAndEscapesOnlyUnsafeBytes) {
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/s")
      .Set("QUERY_STRING", "q=a b&r=%41?#\x7F\xC3\xA9\x01");
  EXPECT_EQ("GET /s?q=a%20b&r=%41?#%7F%C3%A9%01 HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n",
            Build().text);
}

TEST_F(BuildRequestLine, TargetProbeIsGetRootWhateverTheRequest) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/~~target")
      .Set("QUERY_STRING", "x=1")
      .Set("CONTENT_LENGTH", "5")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("HTTP_ACCEPT", "*/*")
      .Set("SERVER_NAME", "webhost")
      .Set("HTTP_TRANSFER_ENCODING", "chunked")
      .Set("HTTP_COOKIE", "id=7");
  forwarder.input = "hello";
  EXPECT_EQ("GET / HTTP/1.0\r\nAccept: */*\r\nCookie: id=7\r\nHost: 127.0.0.1:8080\r\n\r\n",
            Build(ModeTargetTest).text);
  EXPECT_EQ(0, forwarder.reads) << "the probe carries no body";
}

TEST_F(BuildRequestLine, ProbeWorksWithoutAnyVariable) {
  Built built = Build(ModeTargetTest);
  ASSERT_TRUE(built.made);
  EXPECT_EQ("GET / HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", built.text);
}

// --- header lines ----------------------------------------------------------

TEST_F(BuildRequestHeaders, EveryMappedVariableInTableOrder) {
  // Header name and the CGI variable that fills it, in the order they travel.
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"Accept", "HTTP_ACCEPT"},
      {"Accept-Charset", "HTTP_ACCEPT_CHARSET"},
      {"Accept-Encoding", "HTTP_ACCEPT_ENCODING"},
      {"Accept-Language", "HTTP_ACCEPT_LANGUAGE"},
      {"Accept-Ranges", "HTTP_ACCEPT_RANGES"},
      {"Age", "HTTP_AGE"},
      {"Allow", "HTTP_ALLOW"},
      {"Authorization", "REMOTE_USER"},
      {"Cache-Control", "HTTP_CACHE_CONTROL"},
      {"Connection", "HTTP_CONNECTION"},
      {"Content-Encoding", "HTTP_CONTENT_ENCODING"},
      {"Content-Language", "CONTENT_LANGUAGE"},
      {"Content-Length", "CONTENT_LENGTH"},
      {"Content-Location", "HTTP_CONTENT_LOCATION"},
      {"Content-MD5", "HTTP_CONTENT_MD5"},
      {"Content-Range", "HTTP_CONTENT_RANGE"},
      {"Content-Type", "CONTENT_TYPE"},
      {"Date", "HTTP_DATE"},
      {"ETag", "HTTP_ETAG"},
      {"Expect", "HTTP_EXPECT"},
      {"Expires", "HTTP_EXPIRES"},
      {"From", "HTTP_FROM"},
      {"Host", "SERVER_NAME"},
      {"If-Match", "HTTP_IF_MATCH"},
      {"If-Modified-Since", "HTTP_IF_MODIFIED_SINCE"},
      {"If-None-Match", "HTTP_IF_NONE_MATCH"},
      {"If-Range", "HTTP_IF_RANGE"},
      {"If-Unmodified-Since", "HTTP_IF_UNMODIFIED_SINCE"},
      {"Last-Modified", "HTTP_LAST_MODIFIED"},
      {"Location", "HTTP_LOCATION"},
      {"Max-Forwards", "HTTP_MAX_FORWARDS"},
      {"MIME-Version", "HTTP_MIME_VERSION"},
      {"Pragma", "HTTP_PRAGMA"},
      {"Proxy-Authenticate", "HTTP_PROXY_AUTHENTIFICATION"},
      {"Proxy-Authorization", "HTTP_AUTHORIZATION"},
      {"Range", "HTTP_RANGE"},
      {"Referer", "HTTP_REFERER"},
      {"Retry-After", "HTTP_RETRY_AFTER"},
      {"Server", "HTTP_SERVER"},
      {"TE", "HTTP_TE"},
      {"Trailer", "HTTP_TRAILER"},
      {"Transfer-Encoding", "HTTP_TRANSFER_ENCODING"},
      {"Upgrade", "HTTP_UPGRADE"},
      {"User-Agent", "HTTP_USER_AGENT"},
      {"Vary", "HTTP_VARY"},
      {"Via", "HTTP_VIA"},
      {"Warning", "HTTP_WARNING"},
      {"WWW-Authenticate", "HTTP_WWW_AUTHENTICATE"},
      {"Cookie", "HTTP_COOKIE"},
      {"Set-Cookie", "HTTP_SET_COOKIE"},
  };
  ASSERT_EQ(50u, rows.size());
  for (const auto& row : rows) forwarder.Set(row.second, "v-" + row.second);
  forwarder.Set("CONTENT_LENGTH", "3").Set("REQUEST_METHOD", "PUT").Set("PATH_INFO", "/r");
  forwarder.Set("HTTP_HOST", "browser-host").Set("HTTP_X_CUSTOM", "not forwarded");
  forwarder.input = "abc";

  std::string forward = "PUT /r HTTP/1.0\r\n";
  std::string echo = forward;
  for (const auto& row : rows) {
    std::string value = row.second == "CONTENT_LENGTH" ? "3" : "v-" + row.second;
    std::string line = row.first + ": " + value + "\r\n";
    if (row.first == "Transfer-Encoding") continue;  // the body sent is never chunked
    if (row.first != "Host") forward += line;
    echo += line;
  }
  forward += "Host: 127.0.0.1:8080\r\n\r\nabc";
  echo += "\r\nabc";

  EXPECT_EQ(forward, Build(ModeForward).text);
  forwarder.inputOffset = 0;
  EXPECT_EQ(echo, Build(ModeEcho).text);
}

TEST_F(BuildRequestHeaders, EchoTakesHostFromServerNameInItsRowsPlace) {
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/~~echo")
      .Set("HTTP_FROM", "f@x")
      .Set("SERVER_NAME", "webhost")
      .Set("HTTP_IF_MATCH", "\"e\"");
  EXPECT_EQ("GET /~~echo HTTP/1.0\r\nFrom: f@x\r\nHost: webhost\r\nIf-Match: \"e\"\r\n\r\n",
            Build(ModeEcho).text);
  EXPECT_EQ("GET /~~echo HTTP/1.0\r\nFrom: f@x\r\nIf-Match: \"e\"\r\nHost: 127.0.0.1:8080\r\n\r\n",
            Build(ModeForward).text);
}

TEST_F(BuildRequestHeaders, EchoWithoutServerNameHasNoHostLine) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~echo");
  EXPECT_EQ("GET /~~echo HTTP/1.0\r\n\r\n", Build(ModeEcho).text);
}

TEST_F(BuildRequestHeaders, QuirkyPairsAreKeptAsTheyStand) {
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/")
      .Set("REMOTE_USER", "alice")
      .Set("HTTP_AUTHORIZATION", "Basic YWxpY2U6cHc=")
      .Set("CONTENT_LANGUAGE", "de")
      .Set("HTTP_CONTENT_LANGUAGE", "fr")
      .Set("HTTP_PROXY_AUTHENTIFICATION", "Basic realm=x")
      .Set("HTTP_PROXY_AUTHENTICATE", "correctly spelt, not read")
      .Set("HTTP_PROXY_AUTHORIZATION", "not read");
  EXPECT_EQ(
      "GET / HTTP/1.0\r\n"
      "Authorization: alice\r\n"
      "Content-Language: de\r\n"
      "Proxy-Authenticate: Basic realm=x\r\n"
      "Proxy-Authorization: Basic YWxpY2U6cHc=\r\n"
      "Host: 127.0.0.1:8080\r\n\r\n",
      Build().text);
}

TEST_F(BuildRequestHeaders, ValuesTravelVerbatimAndEmptyOnesStillCount) {
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/")
      .Set("HTTP_ACCEPT", "")
      .Set("HTTP_COOKIE", "  a=%20b; c=\xE9  ");
  EXPECT_EQ("GET / HTTP/1.0\r\nAccept: \r\nCookie:   a=%20b; c=\xE9  \r\nHost: 127.0.0.1:8080\r\n\r\n",
            Build().text);
}

TEST_F(BuildRequestHeaders, ContentRowsNeedABody) {
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/f").Set("CONTENT_TYPE", "text/plain");
  forwarder.input = "unread";
  const std::string expected = "POST /f HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n";
  EXPECT_EQ(expected, Build().text) << "CONTENT_LENGTH absent";
  forwarder.Set("CONTENT_LENGTH", "0");
  EXPECT_EQ(expected, Build().text) << "CONTENT_LENGTH 0";
  forwarder.Set("CONTENT_LENGTH", "abc");
  EXPECT_EQ(expected, Build().text) << "CONTENT_LENGTH without a number";
  EXPECT_EQ(0, forwarder.reads);
}

// --- body ----------------------------------------------------------------------

TEST_F(BuildRequestBody, FollowsTheBlankLineWithBothContentRows) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/f")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("CONTENT_LENGTH", "5");
  forwarder.input = "hello";
  const std::string expected =
      "POST /f HTTP/1.0\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n"
      "Host: 127.0.0.1:8080\r\n\r\nhello";
  Built built = Build();
  EXPECT_EQ(expected, built.text);
  EXPECT_EQ(static_cast<int32_t>(expected.size()), built.length);
}

// The target reads the length the gateway sends, never a text it might read
// otherwise than the gateway did.
TEST_F(BuildRequestBody, ContentLengthRowCarriesTheNumberRead) {
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/f").Set("CONTENT_LENGTH", " +05");
  forwarder.input = "helloEXTRA";
  EXPECT_EQ("POST /f HTTP/1.0\r\nContent-Length: 5\r\nHost: 127.0.0.1:8080\r\n\r\nhello",
            Build().text);
  EXPECT_EQ(5u, forwarder.inputOffset) << "nothing beyond the declared length is read";
}

TEST_F(BuildRequestBody, ArrivesWholeThroughManyShortReads) {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += static_cast<char>(i * 7 % 256);  // NULs included
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/up").Set("CONTENT_LENGTH", "100000");
  forwarder.input = body;
  forwarder.maxReadSize = 7;
  Built built = Build();
  ASSERT_TRUE(built.made);
  const std::string head = "POST /up HTTP/1.0\r\nContent-Length: 100000\r\nHost: 127.0.0.1:8080\r\n\r\n";
  ASSERT_EQ(head.size() + body.size(), built.text.size());
  EXPECT_EQ(head, built.text.substr(0, head.size()));
  EXPECT_TRUE(built.text.compare(head.size(), std::string::npos, body) == 0) << "body corrupted";
  EXPECT_GT(forwarder.reads, 1);
}

TEST_F(BuildRequestBody, BodyShorterThanDeclaredBuildsNothing) {
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/f").Set("CONTENT_LENGTH", "10");
  forwarder.input = "abc";
  forwarder.maxReadSize = 1;
  Built built = Build();
  EXPECT_FALSE(built.made);
  EXPECT_EQ(0, built.length);
}

TEST_F(BuildRequestBody, NegativeLengthSendsNoContentRowsAndReadsNothing) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/f")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("CONTENT_LENGTH", "-5");
  forwarder.input = "hello";
  const std::string expected =
      "POST /f HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n";
  Built built = Build();
  EXPECT_EQ(expected, built.text);
  EXPECT_EQ(static_cast<int32_t>(expected.size()), built.length);
  EXPECT_EQ(0, forwarder.reads);
}

TEST_F(BuildRequestBody, LengthTooLargeToHoldBuildsNothing) {
  for (const char* length : {"2147483647", "2147483648", "4294967301", "9223372036854775808",
                             "99999999999999999999999999"}) {
    CheckedForwarder huge(settings);
    huge.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/f").Set("CONTENT_LENGTH", length);
    huge.input = "abcde";  // what a length cut to 32 bits would find
    Built built = BuildWith(huge, ModeForward);
    EXPECT_FALSE(built.made) << length;
    EXPECT_EQ(0, built.length) << length;
    EXPECT_TRUE(huge.live.empty()) << length;
  }
}

TEST_F(BuildRequestBody, ChunkedUploadIsReadToItsEndAndGetsALength) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/up")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("HTTP_TRANSFER_ENCODING", "chunked")
      .Set("HTTP_USER_AGENT", "ua");
  forwarder.input = "hello world";
  forwarder.maxReadSize = 3;
  EXPECT_EQ(
      "POST /up HTTP/1.0\r\nContent-Length: 11\r\nContent-Type: text/plain\r\n"
      "User-Agent: ua\r\nHost: 127.0.0.1:8080\r\n\r\nhello world",
      Build().text);
}

TEST_F(BuildRequestBody, LargeChunkedUploadArrivesWhole) {
  std::string body(300000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  forwarder.Set("REQUEST_METHOD", "PUT").Set("PATH_INFO", "/big").Set("HTTP_TRANSFER_ENCODING", "chunked");
  forwarder.input = body;
  forwarder.maxReadSize = 4000;
  Built built = Build();
  const std::string head = "PUT /big HTTP/1.0\r\nContent-Length: 300000\r\nHost: 127.0.0.1:8080\r\n\r\n";
  ASSERT_TRUE(built.made);
  EXPECT_EQ(head, built.text.substr(0, head.size()));
  EXPECT_TRUE(built.text.substr(head.size()) == body) << "body corrupted";
}

TEST_F(BuildRequestBody, EmptyChunkedUploadHasNoContentRows) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/up")
      .Set("CONTENT_TYPE", "text/plain")
      .Set("HTTP_TRANSFER_ENCODING", "chunked");
  EXPECT_EQ("POST /up HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", Build().text);
}

TEST_F(BuildRequestBody, TransferEncodingIsDroppedWhenALengthIsGiven) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/up")
      .Set("CONTENT_LENGTH", "3")
      .Set("HTTP_TRANSFER_ENCODING", "chunked");
  forwarder.input = "abcdef";
  EXPECT_EQ("POST /up HTTP/1.0\r\nContent-Length: 3\r\nHost: 127.0.0.1:8080\r\n\r\nabc",
            Build().text);
}

TEST_F(BuildRequestBody, EchoShowsTheBody) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/~~echo")
      .Set("SERVER_NAME", "webhost")
      .Set("CONTENT_LENGTH", "4");
  forwarder.input = "a=b&";
  EXPECT_EQ("POST /~~echo HTTP/1.0\r\nContent-Length: 4\r\nHost: webhost\r\n\r\na=b&",
            Build(ModeEcho).text);
}

// --- nothing a variable holds can add a header line ----------------------------

TEST_F(BuildRequestInjection, LineBreaksInHeaderValuesBecomeBlanks) {
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/f")
      .Set("HTTP_USER_AGENT", "ua\r\nX-Evil: 1")
      .Set("REMOTE_USER", "u\nX-Evil: 2")
      .Set("CONTENT_TYPE", "t\rX-Evil: 3")
      .Set("HTTP_COOKIE", "\r\n\r\n")
      .Set("CONTENT_LENGTH", "2\r\nX-Evil: 4");
  forwarder.input = "ab";
  Built built = Build();
  EXPECT_EQ(
      "POST /f HTTP/1.0\r\n"
      "Authorization: u X-Evil: 2\r\n"
      "Content-Length: 2\r\n"
      "Content-Type: t X-Evil: 3\r\n"
      "User-Agent: ua  X-Evil: 1\r\n"
      "Cookie:     \r\n"
      "Host: 127.0.0.1:8080\r\n\r\nab",
      built.text);
  ExpectHeadLines(HeadOf(built.text), 7);
}

TEST_F(BuildRequestInjection, LineBreaksInMethodPathAndQueryStayInTheRequestLine) {
  forwarder.Set("REQUEST_METHOD", "GET\r\nX-Evil: 1\r\n")
      .Set("PATH_INFO", "/a\r\nX: 1")
      .Set("QUERY_STRING", "q\r\n\r\nX");
  Built built = Build();
  EXPECT_EQ("GET  X-Evil: 1   /a%0D%0AX:%201?q%0D%0A%0D%0AX HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n",
            built.text);
  ExpectHeadLines(HeadOf(built.text), 2);
}

TEST_F(BuildRequestInjection, LineBreaksInServerNameCannotSplitTheEchoedHost) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~echo").Set("SERVER_NAME", "web\r\nX: 1");
  Built built = Build(ModeEcho);
  EXPECT_EQ("GET /~~echo HTTP/1.0\r\nHost: web  X: 1\r\n\r\n", built.text);
  ExpectHeadLines(HeadOf(built.text), 2);
}

}  // namespace
