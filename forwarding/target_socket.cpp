#include "forwarding/target_socket.h"

#include "platform/local_socket.h"
#include "platform/tcp.h"

TargetSocket::Attempt TargetSocket::TryConnect(long* error) {
  platform::CloseSocket(handle_);
  const bool local = settings_.targetSocket[0] != '\0';
  handle_ = local ? platform::OpenLocalSocket() : platform::OpenTcpSocket();
  if (handle_ == platform::kNoSocket) {
    *error = platform::LastSocketError();
    return Attempt::kNoSocket;
  }
  bool connected =
      local ? platform::ConnectLocalSocket(handle_, settings_.targetSocket,
                                           settings_.connectTimeoutSeconds)
            : platform::ConnectSocket(handle_, settings_.targetAddress, settings_.targetPort,
                                      settings_.connectTimeoutSeconds);
  *error = connected ? 0 : platform::LastSocketError();
  return connected ? Attempt::kConnected : Attempt::kFailed;
}
