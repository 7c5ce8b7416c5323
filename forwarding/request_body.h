// The body of a streamed request: left on the forwarder's input and sent in
// pieces, or, when the web server declared no length (a dechunked upload),
// spooled to a temporary file first so that its length can be declared.
#pragma once

#include <cstdint>
#include <cstdio>

class CgiForwarder;

class RequestBody {
 public:
  RequestBody() = default;
  ~RequestBody();
  RequestBody(const RequestBody&) = delete;
  RequestBody& operator=(const RequestBody&) = delete;

  // The body is the next `length` bytes of the input.
  void FromInput(int64_t length);
  // Copies the input to its end into a temporary file. False when no file
  // could be made or written; the input is then partly consumed.
  bool SpoolInput(CgiForwarder& forwarder);

  int64_t Length() const { return length_; }
  // The next piece, at most `count` bytes: the count, 0 once the whole body
  // has been read, -1 when the input ended before the declared length.
  int32_t Read(CgiForwarder& forwarder, char* buffer, int32_t count);

 private:
  int64_t length_ = 0;
  int64_t done_ = 0;
  FILE* spool_ = nullptr;
};
