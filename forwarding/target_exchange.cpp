// The gateway's one network conversation: connect, send the request, collect
// the reply until it is complete, the target's time is up, or the network fails.
#include <cstdlib>
#include <cstring>

#include "forwarding/reply_framing.h"
#include "gateway/cgi_forwarder.h"
#include "gateway/owned.h"
#include "log/request_log.h"
#include "platform/platform.h"

namespace {

// Receives are asked for in pieces of this size.
constexpr int32_t kReceivePiece = 2047;
// How long an empty receive waits for data before the clock is looked at.
constexpr int kEmptyReceiveWaitMs = 1;

// Closes the connection on every way out.
class SocketGuard {
 public:
  explicit SocketGuard(platform::SocketHandle socket) : socket_(socket) {}
  ~SocketGuard() { platform::CloseSocket(socket_); }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;

 private:
  platform::SocketHandle socket_;
};

// The reply as it grows, NUL-terminated after its bytes.
class ReplyBuffer {
 public:
  // Makes room for `count` more bytes and the NUL.
  bool Reserve(int64_t count) {
    int64_t needed = used_ + count + 1;
    if (needed <= capacity_) return true;
    int64_t grown = capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
    if (grown < needed) grown = needed;
    char* bigger = static_cast<char*>(std::realloc(data_.get(), static_cast<size_t>(grown)));
    if (!bigger) return false;
    data_.release();
    data_.reset(bigger);
    capacity_ = grown;
    return true;
  }
  // Grows to hold exactly `size` bytes and the NUL, when that is more.
  bool ReserveTotal(int64_t size) { return size <= used_ || Reserve(size - used_); }
  char* Tail() { return data_.get() + used_; }
  void Added(int32_t count) {
    used_ += count;
    data_.get()[used_] = '\0';
  }
  void CutTo(int64_t length) {
    used_ = length;
    data_.get()[used_] = '\0';
  }
  char* Data() { return data_.get(); }
  int64_t Length() const { return used_; }
  char* Release() { return data_.release(); }

 private:
  OwnedBuffer data_;
  int64_t capacity_ = 0;
  int64_t used_ = 0;
};

bool IsHeadRequest(const char* request, int32_t length) {
  return length >= 5 && std::memcmp(request, "HEAD ", 5) == 0;
}

// Sends every byte, however the socket splits them.
bool SendAll(platform::SocketHandle socket, const char* data, int32_t length) {
  int32_t sent = 0;
  while (sent < length) {
    int32_t put = platform::SendOnSocket(socket, data + sent, length - sent);
    if (put <= 0) return false;
    sent += put;
  }
  return true;
}

}  // namespace

char* CgiForwarder::ExchangeWithTarget(const char* request, int32_t length,
                                       int32_t* replyLength, int32_t* targetStatus) {
  *replyLength = 0;
  *targetStatus = 0;
  FILE* log = settings_.logFile;

  platform::SocketHandle socket = platform::OpenTcpSocket();
  if (socket == platform::kNoSocket) {
    if (log) LogSocketError("No socket: %s%ld\n", "", platform::LastSocketError(), log);
    return nullptr;
  }
  SocketGuard closeOnReturn(socket);
  if (!platform::ConnectSocket(socket, settings_.targetAddress, settings_.targetPort)) {
    if (log) LogSocketError("Connection error: %s%ld", "", platform::LastSocketError(), log);
    return nullptr;
  }
  if (log) LogEvent("Connected", log);
  if (!SendAll(socket, request, length)) {
    if (log) LogSocketError("Send error: %s%ld", "", platform::LastSocketError(), log);
    return nullptr;
  }
  if (log) LogEvent("Data sent", log);

  const int64_t start = platform::MonotonicSeconds();
  platform::SetNonBlocking(socket, true);
  ReplyBuffer reply;
  ReplyFramer framer(IsHeadRequest(request, length));
  const char* failure = nullptr;  // the log's event line for a failed exchange
  bool failed = false;
  for (;;) {
    if (!reply.Reserve(kReceivePiece)) {
      failed = true;
      break;
    }
    int32_t got = platform::ReceiveFromSocket(socket, reply.Tail(), kReceivePiece);
    ReplyFramer::State state;
    if (got > 0) {
      reply.Added(got);
      state = framer.Update(reply.Data(), reply.Length());
      if (framer.HeaderComplete()) *targetStatus = framer.Status();
      // Once the length is known, take the whole of it at once.
      if (state == ReplyFramer::State::kNeedMore && framer.End() > 0 &&
          !reply.ReserveTotal(framer.End())) {
        failed = true;
        break;
      }
    } else if (got == 0) {
      state = framer.OnClose(reply.Length());
    } else {
      long code = platform::NormalizeErrorCode(platform::LastSocketError());
      if (code != 0 && code != platform::kWouldBlock) {
        failure = "Network error";
        break;
      }
      if (platform::MonotonicSeconds() - start >= settings_.timeoutSeconds) {
        failure = "Timeout";
        break;
      }
      platform::WaitReadable(socket, kEmptyReceiveWaitMs);
      continue;
    }
    if (state == ReplyFramer::State::kComplete) {
      reply.CutTo(framer.End());
      break;
    }
    if (state == ReplyFramer::State::kClosedEarly) {
      failure = "Connection closed";
      break;
    }
    if (state == ReplyFramer::State::kHeaderTooLarge) {
      failure = "Reply header too large";
      break;
    }
    if (state == ReplyFramer::State::kTooLong) {
      failure = "Reply too large";
      break;
    }
  }
  platform::SetNonBlocking(socket, false);

  if (failure && log) LogEvent(failure, log);
  if (failure || failed) return nullptr;
  *replyLength = static_cast<int32_t>(reply.Length());
  return reply.Release();
}
