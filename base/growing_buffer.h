// A heap text that grows as bytes arrive, always NUL-terminated after them.
// Running out of memory is a state the owner checks, not an exception.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/owned_buffer.h"

class GrowingBuffer {
 public:
  // Makes room for `count` more bytes and the NUL; false (and Failed()) when
  // there is no memory for them. Grows by half again, so that a large reply
  // costs few copies and little slack.
  bool Reserve(int64_t count) {
    int64_t needed = used_ + count + 1;
    if (needed <= capacity_) return true;
    int64_t grown = capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
    if (grown < needed) grown = needed;
    char* bigger = static_cast<char*>(std::realloc(data_.get(), static_cast<size_t>(grown)));
    if (!bigger) {
      failed_ = true;
      return false;
    }
    data_.release();
    data_.reset(bigger);
    capacity_ = grown;
    return true;
  }
  // Grows to hold `size` bytes in all, when that is more.
  bool ReserveTotal(int64_t size) { return size <= used_ || Reserve(size - used_); }

  void Append(const char* bytes, size_t count) {
    if (failed_ || !Reserve(static_cast<int64_t>(count))) return;
    if (count > 0) std::memcpy(Tail(), bytes, count);
    Added(static_cast<int64_t>(count));
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }

  // Bytes written straight into Tail() (after a Reserve) are counted here.
  char* Tail() { return data_.get() + used_; }
  void Added(int64_t count) {
    used_ += count;
    data_.get()[used_] = '\0';
  }
  void CutTo(int64_t length) {
    used_ = length;
    if (data_) data_.get()[used_] = '\0';
  }

  bool Failed() const { return failed_; }
  char* Data() { return data_.get(); }
  const char* Data() const { return data_ ? data_.get() : ""; }
  int64_t Length() const { return used_; }
  // Hands the NUL-terminated bytes to the caller (malloc'd); nullptr if failed.
  char* Release() {
    if (failed_ || !Reserve(0)) return nullptr;
    used_ = capacity_ = 0;
    return data_.release();
  }

 private:
  OwnedBuffer data_;
  int64_t capacity_ = 0;
  int64_t used_ = 0;
  bool failed_ = false;
};
