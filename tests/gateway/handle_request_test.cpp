// One request from start to response: the path lists, the reserved paths,
// the local pages and the request log.
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"
#include "tests/support/temp_folder.h"

namespace {

std::string Page(const std::string& status, const std::string& type, const std::string& body) {
  return "HTTP/1.0 " + status + "\r\nContent-Type: " + type + "\r\nContent-length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kForbiddenPage = Page("403 Forbidden", "text/html", "<H2>Forbidden</H2>");
const std::string kErrorPage = Page("500 Internal Error", "text/html", "<H2>CGI Error</H2>");
const std::string kReply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
std::string ProbePage(const char* verdict, const char* text) {
  return Page("200 OK", "text/html",
              std::string("<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>") +
                  verdict + ":</B> target server " + text + ".</BODY></HTML>");
}

class Gateway : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(forwarder.CopiesBalanced());
    EXPECT_EQ(nullptr, settings.logFile) << "the log must be closed when the request ends";
  }
  // Runs the request against a target answering kReply; true when it was asked.
  bool RunAgainstTarget(const char* version = "1.0.0") {
    ScriptedTarget target;
    target.Send(kReply).Start();
    settings.targetPort = target.Port();
    forwarder.HandleRequest(version);
    return target.Connections() > 0;
  }

  ForwardSettings settings = DefaultSettings(UnusedPort());
  FakeForwarder forwarder{settings};
};

// Lists are judged on the canonical path; the target never sees a refused one.
TEST_F(Gateway, PathListsJudgeEverySpellingOfAPath) {
  struct Case {
    const char* path;  // nullptr: no PATH_INFO
    const char* allowed;
    const char* forbidden;
    bool forwarded;
    bool diagnostics = true;  // off: the reserved paths are paths like any other
  };
  const Case kCases[] = {
      {"/admin", "/", "/admin", false},         {"/ADMIN/x", "/", "/admin", false},
      {"/\\admin", "/", "/admin", false},       {"//admin", "/", "/admin", false},
      {"/x/../admin", "/", "/admin", false},    {"/.;/admin", "/", "/admin", false},
      {"/x/..;/admin", "/", "/admin", false},   {"/;x=1/admin", "/", "/admin", false},
      {"/secret", "/", "/admin, /secret", false}, {"/public/..;/admin", "/public", "", false},
      {nullptr, "/public", "", false},          {"/public/a", "/public", "", true},
      {"", "/", "", true},                      {"admin", "", "/admin", false},
      {"/admin./x", "/", "/admin/", false},     {"/public./x", "/public/", "", false},
      {nullptr, "/", "/admin", true},           {"/administrator", "/", "/admin/", true},
      {"/~~ECHO", "/", "", true},               {"/~~echo/", "/", "/~~", false},
      {"/~~info", "/", "", true, false},        {"/~~info", "/public", "", false, false},
  };
  for (const Case& c : kCases) {
    ForwardSettings caseSettings = DefaultSettings();
    std::strcpy(caseSettings.allowedPaths, c.allowed);
    std::strcpy(caseSettings.forbiddenPaths, c.forbidden);
    caseSettings.diagnostics = c.diagnostics;
    settings = caseSettings;
    forwarder.output.clear();
    forwarder.variables.clear();
    forwarder.Set("REQUEST_METHOD", "POST").Set("CONTENT_LENGTH", "3");
    if (c.path) forwarder.Set("PATH_INFO", c.path);
    forwarder.input = "abc";
    forwarder.inputOffset = 0;
    const char* shown = c.path ? c.path : "<none>";
    EXPECT_EQ(c.forwarded, RunAgainstTarget()) << shown;
    EXPECT_EQ(c.forwarded ? kReply : kForbiddenPage, forwarder.output) << shown;
    if (!c.forwarded) {
      EXPECT_EQ(0u, forwarder.inputOffset) << "a refused body is not read";
    }
  }
}

TEST_F(Gateway, ReservedPathsAreServedLocallyWhateverTheLists) {
  std::strcpy(settings.allowedPaths, "/public");
  std::strcpy(settings.forbiddenPaths, "/~~");
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~info");
  forwarder.Set("SCRIPT_NAME", "/cgi-bin/<b>").Set("SERVER_SOFTWARE", "A & \"B\"");
  forwarder.Set("SERVER_PROTOCOL", std::string(1000, '<'));
  EXPECT_FALSE(RunAgainstTarget("1<2"));
  std::string lt;
  for (int i = 0; i < 127; ++i) lt += "&lt;";  // a value is cut whole entities before 512
  EXPECT_EQ(Page("200 OK", "text/html",
                 "<HTML><HEAD><TITLE>Information</TITLE></HEAD>\r\n<BODY>\r\n"
                 "<H2>Product information</H2><BR>\r\n"
                 "<B>Script name:</B> /cgi-bin/&lt;b&gt; (1&lt;2)<BR>\r\n"
                 "<B>Server software:</B> A &amp; &quot;B&quot;<BR>\r\n"
                 "<B>Server protocol:</B> " + lt + "<BR>\r\n"
                 "<B>Gateway interface:</B> n/a<BR>\r\n<BR>\r\n</BODY></HTML>\r\n"),
            forwarder.output);
}

// A path list too long to hold whole fails every request, the reserved
// paths' included.
TEST_F(Gateway, PathListTooLongFailsEveryRequest) {
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/~~info");
  settings.pathListTooLong = 1;
  CapturedLog log;
  log.AttachTo(settings);
  EXPECT_FALSE(RunAgainstTarget());
  EXPECT_EQ(kErrorPage, forwarder.output);
  EXPECT_NE(std::string::npos, log.Text().find("\tPath list too long\n")) << log.Text();
}

TEST_F(Gateway, TargetProbeSaysWhetherTheTargetAnswered) {
  forwarder.Set("REQUEST_METHOD", "POST").Set("PATH_INFO", "/~~target");
  EXPECT_TRUE(RunAgainstTarget());
  EXPECT_EQ(ProbePage("Good", "reached"), forwarder.output);
  forwarder.output.clear();
  settings.targetPort = UnusedPort();
  forwarder.HandleRequest("1.0.0");
  EXPECT_EQ(ProbePage("Bad", "not reached"), forwarder.output);
}

// The echo is the request the target would get, at its real length, however
// it is relayed; a failure says so.
TEST_F(Gateway, EchoShowsTheWholeRequestBinaryBodyIncluded) {
  std::string body(200000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i % 251);
  for (Relay relay : {Relay::kHeld, Relay::kStreamed, Relay::kAdaptive}) {
    for (bool chunked : {false, true}) {
      settings.relay = relay;
      forwarder.variables.clear();
      forwarder.Set("REQUEST_METHOD", "PUT").Set("PATH_INFO", "/~~echo");
      forwarder.Set(chunked ? "HTTP_TRANSFER_ENCODING" : "CONTENT_LENGTH",
                    chunked ? "chunked" : std::to_string(body.size()));
      forwarder.input = body;
      forwarder.inputOffset = 0;
      forwarder.output.clear();
      EXPECT_FALSE(RunAgainstTarget());
      std::string request = "PUT /~~echo HTTP/1.0\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body;
      EXPECT_TRUE(forwarder.output == Page("200 OK", "text/plain", request))
          << "relay " << static_cast<int>(relay) << " chunked " << chunked;
    }
  }
  forwarder.variables.erase("REQUEST_METHOD");
  forwarder.output.clear();
  forwarder.HandleRequest("1.0.0");
  EXPECT_EQ(Page("500 Internal Error", "text/plain", "Test failed"), forwarder.output);
}

TEST_F(Gateway, RequestThatCannotBeBuiltContactsNoTarget) {
  for (const char* method : {"GET /admin HTTP/1.1", static_cast<const char*>(nullptr)}) {
    forwarder.variables.clear();
    forwarder.output.clear();
    if (method) forwarder.Set("REQUEST_METHOD", method);
    EXPECT_FALSE(RunAgainstTarget());
    EXPECT_EQ(kErrorPage, forwarder.output);
  }
}

// What the access log is told: the status and body bytes the browser got,
// and why a reply that had begun to flow was cut.
TEST_F(Gateway, RecordsWhatReachedTheBrowser) {
  const std::string kInterim = "HTTP/1.0 100 Continue\r\n\r\n";
  const struct {
    Relay relay;
    std::string reply;  // empty: nothing listens
    int32_t status;
    int64_t bodyBytes;
    Failure cut;
  } kRows[] = {
      {Relay::kHeld, "HTTP/1.0 404 No\r\nContent-Length: 3\r\n\r\nabcdef", 404, 3,
       Failure::kNone},
      {Relay::kAdaptive, kInterim + "HTTP/1.0 200 OK\r\n\r\nabcd", 200, 4, Failure::kNone},
      {Relay::kStreamed, "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc", 200, 3,
       Failure::kClosedEarly},
      {Relay::kHeld, "", 502, 18, Failure::kNone},
  };
  for (const auto& row : kRows) {
    ScriptedTarget target;
    if (!row.reply.empty()) target.Send(row.reply).Start();
    settings.targetPort = row.reply.empty() ? UnusedPort() : target.Port();
    settings.relay = row.relay;
    settings.gatewayStatus = 1;
    FakeForwarder fresh(settings);
    fresh.Set("REQUEST_METHOD", "GET");
    fresh.HandleRequest("1.0.0");
    EXPECT_EQ(row.status, fresh.Sent().status) << row.reply;
    EXPECT_EQ(row.bodyBytes, fresh.Sent().bodyBytes) << row.reply;
    EXPECT_EQ(row.cut, fresh.Sent().cut) << row.reply;
  }
}

// One record per request, appended, with the UTC time of the run.
TEST_F(Gateway, LogRecordsEachRequest) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  settings.logEnabled = 1;
  std::strcpy(settings.logPath, folder.File("nph-gw.txt").c_str());
  settings.settingWarningCount = 1;  // each record says what the settings file left unclear
  std::strcpy(settings.settingWarnings[0], "Setting not understood: TargetTls=maybe (kept on)");
  forwarder.Set("REQUEST_METHOD", "GET");
  ASSERT_TRUE(RunAgainstTarget());
  forwarder.Set("REQUEST_METHOD", "GET /x HTTP/1.1");
  ASSERT_FALSE(RunAgainstTarget());
  const std::string kRecord =
      "------------------------ LOG ------------------------\n"
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] 20[0-9]{2}\n"
      "\tSetting not understood: TargetTls=maybe \\(kept on\\)\n";
  EXPECT_TRUE(std::regex_match(
      TempFolder::ReadText(folder.File("nph-gw.txt")),
      std::regex(kRecord + "\tConnected\n\tData sent\nReply sent back to browser\n" + kRecord +
                 "\tRequest method is not a token\n")))
      << TempFolder::ReadText(folder.File("nph-gw.txt"));
  std::strcpy(settings.logPath, folder.File("missing/nph-gw.txt").c_str());
  forwarder.output.clear();
  forwarder.Set("REQUEST_METHOD", "GET");
  EXPECT_TRUE(RunAgainstTarget()) << "a log that cannot be opened stops nothing";
  EXPECT_EQ(kReply, forwarder.output);
}

}  // namespace
