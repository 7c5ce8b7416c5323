// The gateway's one network conversation: connect, send the request, collect
// the reply until it is complete, the target's time is up, or the network fails.
#include <cstdlib>

#include "base/growing_buffer.h"
#include "forwarding/chunked_reply.h"
#include "forwarding/reply_framer.h"
#include "forwarding/target_connection.h"
#include "gateway/cgi_forwarder.h"
#include "platform/clock.h"

namespace {

// Receives take at least a whole TLS record (16 KiB). Once the reply's length
// is known its buffer has room for all of it, and larger pieces cost no more
// memory; a large reply then takes few system calls.
constexpr int32_t kReceivePiece = 16 * 1024;
constexpr int32_t kKnownLengthPiece = 256 * 1024;

// One reply collected whole.
class HeldReply {
 public:
  explicit HeldReply(bool headRequest) : framer_(headRequest) {}

  // Receives until the reply is complete; logs why it is not.
  Failure Receive(TargetConnection& connection, const RequestLog& log);
  const ReplyFramer& Framer() const { return framer_; }
  bool ReceivedAny() const { return reply_.Length() > 0; }
  // The reply ended where its header said, and the target keeps the
  // connection for another request.
  bool LeftOpen() const { return whole_ && framer_.LeavesConnectionOpen(); }
  // A chunked reply as its reader is to get it (see ReframeHeldReply);
  // `*headerEnd` is where its header ends then. False without memory.
  bool Reframe(bool dechunk, int64_t* headerEnd) {
    *headerEnd = framer_.HeaderEnd();
    return !framer_.Chunked() || ReframeHeldReply(reply_, framer_, dechunk, true, headerEnd);
  }
  // The complete reply (NUL after it), the caller's to free; nullptr without memory.
  char* Release(int64_t* length) {
    *length = reply_.Length();
    return reply_.Release();
  }

 private:
  GrowingBuffer reply_;
  ReplyFramer framer_;
  bool whole_ = false;
};

Failure HeldReply::Receive(TargetConnection& connection, const RequestLog& log) {
  // Whole seconds: counting from the next one means a reply is never given up
  // on before Timeout has passed (Timeout=1 could otherwise end it at once).
  const int64_t start = platform::MonotonicSeconds() + 1;
  connection.StartReceiving();
  Failure failure = Failure::kNone;
  for (;;) {
    // Never beyond a known end, so the last piece never makes the buffer grow.
    int32_t piece = kReceivePiece;
    int64_t missing = framer_.End() - reply_.Length();
    if (framer_.End() > 0 && missing > 0) {
      piece = missing < kKnownLengthPiece ? static_cast<int32_t>(missing) : kKnownLengthPiece;
    }
    if (!reply_.Reserve(piece)) break;  // no memory: no log line
    int32_t got = connection.Receive(reply_.Tail(), piece, start, &failure);
    if (got < 0) break;
    ReplyFramer::State state;
    if (got == 0) {
      state = framer_.OnClose(reply_.Length());
    } else {
      reply_.Added(got);
      state = framer_.Update(reply_.Data(), reply_.Length());
      // Once the length is known, take room for all of it at once.
      if (state == ReplyFramer::State::kNeedMore && framer_.End() > 0 &&
          !reply_.ReserveTotal(framer_.End())) {
        break;
      }
    }
    if (state == ReplyFramer::State::kComplete) {
      // Bytes beyond the end are dropped, and with them the connection.
      whole_ = reply_.Length() == framer_.End();
      reply_.CutTo(framer_.End());
      return Failure::kNone;
    }
    failure = FailureOf(state);
    if (failure != Failure::kNone) break;
  }
  if (reply_.Failed()) failure = Failure::kNoMemory;
  LogFailure(log, failure, framer_);
  return failure;
}

}  // namespace

char* CgiForwarder::ExchangeWithTarget(const char* request, int32_t length,
                                       int32_t* replyLength, int32_t* targetStatus) {
  *replyLength = 0;
  *targetStatus = 0;
  TargetConnection own(settings_);
  TargetConnection& connection = keptConnection_ ? *keptConnection_ : own;
  for (int attempt = 0;; ++attempt) {
    HeldReply held(IsHeadRequest(request, length));
    failure_ = connection.Open();
    if (failure_ == Failure::kNone) failure_ = connection.Send(request, length, true);
    if (failure_ == Failure::kNone) {
      Log().Event("Data sent");
      failure_ = held.Receive(connection, Log());
    }
    if (held.Framer().HeaderComplete()) *targetStatus = held.Framer().Status();
    if (attempt == 0 && !held.ReceivedAny() &&
        MaySendAgain(connection, failure_, request, length)) {
      connection.Close();
      Log().Event(kSentAgainEvent);
      continue;
    }
    if (!held.LeftOpen()) connection.Close();
    if (failure_ != Failure::kNone) return nullptr;
    int64_t headerEnd = 0;
    int64_t whole = 0;
    char* complete = held.Reframe(DechunksReplies(), &headerEnd) ? held.Release(&whole) : nullptr;
    if (!complete) {
      failure_ = Failure::kNoMemory;
      return nullptr;
    }
    *replyLength = static_cast<int32_t>(whole);
    response_ = Response{held.Framer().Status(), whole - headerEnd, Failure::kNone};
    return complete;
  }
}
