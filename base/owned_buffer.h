// Ownership of heap buffers: every heap text and buffer of a request is
// released on every path, without the interfaces giving up their raw pointers.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

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
