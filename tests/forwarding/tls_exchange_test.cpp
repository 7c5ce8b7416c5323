// The exchange over TLS, against the targets of tests/support/tls_targets.py:
// which certificates are refused and why, the name sent and checked, and how
// a TLS connection that fails or ends early is held and streamed.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/scripted_target.h"

namespace {

// A value from the targets' line, "ca=<file> good=<port> ...".
std::string Targets(const std::string& key) {
  static const std::string line = [] {
    const char* given = std::getenv("NPH_GW_TLS_TARGETS");
    return given ? std::string(given) : platform::StartTlsTargets();
  }();
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    if (word.compare(0, key.size() + 1, key + "=") == 0) return word.substr(key.size() + 1);
  }
  return "";
}

enum Gets { kRefused, kWhole, kUnframed, kCut };

std::string Expected(Gets gets) {
  std::string body(100000, '\0');  // the targets' body
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i % 251);
  switch (gets) {
    case kWhole: return "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + body;
    case kUnframed: return "HTTP/1.0 200 OK\r\n\r\n" + body;
    case kCut: return "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    default: return kErrorPage;
  }
}

struct TlsCase {
  const char* name;
  const char* target;      // a behaviour of the targets; "plain": plain HTTP on the port
  const char* server;      // TargetServer
  const char* serverName;  // TlsServerName
  bool caFile;             // TlsCaFile is the test CA (else the system's roots)
  bool verify;             // TlsVerify
  Gets held, streamed;
  const char* logLine;     // "": not checked
};

// "sni" presents other.test's certificate, and tls.test's to a client asking
// for that name.
const TlsCase kCases[] = {
    {"Good", "good", "localhost", "", true, true, kWhole, kWhole, "\tTLS established\n"},
    {"UntrustedRoot", "good", "localhost", "", false, true, kRefused, kRefused,
     "\tTLS failed: untrusted certificate ("},
    {"WrongName", "sni", "localhost", "", true, true, kRefused, kRefused,
     "\tTLS failed: certificate name mismatch ("},
    {"Expired", "expired", "localhost", "", true, true, kRefused, kRefused,
     "\tTLS failed: certificate expired ("},
    {"ChecksOff", "expired", "localhost", "", false, false, kWhole, kWhole,
     "\tTLS certificate checks are off (TlsVerify=0)\n"},
    {"ServerNameForATargetByAddress", "sni", "127.0.0.1", "tls.test", true, true, kWhole, kWhole,
     "\tTLS established\n"},
    {"AddressCheckedAsTheName", "good", "127.0.0.1", "", true, true, kRefused, kRefused,
     "\tTLS failed: certificate name mismatch ("},
    {"PlainHttpOnTheTlsPort", "plain", "localhost", "", true, true, kRefused, kRefused,
     "\tTLS failed: protocol error ("},
    // Wine may read the reset as a close: the log line differs, the outcome not.
    {"ResetMidReply", "reset", "localhost", "", true, true, kRefused, kCut, ""},
    {"CloseWithoutCloseNotifyCutsAFramedReply", "cut", "localhost", "", true, true, kRefused, kCut,
     "\tConnection closed\n"},
    {"CloseWithoutCloseNotifyEndsAnUnframedReply", "unframed", "localhost", "", true, true,
     kUnframed, kUnframed, "Reply sent back to browser\n"},
};

class TlsExchange : public ::testing::TestWithParam<std::tuple<TlsCase, bool>> {};

TEST_P(TlsExchange, ChecksTheTargetAndFramesItsReply) {
  const TlsCase& c = std::get<0>(GetParam());
  const bool streaming = std::get<1>(GetParam());
  if (Targets("ca").empty()) GTEST_SKIP() << "no TLS targets (python3 and openssl needed)";
  ScriptedTarget plain;
  const bool isPlain = std::strcmp(c.target, "plain") == 0;
  if (isPlain) plain.DontRead().Send("HTTP/1.0 200 OK\r\n\r\nplain").Start();
  ForwardSettings settings =
      DefaultSettings(isPlain ? plain.Port() : std::atoi(Targets(c.target).c_str()));
  std::strcpy(settings.targetServer, c.server);
  std::strcpy(settings.tlsServerName, c.serverName);
  if (c.caFile) std::strcpy(settings.tlsCaFile, Targets("ca").c_str());
  settings.targetTls = 1;
  settings.tlsVerify = c.verify;
  settings.timeoutSeconds = 10;
  settings.streaming = streaming;
  CapturedLog log;
  log.AttachTo(settings);
  auto start = std::chrono::steady_clock::now();
  std::string output = ServeGet(settings);
  // Each outcome comes from what the target did, never from waiting out Timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(Expected(streaming ? c.streamed : c.held) == output)
      << output.size() << " bytes: " << output.substr(0, 100);
  EXPECT_NE(std::string::npos, log.Text().find(c.logLine)) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(HeldAndStreamed, TlsExchange,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Streamed" : "_Held");
                         });

}  // namespace
