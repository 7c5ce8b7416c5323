// A target server on 127.0.0.1 that follows a script, one connection at a
// time, plain or over TLS. The targets are tests/support/scripted_target.py,
// started once per test program (a Windows build, whose runner starts them,
// finds their line in NPH_GW_TARGETS); each script goes there over a control
// connection of its own, which the destructor closes, and its listeners with it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

class ScriptedTarget {
 public:
  ScriptedTarget();
  ~ScriptedTarget();
  ScriptedTarget(const ScriptedTarget&) = delete;
  ScriptedTarget& operator=(const ScriptedTarget&) = delete;

  // Steps, played in order after the request has been read.
  ScriptedTarget& Send(const std::string& bytes) {
    return Put("send " + std::to_string(bytes.size()), bytes);
  }
  ScriptedTarget& Pause(int milliseconds) { return Put("pause " + std::to_string(milliseconds)); }
  ScriptedTarget& Close() { return Put("close"); }  // orderly (over TLS, no close_notify)
  ScriptedTarget& Reset() { return Put("reset"); }
  ScriptedTarget& Hold() { return Put("hold"); }  // open and silent until the test ends
  ScriptedTarget& Read() { return Put("read"); }  // the next request on the connection
  // Reads no request at all before playing the script.
  ScriptedTarget& DontRead() { return Put("noread"); }
  // Over TLS with the test CA's certificate "good" (localhost), "sni"
  // (other.test; tls.test to a client asking for it), "expired" or "cn-only"
  // (localhost in the subject alone).
  ScriptedTarget& Tls(const std::string& certificate) { return Put("tls " + certificate); }
  // Where to listen instead of a free port.
  ScriptedTarget& ListenOn(uint16_t port) { return Put("listen " + std::to_string(port)); }
  ScriptedTarget& ListenOnFile(const std::string& path) { return Put("file " + path); }
  ScriptedTarget& ListenOnIpv6() { return Put("ipv6"); }  // on ::1 instead of 127.0.0.1

  // Starts serving `connections` connections with the script.
  ScriptedTarget& Start(int connections = 1);
  // A listener that never accepts, whose backlog fills: its port.
  uint16_t StartUnanswered();
  uint16_t Port() const { return port_; }
  // The request bytes received so far on every connection, concatenated.
  std::string Received();
  int Connections();
  // TLS connections that ended with close_notify both ways, once all are done.
  int CloseNotifies();

  // The test CA's file; "" when the targets could not be started.
  static std::string CaFile();

 private:
  ScriptedTarget& Put(const std::string& line, const std::string& bytes = "");
  std::string Line();

  platform::SocketHandle control_ = platform::kNoSocket;
  uint16_t port_ = 0;
  int connections_ = 0;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t UnusedPort();
// A socket connected to `port` on 127.0.0.1; kNoSocket (the error in `*error`)
// when it could not connect within `timeoutSeconds`.
platform::SocketHandle ConnectToLoopback(uint16_t port, int timeoutSeconds, long* error = nullptr);
