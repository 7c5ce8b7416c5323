// Ownership helpers: every heap text and buffer of a request is released on
// every path, without the interfaces giving up their raw pointers.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

#include "gateway/cgi_forwarder.h"

struct FreeDeleter {
  void operator()(char* block) const { std::free(block); }
};
// A malloc'd buffer (request, reply) held by its owner.
using OwnedBuffer = std::unique_ptr<char, FreeDeleter>;

// A malloc'd copy of `text` (as GetVariable hands out); nullptr for no text or
// no memory.
inline char* HeapCopy(const char* text) {
  if (!text) return nullptr;
  size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}

// A copy of a CGI variable, handed back to the forwarder that made it.
class VariableCopy {
 public:
  VariableCopy() = default;
  VariableCopy(CgiForwarder& forwarder, const char* name)
      : forwarder_(&forwarder), text_(forwarder.GetVariable(name)) {}
  // A fixed text standing where a variable would: nothing to hand back, so
  // nothing can leak whatever the forwarder's FreeVariable does.
  static VariableCopy Fixed(const char* text) {
    VariableCopy copy;
    copy.text_ = const_cast<char*>(text);
    copy.owned_ = false;
    return copy;
  }

  VariableCopy(VariableCopy&& other) noexcept
      : forwarder_(other.forwarder_), text_(other.text_), owned_(other.owned_) {
    other.text_ = nullptr;
  }
  VariableCopy& operator=(VariableCopy&& other) noexcept {
    if (this != &other) {
      Release();
      forwarder_ = other.forwarder_;
      text_ = other.text_;
      owned_ = other.owned_;
      other.text_ = nullptr;
    }
    return *this;
  }
  VariableCopy(const VariableCopy&) = delete;
  VariableCopy& operator=(const VariableCopy&) = delete;
  ~VariableCopy() { Release(); }

  bool IsSet() const { return text_ != nullptr; }
  const char* Text() const { return text_; }
  void Release() {
    if (text_ && owned_) forwarder_->FreeVariable(text_);
    text_ = nullptr;
  }

 private:
  CgiForwarder* forwarder_ = nullptr;
  char* text_ = nullptr;
  bool owned_ = true;
};
