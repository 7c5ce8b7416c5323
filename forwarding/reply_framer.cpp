#include "forwarding/reply_framer.h"

#include "base/http_message.h"
#include "forwarding/reply_scanner.h"

ReplyFramer::State ReplyFramer::Update(const char* text, int64_t length) {
  while (headerEnd_ == 0) {
    // Only what a header may take is read: the verdict is the same whatever
    // pieces the reply came in.
    const int64_t scanned = length < kMaxReplyHeader + 1 ? length : kMaxReplyHeader + 1;
    ReplyHead head;
    ScanReplyHead(text + responseStart_, scanned - responseStart_, &head);
    if (head.fault) {
      fault_ = head.fault;
      return State::kBadHeader;
    }
    if (head.headerLength == 0) {
      return length > kMaxReplyHeader ? State::kHeaderTooLarge : State::kNeedMore;
    }
    status_ = head.status;
    int64_t headerEnd = responseStart_ + head.headerLength;
    if (headerEnd > kMaxReplyHeader) return State::kHeaderTooLarge;
    if (head.status == 101) return State::kSwitchedProtocols;
    if (IsInterim(head.status)) {
      responseStart_ = headerEnd;  // interim reply: the real one follows
      continue;
    }
    headerEnd_ = headerEnd;
    closes_ = head.closes;
    if (headRequest_ || head.status == 204 || head.status == 304) {
      end_ = headerEnd_;
    } else if (head.chunked) {
      chunked_ = true;
      chunksRead_ = headerEnd_;
    } else if (head.hasContentLength && head.contentLength == 0) {
      end_ = headerEnd_;
    } else if (head.hasContentLength && head.contentLength > 0) {
      if (head.contentLength > maxReply_ - headerEnd_) return State::kTooLong;
      end_ = headerEnd_ + head.contentLength;
    } else {
      closeDelimited_ = true;  // HTTP/1.0: the close ends the body
    }
  }
  if (chunked_ && end_ == 0) {
    chunksRead_ += chunks_.Skip(text + chunksRead_, length - chunksRead_);
    const State state = ChunksRead();
    if (state == State::kNeedMore && length > maxReply_) return State::kTooLong;
    if (state != State::kComplete) return state;
  }
  if (closeDelimited_) return length > maxReply_ ? State::kTooLong : State::kNeedMore;
  return length >= end_ ? State::kComplete : State::kNeedMore;
}

ReplyFramer::State ReplyFramer::FollowChunks(char* bytes, int64_t count, bool dechunk,
                                             int64_t* used, int64_t* data) {
  *data = 0;
  *used = dechunk ? chunks_.Decode(bytes, count, data) : chunks_.Skip(bytes, count);
  chunksRead_ += *used;
  return ChunksRead();
}

ReplyFramer::State ReplyFramer::ChunksRead() {
  if (chunks_.Fault()) {
    fault_ = chunks_.Fault();
    return State::kBadHeader;
  }
  if (!chunks_.Done()) return State::kNeedMore;
  end_ = chunksRead_;
  return State::kComplete;
}

ReplyFramer::State ReplyFramer::OnClose(int64_t length) {
  if (headerEnd_ > 0 && closeDelimited_) {
    end_ = length;
    return State::kComplete;
  }
  return State::kClosedEarly;
}

Failure FailureOf(ReplyFramer::State state) {
  switch (state) {
    case ReplyFramer::State::kClosedEarly: return Failure::kClosedEarly;
    case ReplyFramer::State::kHeaderTooLarge: return Failure::kReplyHeaderTooLarge;
    case ReplyFramer::State::kTooLong: return Failure::kReplyTooLarge;
    case ReplyFramer::State::kSwitchedProtocols: return Failure::kSwitchedProtocols;
    case ReplyFramer::State::kBadHeader: return Failure::kBadReplyHeader;
    default: return Failure::kNone;
  }
}

void LogFailure(const RequestLog& log, Failure failure, const ReplyFramer& framer) {
  if (failure == Failure::kBadReplyHeader) {
    log.Event(framer.Chunked() ? "Chunked reply not valid: " : "Reply header not valid: ",
              framer.Fault());
  } else {
    log.Event(FailureEvent(failure));
  }
}
