// Streaming: the request body goes to the target in pieces as it is read, and
// the reply goes to the browser in pieces as it arrives, so memory stays
// bounded whatever the size of either.
#include <cstdint>
#include <cstdlib>

#include "base/growing_buffer.h"
#include "base/owned_buffer.h"
#include "forwarding/reply_framer.h"
#include "forwarding/request_body.h"
#include "forwarding/target_connection.h"
#include "gateway/cgi_forwarder.h"
#include "log/request_log.h"
#include "platform/clock.h"

namespace {

constexpr int32_t kStreamPiece = 64 * 1024;
// A streamed reply is never held, so its length has no 32-bit bound.
constexpr int64_t kMaxStreamedReply = INT64_MAX / 2;

class StreamRelay {
 public:
  StreamRelay(CgiForwarder& forwarder, RequestLog log, bool headRequest)
      : forwarder_(forwarder), log_(log), framer_(headRequest, kMaxStreamedReply) {}

  // Runs the exchange after the request was sent. Failure::kNone once
  // anything was relayed (a failure after that ends the reply short, and is
  // logged); the cause when nothing was.
  Failure Relay(TargetConnection& connection);

 private:
  // Keeps the bytes until the header is complete. False when it failed.
  bool CollectHeader(const char* bytes, int32_t count, ReplyFramer::State* state);
  // Starts relaying with the header and what arrived with it.
  bool StartRelaying();
  // Writes body bytes, never beyond the reply's end. False when the browser
  // is gone.
  bool RelayBody(const char* bytes, int64_t count);
  // Logs why the relay ended; the cause when nothing was relayed.
  Failure End(Failure failure) {
    LogFailure(log_, failure, framer_);
    return relaying_ ? Failure::kNone : failure;
  }

  CgiForwarder& forwarder_;
  const RequestLog log_;
  ReplyFramer framer_;
  GrowingBuffer head_;  // the reply until its header is complete
  bool relaying_ = false;
  int64_t relayed_ = 0;  // bytes of the reply written to the browser
};

bool StreamRelay::CollectHeader(const char* bytes, int32_t count, ReplyFramer::State* state) {
  head_.Append(bytes, static_cast<size_t>(count));
  if (head_.Failed()) return false;
  *state = framer_.Update(head_.Data(), head_.Length());
  return true;
}

bool StreamRelay::StartRelaying() {
  relaying_ = true;
  int64_t available = head_.Length();
  if (framer_.End() > 0 && available > framer_.End()) available = framer_.End();
  log_.Relayed();
  int32_t rewrittenLength = 0;
  OwnedBuffer rewritten(forwarder_.RewriteRedirects(
      head_.Data(), static_cast<int32_t>(available), &rewrittenLength));
  if (rewritten) {
    // The rewritten header stands in for the original; the body count is kept.
    int64_t written = forwarder_.WriteOutput(rewritten.get(), rewrittenLength);
    if (written != rewrittenLength) return false;
    relayed_ = available;
    return true;
  }
  return RelayBody(head_.Data(), available);
}

bool StreamRelay::RelayBody(const char* bytes, int64_t count) {
  if (framer_.End() > 0 && relayed_ + count > framer_.End()) count = framer_.End() - relayed_;
  if (count <= 0) return true;
  int32_t written = forwarder_.WriteOutput(bytes, static_cast<int32_t>(count));
  relayed_ += written > 0 ? written : 0;
  return written == count;
}

Failure StreamRelay::Relay(TargetConnection& connection) {
  char* piece = static_cast<char*>(std::malloc(kStreamPiece));
  if (!piece) return Failure::kNoMemory;
  OwnedBuffer pieceOwner(piece);
  // The clock counts whole seconds: starting the count at the next second
  // makes sure a silence shorter than the timeout never ends a transfer (the
  // end comes between Timeout and Timeout + 1 seconds of silence).
  int64_t lastArrival = platform::MonotonicSeconds() + 1;
  for (;;) {
    Failure failure = Failure::kNone;
    int32_t got = connection.Receive(piece, kStreamPiece, lastArrival, &failure);
    if (got < 0) return End(failure);
    if (got == 0) {
      // The close ends a reply framed by it; any other reply is cut short.
      if (relaying_ && framer_.End() == 0) return Failure::kNone;
      return End(Failure::kClosedEarly);
    }
    // Timeouts count from the last byte received: a transfer that keeps
    // flowing is never cut.
    lastArrival = platform::MonotonicSeconds() + 1;
    if (relaying_) {
      if (!RelayBody(piece, got)) return End(Failure::kBrowserGone);
    } else {
      ReplyFramer::State state = ReplyFramer::State::kNeedMore;
      if (!CollectHeader(piece, got, &state)) return End(Failure::kNoMemory);
      if (FailureOf(state) != Failure::kNone) return End(FailureOf(state));
      if (framer_.HeaderComplete() && !StartRelaying()) return End(Failure::kBrowserGone);
    }
    if (relaying_ && framer_.End() > 0 && relayed_ >= framer_.End()) return Failure::kNone;
  }
}

}  // namespace

Failure CgiForwarder::StreamWithTarget(const char* head, int32_t length, RequestBody& body) {
  TargetConnection connection(settings_);
  Failure failure = connection.Connect();
  if (failure == Failure::kNone) failure = connection.Send(head, length);
  if (failure != Failure::kNone) return failure;
  {
    char* piece = static_cast<char*>(std::malloc(kStreamPiece));
    if (!piece) return Failure::kNoMemory;
    OwnedBuffer pieceOwner(piece);
    for (;;) {
      int32_t got = body.Read(*this, piece, kStreamPiece);
      if (got == 0) break;
      if (got < 0) {
        Log().Event(FailureEvent(Failure::kBodyEndedEarly));
        return Failure::kBodyEndedEarly;
      }
      failure = connection.Send(piece, got);
      if (failure != Failure::kNone) return failure;
    }
  }
  Log().Event("Data sent");
  connection.StartReceiving();
  StreamRelay relay(*this, Log(), IsHeadRequest(head, length));
  return relay.Relay(connection);
}
