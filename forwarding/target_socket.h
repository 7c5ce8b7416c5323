// The socket to the target: TCP, or a Unix domain socket when "TargetSocket"
// names a socket file. Opened afresh for each attempt to connect.
#pragma once

#include "platform/socket.h"
#include "platform/tcp.h"
#include "settings/forward_settings.h"

class TargetSocket {
 public:
  enum class Attempt { kConnected, kNoSocket, kFailed, kNotResolved };

  explicit TargetSocket(const ForwardSettings& settings) : settings_(settings) {}
  ~TargetSocket() { platform::CloseSocket(handle_); }
  TargetSocket(const TargetSocket&) = delete;
  TargetSocket& operator=(const TargetSocket&) = delete;

  // One connect on a fresh socket, to each of the target's addresses in turn
  // until one accepts (looked up at the first attempt); the system's error
  // code in `*error`.
  Attempt TryConnect(long* error);
  platform::SocketHandle Handle() const { return handle_; }
  bool IsOpen() const { return handle_ != platform::kNoSocket; }
  // Closes the socket; the next attempt looks the target's addresses up again.
  void Close() {
    platform::CloseSocket(handle_);
    handle_ = platform::kNoSocket;
    lookedUp_ = false;
  }

 private:
  Attempt TryAddresses(long* error);

  const ForwardSettings& settings_;
  platform::SocketHandle handle_ = platform::kNoSocket;
  bool lookedUp_ = false;
  platform::TcpAddresses addresses_;
};
