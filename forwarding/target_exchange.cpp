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

}  // namespace

char* CgiForwarder::ExchangeWithTarget(const char* request, int32_t length,
                                       int32_t* replyLength, int32_t* targetStatus) {
  *replyLength = 0;
  *targetStatus = 0;
  TargetConnection connection(settings_);
  failure_ = connection.Connect();
  if (failure_ == Failure::kNone) failure_ = connection.Send(request, length, true);
  if (failure_ != Failure::kNone) return nullptr;
  Log().Event("Data sent");

  // Whole seconds: counting from the next one means a reply is never given up
  // on before Timeout has passed (Timeout=1 could otherwise end it at once).
  const int64_t start = platform::MonotonicSeconds() + 1;
  connection.StartReceiving();
  GrowingBuffer reply;
  ReplyFramer framer(IsHeadRequest(request, length));
  for (;;) {
    // Never beyond a known end, so the last piece never makes the buffer grow.
    int32_t piece = kReceivePiece;
    int64_t missing = framer.End() - reply.Length();
    if (framer.End() > 0 && missing > 0) {
      piece = missing < kKnownLengthPiece ? static_cast<int32_t>(missing) : kKnownLengthPiece;
    }
    if (!reply.Reserve(piece)) break;  // no memory: no log line
    int32_t got = connection.Receive(reply.Tail(), piece, start, &failure_);
    if (got < 0) break;
    ReplyFramer::State state;
    if (got == 0) {
      state = framer.OnClose(reply.Length());
    } else {
      reply.Added(got);
      state = framer.Update(reply.Data(), reply.Length());
      if (framer.HeaderComplete()) *targetStatus = framer.Status();
      // Once the length is known, take room for all of it at once.
      if (state == ReplyFramer::State::kNeedMore && framer.End() > 0 &&
          !reply.ReserveTotal(framer.End())) {
        break;
      }
    }
    if (state == ReplyFramer::State::kComplete) {
      reply.CutTo(framer.End());
      int64_t headerEnd = framer.HeaderEnd();
      if (framer.TransferEncoded() &&
          !ReframeHeldReply(reply, framer, framer.Chunked() && DechunksReplies(), true,
                            &headerEnd)) {
        failure_ = Failure::kNoMemory;
        break;
      }
      const int64_t whole = reply.Length();
      char* complete = reply.Release();
      if (!complete) break;
      *replyLength = static_cast<int32_t>(whole);
      response_ = Response{framer.Status(), whole - headerEnd, Failure::kNone};
      return complete;
    }
    failure_ = FailureOf(state);
    if (failure_ != Failure::kNone) break;
  }
  if (reply.Failed()) failure_ = Failure::kNoMemory;
  LogFailure(Log(), failure_, framer);
  return nullptr;
}
