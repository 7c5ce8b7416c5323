// A growing heap text for rebuilt replies; allocation failure is a state, not
// an exception.
#pragma once

#include <cstdlib>
#include <cstring>

class TextBuilder {
 public:
  TextBuilder() = default;
  ~TextBuilder() { std::free(data_); }
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  void Append(const char* text, size_t length) {
    if (failed_ || !Reserve(length)) return;
    if (length > 0) std::memcpy(data_ + used_, text, length);
    used_ += length;
    data_[used_] = '\0';
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }

  bool Failed() const { return failed_; }
  const char* Data() const { return data_ ? data_ : ""; }
  size_t Length() const { return used_; }
  // Hands the NUL-terminated text to the caller (malloc'd); nullptr if failed.
  char* Release() {
    if (failed_ || !Reserve(0)) return nullptr;
    char* text = data_;
    data_ = nullptr;
    used_ = capacity_ = 0;
    return text;
  }

 private:
  bool Reserve(size_t more) {
    if (used_ + more + 1 <= capacity_) return true;
    size_t grown = capacity_ < 256 ? 256 : capacity_ * 2;
    while (grown < used_ + more + 1) grown *= 2;
    char* bigger = static_cast<char*>(std::realloc(data_, grown));
    if (!bigger) {
      failed_ = true;
      return false;
    }
    data_ = bigger;
    capacity_ = grown;
    return true;
  }

  char* data_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};
