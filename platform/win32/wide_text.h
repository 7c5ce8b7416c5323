// Text between the gateway and the system's wide (W) functions. Inside the
// gateway text is UTF-8, as on POSIX; Windows names files, the environment and
// command lines in UTF-16. The ANSI (A) functions would pass everything
// through the system's code page, which turns characters outside it into '?'.
#pragma once

#include <cstddef>

#include "platform/win32/system.h"

namespace platform {

// UTF-8 text as UTF-16 for a W function: a path's worth on the stack, longer
// texts on the heap. Bytes that are not UTF-8 become U+FFFD. `length` bytes
// (NULs inside and the last included), or up to the NUL when it is -1. get()
// is nullptr when there was no text or no memory.
class WideText {
 public:
  explicit WideText(const char* utf8, int length = -1);
  ~WideText();
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;
  const wchar_t* get() const { return text_; }

 private:
  wchar_t local_[MAX_PATH + 1];
  wchar_t* text_ = nullptr;
};

// UTF-16 text from a W function as UTF-8 (NUL-terminated): `length` units, or
// up to the NUL when it is -1. A surrogate without its partner (the
// environment and file names are not checked by the system) becomes U+FFFD.
// get() is nullptr when there was no text or no memory.
class Utf8Text {
 public:
  explicit Utf8Text(const wchar_t* wide, int length = -1);
  ~Utf8Text();
  Utf8Text(const Utf8Text&) = delete;
  Utf8Text& operator=(const Utf8Text&) = delete;
  const char* get() const { return text_; }
  size_t size() const { return size_; }  // bytes before the NUL
  // Copies the text into `out` (`size` bytes, at least 1), cut to `size` - 1
  // bytes; an empty `out` when there is no text.
  void CopyCut(char* out, size_t size) const;
  // Hands the text over as a malloc'd block (the caller frees it); nullptr
  // when there is none. The object is empty afterwards.
  char* Release();

 private:
  char local_[3 * (MAX_PATH + 1)];
  char* text_ = nullptr;
  size_t size_ = 0;
};

}  // namespace platform
