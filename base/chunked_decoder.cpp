#include "base/chunked_decoder.h"

#include <cstring>

#include "base/text.h"

namespace {

int HexValue(char c) {
  return IsAsciiDigit(c) ? c - '0' : AsciiLower(c) - 'a' + 10;
}

}  // namespace

int64_t ChunkedDecoder::Step(const char* bytes, int64_t length, int64_t* data) {
  *data = 0;
  if (state_ == State::kData) {
    const int64_t take =
        remaining_ < static_cast<uint64_t>(length) ? static_cast<int64_t>(remaining_) : length;
    remaining_ -= static_cast<uint64_t>(take);
    if (remaining_ == 0) state_ = State::kDataCr;
    *data = take;
    return take;
  }
  // Framing is read a byte at a time: each state says what may come next.
  // Line ends are CR LF: a bare CR or LF is read two ways by the parsers
  // downstream, so it makes the body bad.
  const char c = bytes[0];
  switch (state_) {
    case State::kSize:
      if (IsHexDigit(c)) {
        // Sizes stay within int64_t, as every length in the gateway does.
        if (remaining_ > (static_cast<uint64_t>(INT64_MAX) >> 4)) return Fail("chunk size too large");
        remaining_ = remaining_ << 4 | static_cast<uint64_t>(HexValue(c));
        sizeDigits_ = true;
      } else if (!sizeDigits_) {
        return Fail("chunk size");
      } else if (c == ';' || c == ' ' || c == '\t') {
        state_ = State::kExtension;
      } else if (c == '\r') {
        state_ = State::kSizeEnd;
      } else {
        return Fail("chunk size");
      }
      break;
    case State::kExtension:
      if (c == '\r') state_ = State::kSizeEnd;
      if (c == '\n') return Fail("bare LF");
      break;
    case State::kSizeEnd:
      if (c != '\n') return Fail("bare CR");
      state_ = remaining_ > 0 ? State::kData : State::kFieldStart;
      sizeDigits_ = false;
      break;
    case State::kDataCr:
      if (c != '\r') return Fail("chunk longer than its size");
      state_ = State::kDataLf;
      break;
    case State::kDataLf:
      if (c != '\n') return Fail("bare CR");
      state_ = State::kSize;
      break;
    case State::kFieldStart:  // a trailer field, or the blank line that ends the body
      state_ = c == '\r' ? State::kLastLf : State::kField;
      if (c == '\n') return Fail("bare LF");
      break;
    case State::kField:
      if (c == '\r') state_ = State::kFieldEnd;
      if (c == '\n') return Fail("bare LF");
      break;
    case State::kFieldEnd:
      if (c != '\n') return Fail("bare CR");
      state_ = State::kFieldStart;
      break;
    case State::kLastLf:
      if (c != '\n') return Fail("bare CR");
      state_ = State::kDone;
      break;
    default:
      return 0;
  }
  return 1;
}

int64_t ChunkedDecoder::Decode(char* bytes, int64_t length, int64_t* data) {
  int64_t read = 0;
  *data = 0;
  while (read < length && state_ != State::kDone && state_ != State::kBad) {
    int64_t run = 0;
    const int64_t step = Step(bytes + read, length - read, &run);
    if (run > 0 && bytes + *data != bytes + read) {
      std::memmove(bytes + *data, bytes + read, static_cast<size_t>(run));
    }
    *data += run;
    read += step;
  }
  return read;
}

int64_t ChunkedDecoder::Skip(const char* bytes, int64_t length) {
  int64_t read = 0;
  while (read < length && state_ != State::kDone && state_ != State::kBad) {
    int64_t run = 0;
    read += Step(bytes + read, length - read, &run);
  }
  return read;
}
