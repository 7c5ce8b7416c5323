#include "tests/support/scripted_target.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/program.h"
#include "platform/tcp.h"
#include "settings/forward_settings.h"

#ifndef NPH_GW_TARGETS_SCRIPT  // set by the unit tests' build
#define NPH_GW_TARGETS_SCRIPT "tests/support/scripted_target.py"
#endif

namespace {

// A value of the targets' line "control=<port> ca=<file>".
std::string Targets(const std::string& key) {
  static const std::string line = [] {
    platform::StartProcess();  // as the program's entry does: sockets, SIGPIPE
    if (const char* given = std::getenv("NPH_GW_TARGETS")) return std::string(given);
    // Never closed: the targets end when this process does.
    FILE* script = popen("exec python3 '" NPH_GW_TARGETS_SCRIPT "'", "r");
    char text[1024] = "";
    if (!script || !std::fgets(text, sizeof text, script)) return std::string();
    return std::string(text);
  }();
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    if (word.compare(0, key.size() + 1, key + "=") == 0) return word.substr(key.size() + 1);
  }
  return "";
}

}  // namespace

platform::SocketHandle ConnectToLoopback(uint16_t port, int timeoutSeconds, long* error) {
  platform::TcpAddresses loopback;
  platform::LookUpTcpAddresses("127.0.0.1", port, &loopback);
  platform::SocketHandle socket = platform::OpenTcpSocket(loopback.at[0]);
  if (platform::ConnectSocket(socket, loopback.at[0], timeoutSeconds)) return socket;
  if (error) *error = platform::LastSocketError();
  platform::CloseSocket(socket);
  return platform::kNoSocket;
}

ScriptedTarget::ScriptedTarget() {
  control_ = ConnectToLoopback(static_cast<uint16_t>(std::atoi(Targets("control").c_str())), 5);
  if (control_ == platform::kNoSocket) {
    std::fprintf(stderr, "no scripted targets: python3 %s\n", NPH_GW_TARGETS_SCRIPT);
  }
}

ScriptedTarget::~ScriptedTarget() {
  Put("end");
  char rest;
  while (platform::ReceiveFromSocket(control_, &rest, 1) > 0) {
  }
  platform::CloseSocket(control_);
}

ScriptedTarget& ScriptedTarget::Put(const std::string& line, const std::string& bytes) {
  const std::string all = line + "\n" + bytes;
  for (size_t sent = 0; sent < all.size();) {
    int32_t put = platform::SendOnSocket(control_, all.data() + sent,
                                         static_cast<int32_t>(all.size() - sent));
    if (put <= 0) break;
    sent += static_cast<size_t>(put);
  }
  return *this;
}

std::string ScriptedTarget::Line() {
  std::string line;
  char c;
  while (platform::ReceiveFromSocket(control_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

ScriptedTarget& ScriptedTarget::Start(int connections) {
  Put("start " + std::to_string(connections));
  port_ = static_cast<uint16_t>(std::atoi(Line().c_str()));
  return *this;
}

uint16_t ScriptedTarget::StartUnanswered() {
  return port_ = static_cast<uint16_t>(std::atoi(Put("backlog").Line().c_str()));
}

std::string ScriptedTarget::Received() {
  size_t length = 0;
  std::istringstream(Put("report").Line()) >> connections_ >> length;
  std::string bytes;
  char piece[65536];
  while (bytes.size() < length) {
    int32_t got = platform::ReceiveFromSocket(
        control_, piece, static_cast<int32_t>(std::min(sizeof piece, length - bytes.size())));
    if (got <= 0) break;
    bytes.append(piece, static_cast<size_t>(got));
  }
  return bytes;
}

int ScriptedTarget::Connections() {
  Received();
  return connections_;
}

int ScriptedTarget::CloseNotifies() { return std::atoi(Put("closes").Line().c_str()); }

std::string ScriptedTarget::CaFile() {
  ScriptedTarget maker;
  maker.Put("certificates").Line();
  return Targets("ca");
}

uint16_t UnusedPort() {
  ScriptedTarget nothing;
  return nothing.Start(0).Port();
}
