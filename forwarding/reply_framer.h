// Where the target's reply ends.
#pragma once

#include <cstdint>

#include "base/chunked_decoder.h"
#include "forwarding/failure.h"
#include "log/request_log.h"

// Follows a reply as it arrives and says when it is complete.
//  - Interim (1xx) responses stay in the reply; the response after them frames it.
//    101 Switching Protocols ends the exchange as a failure.
//  - A reply to HEAD, a 204 and a 304 end at their header.
//  - Content-Length frames the body; bytes beyond it are dropped.
//  - Transfer-Encoding overrides Content-Length: the chunks frame the body
//    (bad chunks end the exchange as a bad reply; a coding other than
//    chunked is a bad header, as the gateway never asks for one).
//  - Without either the reply ends when the target closes.
//  - A header that the web server or the browser could read otherwise than
//    the gateway does (see ReplyHead::fault) ends the exchange as a failure.
class ReplyFramer {
 public:
  static constexpr int64_t kMaxHeldReply = INT32_MAX - 1;

  enum class State {
    kNeedMore, kComplete, kHeaderTooLarge, kTooLong, kClosedEarly,
    // 101: the target took the connection over for another protocol (a
    // WebSocket), which a one-request CGI program cannot carry.
    kSwitchedProtocols,
    kBadHeader,
  };

  // `maxReply` bounds the whole reply (kTooLong beyond it): a reply held in
  // memory must fit a signed 32-bit length; a streamed one is never held.
  explicit ReplyFramer(bool headRequest, int64_t maxReply = kMaxHeldReply)
      : headRequest_(headRequest), maxReply_(maxReply) {}

  // Call after each arrival; `text` holds the whole reply so far, `length`
  // bytes.
  State Update(const char* text, int64_t length);
  // Call when the target has closed the connection.
  State OnClose(int64_t length);

  bool HeaderComplete() const { return headerEnd_ > 0; }
  // The end of the final response's header, once complete.
  int64_t HeaderEnd() const { return headerEnd_; }
  int32_t Status() const { return status_; }
  // Why the header was refused (kBadHeader).
  const char* Fault() const { return fault_; }
  // Where the reply ends, once known (complete, or framed by Content-Length).
  int64_t End() const { return end_; }
  // Once complete: the target leaves the connection open for another request
  // (the reply was framed by its header, and did not say it closes).
  bool LeavesConnectionOpen() const { return headerEnd_ > 0 && !closeDelimited_ && !closes_; }

  // The body is framed by chunks.
  bool Chunked() const { return chunked_; }
  bool EndedByClose() const { return closeDelimited_; }
  // A chunked reply that flows from here on: reads the next `count` bytes
  // received after those Update saw. `*used` of them belong to the reply.
  // With `dechunk`, the chunk data among them is moved to the front of
  // `bytes`, `*data` bytes of it.
  State FollowChunks(char* bytes, int64_t count, bool dechunk, int64_t* used, int64_t* data);

 private:
  bool headRequest_;
  int64_t maxReply_;
  int64_t responseStart_ = 0;  // start of the response being scanned (after 1xx)
  int64_t headerEnd_ = 0;
  int64_t end_ = 0;            // 0 while unknown
  bool closeDelimited_ = false;
  bool closes_ = false;
  int32_t status_ = 0;
  const char* fault_ = nullptr;
  bool chunked_ = false;
  ChunkedDecoder chunks_;
  int64_t chunksRead_ = 0;  // where the decoder has read to
  // Ends the chunked body at `chunksRead_`, or fails a bad one.
  State ChunksRead();
};

// Why the framer gave up on a reply; Failure::kNone for the states that are
// not failures.
Failure FailureOf(ReplyFramer::State state);
// The log's line for `failure` (FailureEvent), with the framer's reason when
// the header was refused.
void LogFailure(const RequestLog& log, Failure failure, const ReplyFramer& framer);
