// Text between the gateway (UTF-8) and the W functions (UTF-16).
#include "platform/win32/wide_text.h"

#include <cstdlib>
#include <cstring>

namespace platform {

// Since Windows Vista the system's converters put U+FFFD in place of what
// they cannot convert (flags 0, as here); earlier ones dropped it.

WideText::WideText(const char* utf8, int length) {
  if (!utf8 || length == 0) return;
  constexpr int kLocal = sizeof local_ / sizeof local_[0];
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, length, local_, kLocal) > 0) {
    text_ = local_;
    return;
  }
  int needed = MultiByteToWideChar(CP_UTF8, 0, utf8, length, nullptr, 0);
  if (needed <= 0) return;
  auto* heap = static_cast<wchar_t*>(std::malloc(static_cast<size_t>(needed) * sizeof(wchar_t)));
  if (heap && MultiByteToWideChar(CP_UTF8, 0, utf8, length, heap, needed) == needed) {
    text_ = heap;
  } else {
    std::free(heap);
  }
}

WideText::~WideText() {
  if (text_ != local_) std::free(text_);
}

Utf8Text::Utf8Text(const wchar_t* wide, int length) {
  if (!wide) return;
  if (length < 0) length = static_cast<int>(wcslen(wide));
  if (length == 0) {
    local_[0] = '\0';
    text_ = local_;
    return;
  }
  // Without its NUL in `length`, the system writes none: room is kept for it.
  constexpr int kLocal = sizeof local_ - 1;
  int got = WideCharToMultiByte(CP_UTF8, 0, wide, length, local_, kLocal, nullptr, nullptr);
  char* room = local_;
  if (got <= 0) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    room = needed > 0 ? static_cast<char*>(std::malloc(static_cast<size_t>(needed) + 1)) : nullptr;
    got = room ? WideCharToMultiByte(CP_UTF8, 0, wide, length, room, needed, nullptr, nullptr) : 0;
    if (got <= 0) {
      std::free(room);
      return;
    }
  }
  room[got] = '\0';
  text_ = room;
  size_ = static_cast<size_t>(got);
}

Utf8Text::~Utf8Text() {
  if (text_ != local_) std::free(text_);
}

void Utf8Text::CopyCut(char* out, size_t size) const {
  size_t count = text_ ? size_ : 0;
  if (count > size - 1) count = size - 1;
  if (count > 0) std::memcpy(out, text_, count);
  out[count] = '\0';
}

char* Utf8Text::Release() {
  char* block = text_;
  if (block == local_) {
    block = static_cast<char*>(std::malloc(size_ + 1));
    if (block) std::memcpy(block, local_, size_ + 1);
  }
  text_ = nullptr;
  size_ = 0;
  return block;
}

}  // namespace platform
