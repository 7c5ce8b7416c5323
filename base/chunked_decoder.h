// The chunked transfer coding (RFC 9112 section 7.1) read as its bytes
// arrive, in whatever pieces: where the body ends, and its data without the
// framing. Chunk extensions are skipped, trailer fields read and dropped.
#pragma once

#include <cstdint>

class ChunkedDecoder {
 public:
  // Reads `bytes` up to the end of the body; returns the count read (fewer
  // than `length` only once the body has ended or turned out bad). The data
  // among them is moved to the front of `bytes`, `*data` bytes of it. The
  // data never overtakes what is still to be read, so `bytes` may be the
  // received piece itself.
  int64_t Decode(char* bytes, int64_t length, int64_t* data);
  // The same without touching the bytes: only where the body ends.
  int64_t Skip(const char* bytes, int64_t length);

  bool Done() const { return state_ == State::kDone; }
  // Why the body cannot be read, or nullptr.
  const char* Fault() const { return fault_; }

 private:
  enum class State : uint8_t {
    kSize, kExtension, kSizeEnd, kData, kDataCr, kDataLf, kFieldStart, kField, kFieldEnd,
    kLastLf, kDone, kBad,
  };
  // Reads the framing at the start of `bytes` up to the next data, or the
  // data up to its chunk's end; `*data` is the count of data read.
  int64_t Step(const char* bytes, int64_t length, int64_t* data);
  int64_t Fail(const char* fault) {
    state_ = State::kBad;
    fault_ = fault;
    return 0;
  }

  State state_ = State::kSize;
  bool sizeDigits_ = false;
  uint64_t remaining_ = 0;  // the chunk size being read, then the data yet to come
  const char* fault_ = nullptr;
};
