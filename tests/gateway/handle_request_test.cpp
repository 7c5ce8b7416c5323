// One request from start to response: reserved paths, the path lists,
// forwarding, the target probe, the information page and the request log.
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/checked_forwarder.h"
#include "tests/support/temp_folder.h"
#include "tests/support/scripted_target.h"

namespace {

std::string Page(const std::string& status, const std::string& type, const std::string& body) {
  return "HTTP/1.0 " + status + "\r\nContent-Type: " + type + "\r\nContent-length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string Html(const std::string& status, const std::string& body) {
  return Page(status, "text/html", body);
}
std::string Text(const std::string& status, const std::string& body) {
  return Page(status, "text/plain", body);
}

const std::string kForbiddenPage = Html("403 Forbidden", "<H2>Forbidden</H2>");
const std::string kErrorPage = Html("500 Internal Error", "<H2>CGI Error</H2>");
const std::string kEchoFailedPage = Text("500 Internal Error", "Test failed");
const std::string kGoodProbePage = Html(
    "200 OK",
    "<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Good:</B> target server "
    "reached.</BODY></HTML>");
const std::string kBadProbePage = Html(
    "200 OK",
    "<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Bad:</B> target server not "
    "reached.</BODY></HTML>");
const std::string kReply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

std::string InfoBody(const std::string& script, const std::string& version,
                     const std::string& software, const std::string& protocol,
                     const std::string& gateway) {
  return "<HTML><HEAD><TITLE>Information</TITLE></HEAD>\r\n<BODY>\r\n"
         "<H2>Product information</H2><BR>\r\n"
         "<B>Script name:</B> " + script + " (" + version + ")<BR>\r\n"
         "<B>Server software:</B> " + software + "<BR>\r\n"
         "<B>Server protocol:</B> " + protocol + "<BR>\r\n"
         "<B>Gateway interface:</B> " + gateway + "<BR>\r\n"
         "<BR>\r\n</BODY></HTML>\r\n";
}

class GatewayTest : public ::testing::Test {
 protected:
  GatewayTest() { settings.timeoutSeconds = 2; }
  void TearDown() override {
    EXPECT_TRUE(forwarder.live.empty()) << "a variable copy was not handed back";
    EXPECT_EQ(nullptr, settings.logFile) << "the log must be closed when the request ends";
  }

  // Points the gateway at a fresh target that answers with `reply`.
  void Answer(ScriptedTarget& target, const std::string& reply) {
    target.Send(reply).Start();
    settings.targetPort = target.Port();
  }

  std::string Run(const char* version = "1.0.0") {
    forwarder.HandleRequest(version);
    return forwarder.output;
  }

  ForwardSettings settings = DefaultSettings(UnusedPort());
  CheckedForwarder forwarder{settings};
};

class GatewayReservedPaths : public GatewayTest {};
class GatewayPathLists : public GatewayTest {};
class GatewayForwarding : public GatewayTest {};
class GatewayTargetProbe : public GatewayTest {};
class GatewayInfoPage : public GatewayTest {};

// --- reserved paths ---------------------------------------------------------

TEST_F(GatewayReservedPaths, EchoShowsTheRebuiltRequestAndContactsNoTarget) {
  ScriptedTarget target;
  Answer(target, kReply);
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/~~echo")
      .Set("SERVER_NAME", "webhost")
      .Set("HTTP_ACCEPT", "*/*");
  EXPECT_EQ(Text("200 OK", "GET /~~echo HTTP/1.0\r\nAccept: */*\r\nHost: webhost\r\n\r\n"), Run());
  EXPECT_EQ(0, target.Connections());
}

TEST_F(GatewayReservedPaths, EchoedBodyAndItsLengthEndAtANul) {
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/~~echo").Set("CONTENT_LENGTH", "5");
  forwarder.input = std::string("ab\0cd", 5);
  EXPECT_EQ(Text("200 OK", "POST /~~echo HTTP/1.0\r\nContent-Length: 5\r\n\r\nab"), Run());
}

TEST_F(GatewayReservedPaths, EchoWithoutMethodSaysTestFailed) {
  forwarder.Set("PATH_INFO", "/~~echo");
  EXPECT_EQ(kEchoFailedPage, Run());
}

TEST_F(GatewayReservedPaths, EchoWithShortBodySaysTestFailed) {
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/~~echo").Set("CONTENT_LENGTH", "10");
  forwarder.input = "abc";
  EXPECT_EQ(kEchoFailedPage, Run());
}

TEST_F(GatewayReservedPaths, OnlyTheExactNamesAreReserved) {
  const std::vector<std::pair<std::string, std::string>> nearMisses = {
      {"/~~ECHO", "/~~ECHO"},
      {"/~~echo/x", "/~~echo/x"},
      {"/~~info ", "/~~info%20"},
      {"/~~INFO", "/~~INFO"},
      {"/x/~~target", "/x/~~target"},
      {"/~~Target", "/~~Target"},
  };
  for (const auto& path : nearMisses) {
    ScriptedTarget target;
    target.Send(kReply).Start();
    ForwardSettings local = DefaultSettings(target.Port());
    local.timeoutSeconds = 2;
    CheckedForwarder gateway(local);
    gateway.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", path.first);
    gateway.HandleRequest("1.0.0");
    EXPECT_EQ(kReply, gateway.output) << path.first;
    EXPECT_EQ("GET " + path.second + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                  std::to_string(target.Port()) + "\r\n\r\n",
              target.Received())
        << path.first;
  }
}

TEST_F(GatewayReservedPaths, ServedEvenWhenTheListsWouldRefuseThem) {
  auto serve = [](const char* path) {
    ForwardSettings local = DefaultSettings(UnusedPort());
    local.timeoutSeconds = 2;
    std::strcpy(local.allowedPaths, "/public");
    std::strcpy(local.forbiddenPaths, "/~~");
    CheckedForwarder gateway(local);
    gateway.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", path);
    gateway.HandleRequest("1.0.0");
    return gateway.output;
  };
  EXPECT_EQ(Text("200 OK", "GET /~~echo HTTP/1.0\r\n\r\n"), serve("/~~echo"));
  EXPECT_EQ(0u, serve("/~~info").find("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"));
  EXPECT_EQ(kBadProbePage, serve("/~~target"));
  EXPECT_EQ(kForbiddenPage, serve("/~~ECHO")) << "a near miss is an ordinary path";
}

// --- path lists ---------------------------------------------------------------

TEST_F(GatewayPathLists, RefusedPathSendsNothingAndReadsNoBody) {
  ScriptedTarget target;
  Answer(target, kReply);
  std::strcpy(settings.allowedPaths, "/public");
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/private/a").Set("CONTENT_LENGTH", "5");
  forwarder.input = "hello";
  EXPECT_EQ(kForbiddenPage, Run());
  EXPECT_EQ(0, forwarder.reads);
  EXPECT_EQ(0, target.Connections());
}

TEST_F(GatewayPathLists, ForbiddenListRefusesWhateverTheCase) {
  std::strcpy(settings.forbiddenPaths, "/admin");
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/Admin/users");
  EXPECT_EQ(kForbiddenPage, Run());
}

TEST_F(GatewayPathLists, AllowedListAdmitsWhateverTheCase) {
  ScriptedTarget target;
  Answer(target, kReply);
  std::strcpy(settings.allowedPaths, "/PUBLIC");
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/public/x");
  EXPECT_EQ(kReply, Run());
}

TEST_F(GatewayPathLists, CommaOnlyAndBlankEntriesMatchNothing) {
  struct Case {
    const char* allowed;
    const char* forbidden;
    bool refused;
  };
  for (const Case& c : {Case{",,", "", true}, Case{",, /x", "", true}, Case{"/y,,/x,", "", false},
                        Case{"/", ",,", false}, Case{"", ",/x", true}}) {
    ScriptedTarget target;
    target.Send(kReply).Start();
    ForwardSettings local = DefaultSettings(target.Port());
    local.timeoutSeconds = 2;
    std::strcpy(local.allowedPaths, c.allowed);
    std::strcpy(local.forbiddenPaths, c.forbidden);
    CheckedForwarder gateway(local);
    gateway.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/x");
    gateway.HandleRequest("1.0.0");
    EXPECT_EQ(c.refused ? kForbiddenPage : kReply, gateway.output)
        << "Allowed=" << c.allowed << " Forbidden=" << c.forbidden;
  }
}

TEST_F(GatewayPathLists, EmptyPathInfoIsRefusedByTheDefaultList) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "");
  EXPECT_EQ(kForbiddenPage, Run());
}

TEST_F(GatewayPathLists, EmptyPathInfoWithoutAllowedListIsForwardedAsEmptyPath) {
  ScriptedTarget target;
  Answer(target, kReply);
  settings.allowedPaths[0] = '\0';
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "");
  EXPECT_EQ(kReply, Run());
  EXPECT_EQ(0u, target.Received().find("GET  HTTP/1.0\r\n"));
}

TEST_F(GatewayPathLists, MissingPathInfoIsForwardedAsRootWithoutConsultingThem) {
  ScriptedTarget target;
  Answer(target, kReply);
  std::strcpy(settings.allowedPaths, "/public");
  std::strcpy(settings.forbiddenPaths, "/");
  forwarder.Set("REQUEST_METHOD", "GET");
  EXPECT_EQ(kReply, Run());
  EXPECT_EQ(0u, target.Received().find("GET / HTTP/1.0\r\n"));
}

TEST_F(GatewayPathLists, ListsSeeTheDecodedPathAndTheTargetTheEncodedOne) {
  std::strcpy(settings.forbiddenPaths, "/a b");
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a b/c");
  EXPECT_EQ(kForbiddenPage, Run());

  ScriptedTarget target;
  target.Send(kReply).Start();
  ForwardSettings local = DefaultSettings(target.Port());
  local.timeoutSeconds = 2;
  std::strcpy(local.allowedPaths, "/a b");
  CheckedForwarder gateway(local);
  gateway.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a b/c");
  gateway.HandleRequest("1.0.0");
  EXPECT_EQ(kReply, gateway.output);
  EXPECT_EQ(0u, target.Received().find("GET /a%20b/c HTTP/1.0\r\n"));
}

// --- forwarding -----------------------------------------------------------------

TEST_F(GatewayForwarding, ReplyIsRelayedByteForByteInOneWrite) {
  const std::string reply =
      "HTTP/1.0 302 Found\r\nLocation: http://example.test/next\r\nContent-Length: 6\r\n"
      "X-Odd:  spaced \r\n\r\n" + std::string("a\0b\r\nc", 6);
  ScriptedTarget target;
  Answer(target, reply);
  forwarder.Set("REQUEST_METHOD", "GET")
      .Set("PATH_INFO", "/shop/list")
      .Set("QUERY_STRING", "x=1")
      .Set("HTTP_USER_AGENT", "test/1")
      .Set("SERVER_NAME", "webhost");
  EXPECT_TRUE(Run() == reply);
  EXPECT_EQ(1, forwarder.writes);
  EXPECT_EQ("GET /shop/list?x=1 HTTP/1.0\r\nUser-Agent: test/1\r\nHost: 127.0.0.1:" +
                std::to_string(target.Port()) + "\r\n\r\n",
            target.Received());
}

TEST_F(GatewayForwarding, PostBodyReachesTheTarget) {
  ScriptedTarget target;
  Answer(target, kReply);
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/form")
      .Set("CONTENT_LENGTH", "7")
      .Set("CONTENT_TYPE", "application/x-www-form-urlencoded");
  forwarder.input = "a=1&b=2";
  forwarder.maxReadSize = 2;
  EXPECT_EQ(kReply, Run());
  EXPECT_EQ("POST /form HTTP/1.0\r\nContent-Length: 7\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nHost: 127.0.0.1:" +
                std::to_string(target.Port()) + "\r\n\r\na=1&b=2",
            target.Received());
}

TEST_F(GatewayForwarding, TargetDownGivesTheErrorPage) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a");
  EXPECT_EQ(kErrorPage, Run());
}

TEST_F(GatewayForwarding, ShortBodyGivesTheErrorPageAndContactsNoTarget) {
  ScriptedTarget target;
  Answer(target, kReply);
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/up").Set("CONTENT_LENGTH", "100");
  forwarder.input = std::string(99, 'x');
  EXPECT_EQ(kErrorPage, Run());
  EXPECT_EQ(0, target.Connections());
}

TEST_F(GatewayForwarding, NoMethodGivesTheErrorPage) {
  ScriptedTarget target;
  Answer(target, kReply);
  forwarder.Set("PATH_INFO", "/a");
  EXPECT_EQ(kErrorPage, Run());
  EXPECT_EQ(0, target.Connections());
}

// --- target probe -----------------------------------------------------------------

TEST_F(GatewayTargetProbe, AnyReplyMeansReachedAndIsNotShown) {
  ScriptedTarget target;
  Answer(target, "HTTP/1.0 500 Broken\r\nContent-Length: 4\r\n\r\nfail");
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/~~target")
      .Set("CONTENT_LENGTH", "5")
      .Set("HTTP_ACCEPT", "*/*");
  forwarder.input = "hello";
  EXPECT_EQ(kGoodProbePage, Run());
  EXPECT_EQ(0, forwarder.reads);
  EXPECT_EQ("GET / HTTP/1.0\r\nAccept: */*\r\nHost: 127.0.0.1:" + std::to_string(target.Port()) +
                "\r\n\r\n",
            target.Received());
}

TEST_F(GatewayTargetProbe, TargetDownGivesTheBadPage) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~target");
  EXPECT_EQ(kBadProbePage, Run());
}

TEST_F(GatewayTargetProbe, TargetClosingWithoutReplyGivesTheBadPage) {
  ScriptedTarget target;
  target.Close().Start();
  settings.targetPort = target.Port();
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~target");
  EXPECT_EQ(kBadProbePage, Run());
}

// --- information page -----------------------------------------------------------

TEST_F(GatewayInfoPage, NamesScriptVersionAndServer) {
  ScriptedTarget target;
  Answer(target, kReply);
  forwarder.Set("REQUEST_METHOD", "POST")
      .Set("PATH_INFO", "/~~info")
      .Set("CONTENT_LENGTH", "3")
      .Set("SCRIPT_NAME", "/cgi-bin/nph-gw")
      .Set("SERVER_SOFTWARE", "Apache/2.4.62 (Debian)")
      .Set("SERVER_PROTOCOL", "HTTP/1.1")
      .Set("GATEWAY_INTERFACE", "CGI/1.1");
  forwarder.input = "abc";
  EXPECT_EQ(Html("200 OK", InfoBody("/cgi-bin/nph-gw", "2.3.4", "Apache/2.4.62 (Debian)",
                                    "HTTP/1.1", "CGI/1.1")),
            Run("2.3.4"));
  EXPECT_EQ(0, forwarder.reads);
  EXPECT_EQ(0, target.Connections());
}

TEST_F(GatewayInfoPage, MissingValuesShowNaAndNoVersionShowsEmptyParentheses) {
  forwarder.Set("PATH_INFO", "/~~info").Set("SCRIPT_NAME", "/cgi-bin/nph-gw").Set("SERVER_PROTOCOL", "");
  EXPECT_EQ(Html("200 OK", InfoBody("/cgi-bin/nph-gw", "", "n/a", "", "n/a")), Run(""));
}

TEST_F(GatewayInfoPage, ValuesAreHtmlEscaped) {
  forwarder.Set("PATH_INFO", "/~~info")
      .Set("SCRIPT_NAME", "/cgi-bin/<b>")
      .Set("SERVER_SOFTWARE", "<script>alert(1)</script> & \"x\"")
      .Set("SERVER_PROTOCOL", "HTTP/1.1")
      .Set("GATEWAY_INTERFACE", "CGI/1.1");
  EXPECT_EQ(Html("200 OK", InfoBody("/cgi-bin/&lt;b&gt;", "1&lt;2",
                                    "&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;x&quot;",
                                    "HTTP/1.1", "CGI/1.1")),
            Run("1<2"));
}

TEST_F(GatewayInfoPage, VeryLongValuesAreBoundedAndNeverCutAnEntity) {
  const std::string huge(20000, 'a');
  const std::string version(5000, 'v');
  forwarder.Set("PATH_INFO", "/~~info")
      .Set("SCRIPT_NAME", huge)
      .Set("SERVER_SOFTWARE", huge)
      .Set("SERVER_PROTOCOL", std::string(1000, '<'))
      .Set("GATEWAY_INTERFACE", huge);
  std::string lt;
  for (int i = 0; i < 127; ++i) lt += "&lt;";  // 508 characters; a 128th would not fit
  const std::string bounded(511, 'a');
  EXPECT_EQ(Html("200 OK", InfoBody(bounded, std::string(511, 'v'), bounded, lt, bounded)),
            Run(version.c_str()));
}

// --- request log ----------------------------------------------------------------

const char kBanner[] = "------------------------ LOG ------------------------";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start) + "<no line end>");
  return lines;
}

class GatewayRequestLog : public GatewayTest {
 protected:
  GatewayRequestLog() {
    path = scratch.File("nph-gw.txt");
    settings.logEnabled = 1;
    std::strcpy(settings.logPath, path.c_str());
  }
  void SetUp() override { ASSERT_TRUE(scratch.Ok()); }

  // Runs the request and returns the log's lines; the time stamp must be
  // the UTC time of the run.
  std::vector<std::string> RunLogged() {
    std::time_t before = std::time(nullptr);
    Run();
    std::time_t after = std::time(nullptr);
    std::vector<std::string> lines = Lines(TempFolder::ReadText(path));
    if (lines.size() >= 2) ExpectStamp(lines[1], before, after);
    return lines;
  }

  static void ExpectStamp(const std::string& stamp, std::time_t before, std::time_t after) {
    EXPECT_TRUE(std::regex_match(
        stamp, std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                          "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                          "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")))
        << stamp;
    bool matched = false;
    for (std::time_t when = before; when <= after && !matched; ++when) {
      char expected[64];
      std::strftime(expected, sizeof expected, "%a %b %d %H:%M:%S %Y", std::gmtime(&when));
      matched = stamp == expected;
    }
    EXPECT_TRUE(matched) << stamp << " is not the UTC time of the run";
  }

  TempFolder scratch;
  std::string path;
};

TEST_F(GatewayRequestLog, ForwardedRequestRecord) {
  ScriptedTarget target;
  Answer(target, kReply);
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a");
  std::vector<std::string> lines = RunLogged();
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ(kBanner, lines[0]);
  EXPECT_EQ("\tConnected", lines[2]);
  EXPECT_EQ("\tData sent", lines[3]);
  EXPECT_EQ("Reply sent back to browser", lines[4]);
  EXPECT_EQ(kReply, forwarder.output);
}

TEST_F(GatewayRequestLog, InfoRecordIsBannerAndStampOnly) {
  forwarder.Set("PATH_INFO", "/~~info");
  std::vector<std::string> lines = RunLogged();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(kBanner, lines[0]);
}

TEST_F(GatewayRequestLog, ProbeOfATargetThatIsDown) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~target");
  std::vector<std::string> lines = RunLogged();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(kBanner, lines[0]);
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("Connection error: -?[0-9]+"))) << lines[2];
  EXPECT_EQ("Reply sent back to browser", lines[3]);
  EXPECT_EQ(kBadProbePage, forwarder.output);
}

TEST_F(GatewayRequestLog, FailedForwardHasNoRelayedLine) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/a");
  std::vector<std::string> lines = RunLogged();
  ASSERT_EQ(3u, lines.size());
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("Connection error: -?[0-9]+"))) << lines[2];
  EXPECT_EQ(kErrorPage, forwarder.output);
}

TEST_F(GatewayRequestLog, EachRequestAppendsItsOwnRecord) {
  // An echo and a refused path: banner and stamp each, no relayed line.
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~echo");
  Run();
  CheckedForwarder refused(settings);
  std::strcpy(settings.allowedPaths, "/public");
  refused.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/private");
  refused.HandleRequest("1.0.0");
  EXPECT_EQ(kForbiddenPage, refused.output);
  EXPECT_EQ(nullptr, settings.logFile);

  std::vector<std::string> lines = Lines(TempFolder::ReadText(path));
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(kBanner, lines[0]);
  EXPECT_EQ(kBanner, lines[2]);
}

TEST_F(GatewayRequestLog, LogOffTouchesNoFile) {
  settings.logEnabled = 0;
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~echo");
  Run();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(GatewayRequestLog, LogThatCannotBeOpenedDoesNotStopTheRequest) {
  std::strcpy(settings.logPath, scratch.File("no-such-folder/nph-gw.txt").c_str());
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~echo");
  EXPECT_EQ(Text("200 OK", "GET /~~echo HTTP/1.0\r\n\r\n"), Run());
}

}  // namespace
