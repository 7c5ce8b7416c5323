// The body of a request that is not held with its header: left on the
// forwarder's input and sent in pieces, held in memory while it is small, or,
// when the web server declared no length (a dechunked upload), read to its end
// first (into memory while it is small, else into a temporary file) so that
// its length can be declared.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/growing_buffer.h"

class CgiForwarder;

class RequestBody {
 public:
  RequestBody() = default;
  ~RequestBody();
  RequestBody(const RequestBody&) = delete;
  RequestBody& operator=(const RequestBody&) = delete;

  // The body is the next `length` bytes of the input.
  void FromInput(int64_t length);
  // Reads the next `length` bytes of the input into memory now. False when
  // the input ends first (or there is no memory for them).
  bool HoldInput(CgiForwarder& forwarder, int64_t length);
  // Reads the input to its end: into memory while it stays within
  // `holdLimit` bytes, from there on into a temporary file. False when no
  // file could be made or written; the input is then partly consumed.
  bool CollectInput(CgiForwarder& forwarder, int64_t holdLimit);

  int64_t Length() const { return length_; }
  // Makes the body readable again from its start, for a second send. False
  // when its bytes were taken from the input as they were sent.
  bool Rewind();
  // The next piece, at most `count` bytes: the count, 0 once the whole body
  // has been read, -1 when the input ended before the declared length.
  int32_t Read(CgiForwarder& forwarder, char* buffer, int32_t count);

 private:
  bool SpillToFile();

  int64_t length_ = 0;
  int64_t done_ = 0;
  bool held_ = false;
  GrowingBuffer memory_;
  FILE* spool_ = nullptr;
};
