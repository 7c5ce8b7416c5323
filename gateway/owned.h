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

// A copy of a CGI variable, handed back to the forwarder that made it.
class VariableCopy {
 public:
  VariableCopy() = default;
  VariableCopy(CgiForwarder& forwarder, const char* name)
      : forwarder_(&forwarder), text_(forwarder.GetVariable(name)) {}
  // Takes over a text made like GetVariable's copies.
  static VariableCopy Adopt(CgiForwarder& forwarder, char* text) {
    VariableCopy copy;
    copy.forwarder_ = &forwarder;
    copy.text_ = text;
    return copy;
  }
  // A copy of a fixed text, made on the heap where GetVariable's copies live.
  static VariableCopy OfText(CgiForwarder& forwarder, const char* text) {
    size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(length));
    if (copy) std::memcpy(copy, text, length);
    return Adopt(forwarder, copy);
  }

  VariableCopy(VariableCopy&& other) noexcept
      : forwarder_(other.forwarder_), text_(other.text_) {
    other.text_ = nullptr;
  }
  VariableCopy& operator=(VariableCopy&& other) noexcept {
    if (this != &other) {
      Release();
      forwarder_ = other.forwarder_;
      text_ = other.text_;
      other.text_ = nullptr;
    }
    return *this;
  }
  VariableCopy(const VariableCopy&) = delete;
  VariableCopy& operator=(const VariableCopy&) = delete;
  ~VariableCopy() { Release(); }

  bool IsSet() const { return text_ != nullptr; }
  const char* Text() const { return text_; }
  char* MutableText() { return text_; }
  void Release() {
    if (text_) forwarder_->FreeVariable(text_);
    text_ = nullptr;
  }

 private:
  CgiForwarder* forwarder_ = nullptr;
  char* text_ = nullptr;
};
