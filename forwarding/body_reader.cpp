#include "forwarding/body_reader.h"

#include <cstdlib>

#include "gateway/cgi_forwarder.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr int32_t kReadPiece = 1 << 16;

}  // namespace

int64_t ParseContentLength(const char* text) {
  while (IsSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value <= kMaxStreamedBodyLength) value = value * 10 + (*text - '0');
  }
  if (value > kMaxStreamedBodyLength) value = kMaxStreamedBodyLength + 1;
  return negative ? -value : value;
}

bool ReadBodyExactly(CgiForwarder& forwarder, char* buffer, int64_t length) {
  int64_t done = 0;
  while (done < length) {
    int64_t want = length - done;
    int32_t got = forwarder.ReadInput(buffer + done, want > kReadPiece ? kReadPiece
                                                                       : static_cast<int32_t>(want));
    if (got <= 0) return false;
    done += got;
  }
  return true;
}

char* ReadBodyToEnd(CgiForwarder& forwarder, int64_t* length) {
  *length = 0;
  size_t capacity = kReadPiece;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  if (!buffer) return nullptr;
  size_t used = 0;
  for (;;) {
    if (capacity - used < static_cast<size_t>(kReadPiece)) {
      if (capacity >= static_cast<size_t>(kMaxBodyLength)) {
        std::free(buffer);
        return nullptr;
      }
      size_t grown = capacity * 2;
      char* bigger = static_cast<char*>(std::realloc(buffer, grown));
      if (!bigger) {
        std::free(buffer);
        return nullptr;
      }
      buffer = bigger;
      capacity = grown;
    }
    int32_t got = forwarder.ReadInput(buffer + used, kReadPiece);
    if (got <= 0) break;
    used += static_cast<size_t>(got);
  }
  *length = static_cast<int64_t>(used);
  return buffer;
}
