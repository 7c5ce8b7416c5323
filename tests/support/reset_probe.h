// How this system reports a target that resets the connection.
#pragma once

#include <string>

#include "platform/loopback_listener.h"
#include "platform/platform.h"
#include "settings/forward_settings.h"

// The log line for a target that resets the connection. Linux and Windows
// report the reset; Wine reports it as an orderly close, which the system
// shows here by a receive after a reset that returns 0.
inline std::string ResetLogLine() {
  uint16_t port = 0;
  platform::SocketHandle listener = platform::OpenLoopbackListener(&port);
  platform::SocketHandle socket = platform::OpenTcpSocket();
  bool readsAsClose = false;
  if (platform::ConnectSocket(socket, kLoopbackAddress, port, 0)) {
    platform::SocketHandle peer = platform::AcceptConnection(listener, 5000);
    if (peer != platform::kNoSocket) {
      platform::ResetAndClose(peer);
      platform::WaitReadable(socket, 2000);
      char byte;
      readsAsClose = platform::ReceiveFromSocket(socket, &byte, 1) == 0;
    }
  }
  platform::CloseSocket(socket);
  platform::CloseSocket(listener);
  return readsAsClose ? "\tConnection closed\n" : "\tNetwork error\n";
}
