// A target server on 127.0.0.1 that follows a script, one connection at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class ScriptedTarget {
 public:
  struct Step {
    enum Kind { kSend, kPause, kClose, kReset } kind;
    std::string bytes;   // kSend
    int milliseconds = 0;  // kPause
  };

  ScriptedTarget();
  ~ScriptedTarget();
  ScriptedTarget(const ScriptedTarget&) = delete;
  ScriptedTarget& operator=(const ScriptedTarget&) = delete;

  // Script steps, played in order after the request has been read.
  ScriptedTarget& Send(const std::string& bytes);
  ScriptedTarget& Pause(int milliseconds);
  ScriptedTarget& Close();  // orderly close; without it the script ends with one
  ScriptedTarget& Reset();  // close with a reset
  // Keeps the connection open, silent, until the test ends.
  ScriptedTarget& Hold();
  // Reads no request at all before playing the script.
  ScriptedTarget& DontRead();

  // Starts serving `connections` connections with the script.
  void Start(int connections = 1);
  uint16_t Port() const { return port_; }
  // The request bytes received so far on every connection, concatenated.
  std::string Received();
  int Connections();

 private:
  void Serve(int connections);
  void ReadRequest(platform::SocketHandle socket);

  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  std::vector<Step> steps_;
  bool hold_ = false;
  bool read_ = true;
  bool stopping_ = false;
  std::mutex mutex_;
  std::string received_;
  int connections_ = 0;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t UnusedPort();
