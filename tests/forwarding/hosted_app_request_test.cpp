// What an application on a shared host receives: whose credentials travel in
// which header, and the Host line when the target is a socket file.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/checked_forwarder.h"

namespace {

// The request's lines that begin with one of `prefixes`, each ended by "\n".
std::string Lines(ForwardSettings& settings, const char* const (&variables)[3],
                  std::initializer_list<std::string> prefixes) {
  const char* names[] = {"HTTP_AUTHORIZATION", "REDIRECT_HTTP_AUTHORIZATION", "REMOTE_USER"};
  CheckedForwarder forwarder(settings);
  forwarder.Set("REQUEST_METHOD", "GET").Set("PATH_INFO", "/api");
  for (int i = 0; i < 3; ++i) {
    if (variables[i]) forwarder.Set(names[i], variables[i]);
  }
  int32_t length = 0;
  char* request = forwarder.BuildRequest(&length, ModeForward);
  std::string text = request ? std::string(request, static_cast<size_t>(length)) : "";
  std::free(request);
  EXPECT_TRUE(forwarder.live.empty()) << "a variable copy was not handed back";
  std::string found;
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    for (const std::string& prefix : prefixes) {
      if (text.compare(at, prefix.size(), prefix) == 0) found += text.substr(at, end - at) + "\n";
    }
  }
  return found;
}

TEST(HostedAppRequest, CredentialsWithPassAuthorizationOffAndOn) {
  const struct {
    bool pass;
    const char* variables[3];  // HTTP_AUTHORIZATION, REDIRECT_HTTP_AUTHORIZATION, REMOTE_USER
    const char* expected;
  } rows[] = {
      // Off: as the gateway has always sent them.
      {false, {"Bearer t0k3n", nullptr, "alice"}, "Authorization: alice\nProxy-Authorization: Bearer t0k3n\n"},
      {false, {nullptr, "Bearer rewritten", nullptr}, ""},
      // On: the browser's own, as Authorization only.
      {true, {"Bearer t0k3n", nullptr, "alice"}, "Authorization: Bearer t0k3n\n"},
      {true, {nullptr, "Bearer rewritten", "alice"}, "Authorization: Bearer rewritten\n"},
      {true, {"Basic YTpi", "Bearer rewritten", nullptr}, "Authorization: Basic YTpi\n"},
      {true, {nullptr, nullptr, "alice"}, ""},
      {true, {"Bearer a\r\nX-Admin: 1", nullptr, nullptr}, "Authorization: Bearer a  X-Admin: 1\n"},
  };
  for (const auto& row : rows) {
    ForwardSettings settings = DefaultSettings(8080);
    settings.passAuthorization = row.pass;
    EXPECT_EQ(row.expected, Lines(settings, row.variables,
                                  {"Authorization:", "Proxy-Authorization:", "X-Admin"}))
        << row.pass << " " << (row.variables[0] ? row.variables[0] : "-");
  }
}

TEST(HostedAppRequest, HostLineForASocketFile) {
  const struct {
    const char* socket;
    const char* server;
    const char* expected;
  } rows[] = {{"", "", "Host: 127.0.0.1:8080\n"},
              {"/home/me/app.sock", "", "Host: localhost\n"},
              {"/home/me/app.sock", "www.example.com", "Host: www.example.com\n"}};
  for (const auto& row : rows) {
    ForwardSettings settings = DefaultSettings(8080);
    std::strcpy(settings.targetSocket, row.socket);
    std::strcpy(settings.targetServer, row.server);
    EXPECT_EQ(row.expected, Lines(settings, {nullptr, nullptr, nullptr}, {"Host:"})) << row.server;
  }
}

}  // namespace
