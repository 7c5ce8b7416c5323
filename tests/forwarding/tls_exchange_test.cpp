// The exchange over TLS, against scripted targets with the test CA's certificates:
// which certificates are refused and why, the name sent and checked, and how
// a TLS connection that fails or ends early is held and streamed.
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/tls.h"

#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"
#include "tests/support/temp_folder.h"

namespace {

const std::string kBody = [] {
  std::string body(100000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i % 251);
  return body;
}();
const std::string kFramed = "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + kBody;
const std::string kUnframed = "HTTP/1.0 200 OK\r\n\r\n" + kBody;
const std::string kCut = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc";

// How the target ends its reply.
enum class Ends { kCloseNotify, kReset, kCloseWithoutNotify };

struct TlsCase {
  const char* name;
  const char* certificate;  // "": plain HTTP on the port
  std::string reply;
  Ends ends;
  const char* server;      // TargetServer
  const char* serverName;  // TlsServerName
  bool caFile;             // TlsCaFile is the test CA (else the system's roots)
  bool verify;             // TlsVerify
  std::string held, streamed;  // what the browser gets
  const char* logLine;     // "": not checked
};

const TlsCase kCases[] = {
    {"Good", "good", kFramed, Ends::kCloseNotify, "localhost", "", true, true, kFramed, kFramed,
     "\tTLS established\n"},
    {"UntrustedRoot", "good", kFramed, Ends::kCloseNotify, "localhost", "", false, true, kErrorPage,
     kErrorPage, "\tTLS failed: untrusted certificate ("},
    {"WrongName", "sni", kFramed, Ends::kCloseNotify, "localhost", "", true, true, kErrorPage,
     kErrorPage, "\tTLS failed: certificate name mismatch ("},
    {"NameInTheSubjectOnly", "cn-only", kFramed, Ends::kCloseNotify, "localhost", "", true, true,
     kErrorPage, kErrorPage, "\tTLS failed: certificate name mismatch ("},
    {"Expired", "expired", kFramed, Ends::kCloseNotify, "localhost", "", true, true, kErrorPage,
     kErrorPage, "\tTLS failed: certificate expired ("},
    {"ChecksOff", "expired", kFramed, Ends::kCloseNotify, "localhost", "", false, false, kFramed,
     kFramed, "\tTLS certificate checks are off (TlsVerify=0)\n"},
    {"ServerNameForATargetByAddress", "sni", kFramed, Ends::kCloseNotify, "127.0.0.1", "tls.test",
     true, true, kFramed, kFramed, "\tTLS established\n"},
    {"AddressCheckedAsTheName", "good", kFramed, Ends::kCloseNotify, "127.0.0.1", "", true, true,
     kErrorPage, kErrorPage, "\tTLS failed: certificate name mismatch ("},
    {"PlainHttpOnTheTlsPort", "", "HTTP/1.0 200 OK\r\n\r\nplain", Ends::kCloseNotify,
     "localhost", "", true, true, kErrorPage, kErrorPage, "\tTLS failed: protocol error ("},
    // Wine may read the reset as a close: the log line differs, the outcome not.
    {"ResetMidReply", "good", kCut, Ends::kReset, "localhost", "", true, true, kErrorPage, kCut,
     ""},
    {"CloseWithoutCloseNotifyCutsAFramedReply", "good", kCut, Ends::kCloseWithoutNotify,
     "localhost", "", true, true, kErrorPage, kCut, "\tConnection closed\n"},
    {"CloseWithoutCloseNotifyEndsAnUnframedReply", "good", kUnframed, Ends::kCloseWithoutNotify,
     "localhost", "", true, true, kUnframed, kUnframed, "Reply sent back to browser\n"},
};

void PrintTo(const TlsCase& c, std::ostream* out) { *out << c.name; }

ForwardSettings TlsSettings(uint16_t port, const char* server, const char* serverName,
                            const std::string& caFile, bool verify) {
  ForwardSettings settings = DefaultSettings(port);
  std::strcpy(settings.targetServer, server);
  std::strcpy(settings.targetHost, server);
  std::strcpy(settings.tlsServerName, serverName);
  std::strcpy(settings.tlsCaFile, caFile.c_str());
  settings.targetTls = 1;
  settings.tlsVerify = verify;
  settings.timeoutSeconds = 10;
  return settings;
}

class TlsExchange : public ::testing::TestWithParam<std::tuple<TlsCase, bool>> {};

TEST_P(TlsExchange, ChecksTheTargetAndFramesItsReply) {
  const TlsCase& c = std::get<0>(GetParam());
  const bool streaming = std::get<1>(GetParam());
  ScriptedTarget target;
  if (*c.certificate) {
    target.Tls(c.certificate);
  } else {
    target.DontRead();
  }
  target.Send(c.reply);
  if (c.ends == Ends::kReset) target.Pause(100).Reset();
  if (c.ends == Ends::kCloseWithoutNotify) target.Close();
  ForwardSettings settings = TlsSettings(target.Start().Port(), c.server, c.serverName,
                                         c.caFile ? ScriptedTarget::CaFile() : "", c.verify);
  settings.relay = streaming ? Relay::kStreamed : Relay::kHeld;
  CapturedLog log;
  log.AttachTo(settings);
  auto start = std::chrono::steady_clock::now();
  std::string output = ServeGet(settings);
  // Each outcome comes from what the target did, never from waiting out Timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  const std::string& expected = streaming ? c.streamed : c.held;
  EXPECT_TRUE(expected == output) << output.size() << " bytes: " << output.substr(0, 100);
  EXPECT_NE(std::string::npos, log.Text().find(c.logLine)) << log.Text();
  // A TLS connection that worked ends with close_notify, as the target's did.
  EXPECT_EQ(c.ends == Ends::kCloseNotify && expected != kErrorPage, target.CloseNotifies() == 1);
}

INSTANTIATE_TEST_SUITE_P(HeldAndStreamed, TlsExchange,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Streamed" : "_Held");
                         });

// FastCGI mode: connections one after the other through one kept TLS client,
// each to a target of its own (the targets of one certificate share their
// session keys); what each handshake was.
enum class Ca { kTest, kCopy, kCopyRewritten };
struct Handshake {
  const char* certificate;  // nullptr: no more connections
  const char* serverName;   // TlsServerName of a target by address; "": localhost
  Ca ca;
  bool verify;
  const char* logLine;
};
struct ReuseCase {
  const char* name;
  Handshake connections[3];
};
const char kFull[] = "\tTLS established\n";
const char kResumed[] = "\tTLS established, session resumed\n";
const Handshake kGood = {"good", "", Ca::kTest, true, kFull};
const Handshake kGoodResumed = {"good", "", Ca::kTest, true, kResumed};

// Only the first row needs a system that resumes (Wine's SChannel does not).
const ReuseCase kReuseCases[] = {
    {"LaterConnectionsResume", {kGood, kGoodResumed, kGoodResumed}},
    {"OtherCaFile", {kGood, {"good", "", Ca::kCopy, true, kFull}}},
    {"CaFileRewritten",
     {{"good", "", Ca::kCopy, true, kFull}, {"good", "", Ca::kCopyRewritten, true, kFull}}},
    {"ChecksTurnedOff", {kGood, {"good", "", Ca::kTest, false, kFull}}},
    {"OtherServerName",
     {{"sni", "tls.test", Ca::kTest, true, kFull}, {"sni", "other.test", Ca::kTest, true, kFull}}},
    {"FailedHandshakeForgetsTheSession",
     {kGood, {"expired", "", Ca::kTest, true, "\tTLS failed: certificate expired ("}, kGood}},
};

void PrintTo(const ReuseCase& c, std::ostream* out) { *out << c.name; }

class TlsReuse : public ::testing::TestWithParam<ReuseCase> {};

TEST_P(TlsReuse, ResumesUnderTheSameOptionsOnly) {
  std::unique_ptr<platform::TlsClient, void (*)(platform::TlsClient*)> client(
      platform::MakeTlsClient(), platform::EndTlsClient);
  TempFolder folder;
  const std::string copy = folder.File("ca.pem");
  folder.Write("ca.pem", TempFolder::Read(ScriptedTarget::CaFile()));
  for (const Handshake& step : GetParam().connections) {
    if (!step.certificate) break;
    if (step.ca == Ca::kCopyRewritten) folder.Write("ca.pem", TempFolder::Read(copy) + "\n");
    ScriptedTarget target;
    target.Tls(step.certificate).Send(kFramed);
    ForwardSettings settings =
        TlsSettings(target.Start().Port(), step.serverName[0] ? "127.0.0.1" : "localhost",
                    step.serverName, step.ca == Ca::kTest ? ScriptedTarget::CaFile() : copy,
                    step.verify);
    settings.tlsClient = client.get();
    CapturedLog log;
    log.AttachTo(settings);
    ServeGet(settings);
    EXPECT_NE(std::string::npos, log.Text().find(step.logLine)) << log.Text();
  }
}

INSTANTIATE_TEST_SUITE_P(OneClient, TlsReuse, ::testing::ValuesIn(kReuseCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
