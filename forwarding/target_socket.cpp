#include "forwarding/target_socket.h"

#include "platform/local_socket.h"

namespace {

// How much a failed attempt says about the target: an address the system
// cannot use says nothing, a refusal that nothing listens, anything else
// (a timeout, an unreachable host) that something is wrong on the way.
int Weight(long code) {
  if (platform::AddressUnusable(code)) return 0;
  return platform::NothingListens(code) ? 1 : 2;
}

}  // namespace

TargetSocket::Attempt TargetSocket::TryConnect(long* error) {
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
  if (settings_.targetSocket[0] == '\0') return TryAddresses(error);
  handle_ = platform::OpenLocalSocket();
  if (handle_ == platform::kNoSocket) {
    *error = platform::LastSocketError();
    return Attempt::kNoSocket;
  }
  bool connected = platform::ConnectLocalSocket(handle_, settings_.targetSocket,
                                                settings_.connectTimeoutSeconds);
  *error = connected ? 0 : platform::LastSocketError();
  return connected ? Attempt::kConnected : Attempt::kFailed;
}

// The error told is the weightiest of the attempts (the last of equal
// weight), so that a refusal on every address the system can use reads as
// nothing listening, which a start command answers.
TargetSocket::Attempt TargetSocket::TryAddresses(long* error) {
  if (!lookedUp_) {
    lookedUp_ = true;
    platform::LookUpTcpAddresses(settings_.targetHost, settings_.targetPort, &addresses_);
  }
  if (addresses_.count == 0) return Attempt::kNotResolved;
  Attempt outcome = Attempt::kNoSocket;
  for (int i = 0; i < addresses_.count; ++i) {
    platform::CloseSocket(handle_);
    handle_ = platform::OpenTcpSocket(addresses_.at[i]);
    bool opened = handle_ != platform::kNoSocket;
    if (opened &&
        platform::ConnectSocket(handle_, addresses_.at[i], settings_.connectTimeoutSeconds)) {
      *error = 0;
      return Attempt::kConnected;
    }
    long code = platform::LastSocketError();
    if (outcome == Attempt::kNoSocket || Weight(code) >= Weight(*error)) *error = code;
    if (opened) outcome = Attempt::kFailed;
  }
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
  return outcome;
}
