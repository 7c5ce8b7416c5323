// Streaming: the request body goes to the target in pieces as it is read, and
// the reply goes to the browser in pieces as it arrives, so memory stays
// bounded whatever the size of either.
//
// Adaptive relaying is the same exchange with the reply held first: one that
// completes within the hold limit is written whole (so a failure before then
// still gets the error page); one that passes it, declares a length beyond it,
// or is a live stream flows from there on.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/growing_buffer.h"
#include "base/http_message.h"
#include "base/owned_buffer.h"
#include "forwarding/chunked_reply.h"
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

// True when the reply's header asks for the body to reach the browser as it
// is made: an event stream, or a proxy's "X-Accel-Buffering: no".
bool AsksToFlow(const char* header, int64_t length) {
  for (size_t at = 0; at < static_cast<size_t>(length);) {
    Span line = NextLine(header, static_cast<size_t>(length), &at);
    const char* colon = static_cast<const char*>(std::memchr(line.begin, ':', line.length));
    if (!colon) continue;
    Span name{line.begin, static_cast<size_t>(colon - line.begin)};
    Span value{colon + 1, line.length - name.length - 1};
    if (SpanIs(name, "Content-Type")) {
      const char* parameters = static_cast<const char*>(std::memchr(value.begin, ';', value.length));
      if (parameters) value.length = static_cast<size_t>(parameters - value.begin);
      if (SpanIs(Trimmed(value), "text/event-stream")) return true;
    } else if (SpanIs(name, "X-Accel-Buffering") && SpanIs(Trimmed(value), "no")) {
      return true;
    }
  }
  return false;
}

class StreamRelay {
 public:
  // Up to `holdLimit` bytes of the reply are held before it flows (0: it
  // flows from the end of its header).
  StreamRelay(CgiForwarder& forwarder, RequestLog log, bool headRequest, int64_t holdLimit)
      : forwarder_(forwarder), log_(log), framer_(headRequest, kMaxStreamedReply),
        holdLimit_(holdLimit) {}

  // Runs the exchange after the request was sent. Failure::kNone once
  // anything was relayed (a failure after that ends the reply short, and is
  // logged); the cause when nothing was.
  Failure Relay(TargetConnection& connection);
  bool Relaying() const { return relaying_; }
  bool ReceivedAny() const { return received_; }
  // The reply ended where its header said, and the target keeps the
  // connection for another request.
  bool LeftOpen() const { return whole_ && framer_.LeavesConnectionOpen(); }
  // What reached the browser once relaying began.
  CgiForwarder::Response Sent() const {
    int64_t body = relayed_ - framer_.HeaderEnd();
    return {framer_.Status(), body > 0 ? body : 0, cut_};
  }

 private:
  // Takes `count` bytes received into held_.Tail(). False when the reply
  // failed (`*failure` says why) before anything was relayed.
  bool Hold(int32_t count, ReplyFramer::State* state);
  bool FlowsNow() const {
    return held_.Length() > holdLimit_ || framer_.End() > holdLimit_ ||
           AsksToFlow(held_.Data(), framer_.HeaderEnd());
  }
  // Writes what is held (its header rewritten, its chunks decoded where the
  // reader needs that), and from then on relays.
  Failure WriteHeld(bool complete);
  // Writes body bytes, never beyond the reply's end. False when the browser
  // is gone.
  bool RelayBody(const char* bytes, int64_t count);
  // Logs why the relay ended; the cause when nothing was relayed.
  Failure End(Failure failure) {
    LogFailure(log_, failure, framer_);
    if (relaying_) {
      cut_ = failure;
      forwarder_.MarkReplyCutShort();
    }
    return relaying_ ? Failure::kNone : failure;
  }

  CgiForwarder& forwarder_;
  const RequestLog log_;
  ReplyFramer framer_;
  const int64_t holdLimit_;
  GrowingBuffer held_;  // the reply until it is relayed: its header at least
  bool relaying_ = false;
  bool dechunk_ = false;  // a chunked reply goes out as its data
  bool received_ = false;
  bool whole_ = false;   // complete, and nothing came after its end
  int64_t relayed_ = 0;  // bytes of the reply written to the browser
  Failure cut_ = Failure::kNone;  // why a reply that had begun ended short
};

Failure StreamRelay::WriteHeld(bool complete) {
  int64_t available = held_.Length();
  if (framer_.End() > 0 && available > framer_.End()) available = framer_.End();
  held_.CutTo(available);
  int64_t headerEnd = framer_.HeaderEnd();
  if (framer_.Chunked()) {
    dechunk_ = forwarder_.DechunksReplies();
    if (!ReframeHeldReply(held_, framer_, dechunk_, complete, &headerEnd)) return Failure::kNoMemory;
    available = held_.Length();
  }
  relaying_ = true;
  if (!complete) forwarder_.MarkReplyFlowing();
  log_.Relayed();
  int32_t rewrittenLength = 0;
  OwnedBuffer rewritten(forwarder_.RewriteRedirects(
      held_.Data(), static_cast<int32_t>(available), &rewrittenLength));
  // A rewritten header stands in for the original.
  const int32_t length = rewritten ? rewrittenLength : static_cast<int32_t>(available);
  const bool written =
      forwarder_.WriteOutput(rewritten ? rewritten.get() : held_.Data(), length) == length;
  // Counted from the end of the target's header: the body as it went out.
  relayed_ = framer_.HeaderEnd() + available - headerEnd;
  held_ = GrowingBuffer();  // what flows from here on is never held
  return written ? Failure::kNone : Failure::kBrowserGone;
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
  int64_t since = platform::MonotonicSeconds() + 1;
  for (;;) {
    // While held, the reply is received where it is kept, never beyond a
    // known end; room for all of it is taken once that is known.
    char* into = piece;
    int32_t want = kStreamPiece;
    if (!relaying_) {
      int64_t missing = framer_.End() - held_.Length();
      if (framer_.End() > 0 && missing < want) want = static_cast<int32_t>(missing);
      if (!held_.ReserveTotal(framer_.End()) || !held_.Reserve(want)) {
        return End(Failure::kNoMemory);
      }
      into = held_.Tail();
    }
    Failure failure = Failure::kNone;
    int32_t got = connection.Receive(into, want, since, &failure);
    if (got < 0) return End(failure);
    received_ = received_ || got > 0;
    if (relaying_) {
      // The close ends a reply framed by it; any other reply is cut short.
      if (got == 0) return framer_.EndedByClose() ? Failure::kNone : End(Failure::kClosedEarly);
      int64_t count = got;
      bool beyondEnd = framer_.End() > 0 && relayed_ + got > framer_.End();
      ReplyFramer::State state = ReplyFramer::State::kNeedMore;
      if (framer_.Chunked()) {
        int64_t used = 0, data = 0;
        state = framer_.FollowChunks(piece, got, dechunk_, &used, &data);
        if (FailureOf(state) != Failure::kNone) return End(FailureOf(state));
        count = dechunk_ ? data : used;
        beyondEnd = used < got;
      }
      if (!RelayBody(piece, count)) return End(Failure::kBrowserGone);
      if (state == ReplyFramer::State::kComplete ||
          (!framer_.Chunked() && framer_.End() > 0 && relayed_ >= framer_.End())) {
        whole_ = !beyondEnd;
        return Failure::kNone;
      }
    } else {
      ReplyFramer::State state;
      if (got == 0) {
        state = framer_.OnClose(held_.Length());
      } else {
        held_.Added(got);
        state = framer_.Update(held_.Data(), held_.Length());
      }
      if (FailureOf(state) != Failure::kNone) return End(FailureOf(state));
      const bool complete = state == ReplyFramer::State::kComplete;
      whole_ = complete && held_.Length() == framer_.End();
      if (complete || (framer_.HeaderComplete() && FlowsNow())) {
        const Failure failure = WriteHeld(complete);
        if (failure != Failure::kNone) return End(failure);
        if (complete) return Failure::kNone;
      }
    }
    // Streaming counts the timeout from the last byte received, so a transfer
    // that keeps flowing is never cut; a reply being held, as the held
    // exchange does, from the end of the send.
    if (relaying_ || holdLimit_ == 0) since = platform::MonotonicSeconds() + 1;
  }
}

}  // namespace

namespace {

// Sends the head, then the body in pieces as it is read.
Failure SendRequest(CgiForwarder& forwarder, TargetConnection& connection, const char* head,
                    int32_t length, RequestBody& body, const RequestLog& log) {
  Failure failure = connection.Send(head, length);
  if (failure != Failure::kNone) return failure;
  char* piece = static_cast<char*>(std::malloc(kStreamPiece));
  if (!piece) return Failure::kNoMemory;
  OwnedBuffer pieceOwner(piece);
  for (;;) {
    int32_t got = body.Read(forwarder, piece, kStreamPiece);
    if (got == 0) break;
    if (got < 0) {
      log.Event(FailureEvent(Failure::kBodyEndedEarly));
      return Failure::kBodyEndedEarly;
    }
    failure = connection.Send(piece, got);
    if (failure != Failure::kNone) return failure;
  }
  log.Event("Data sent");
  return Failure::kNone;
}

}  // namespace

Failure CgiForwarder::StreamWithTarget(const char* head, int32_t length, RequestBody& body) {
  TargetConnection own(settings_);
  TargetConnection& connection = keptConnection_ ? *keptConnection_ : own;
  const int64_t holdLimit = settings_.relay == Relay::kAdaptive ? settings_.holdLimit : 0;
  for (int attempt = 0;; ++attempt) {
    bool replyBegan = false;
    bool leftOpen = false;
    Failure failure = connection.Open();
    if (failure == Failure::kNone) {
      failure = SendRequest(*this, connection, head, length, body, Log());
    }
    if (failure == Failure::kNone) {
      connection.StartReceiving();
      StreamRelay relay(*this, Log(), IsHeadRequest(head, length), holdLimit);
      failure = relay.Relay(connection);
      replyBegan = relay.ReceivedAny();
      leftOpen = relay.LeftOpen();
      if (relay.Relaying()) response_ = relay.Sent();
    }
    if (attempt == 0 && !replyBegan && MaySendAgain(connection, failure, head, length) &&
        body.Rewind()) {
      connection.Close();
      Log().Event(kSentAgainEvent);
      continue;
    }
    if (!leftOpen) connection.Close();
    return failure;
  }
}
