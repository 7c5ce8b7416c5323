#include "forwarding/body_reader.h"

#include <cstdlib>

#include "base/growing_buffer.h"
#include "base/text.h"
#include "gateway/cgi_forwarder.h"

namespace {

constexpr int32_t kReadPiece = 1 << 16;
constexpr int32_t kDrainPiece = 16384;

}  // namespace

int64_t ParseContentLength(const char* text) {
  int64_t value = 0;
  if (!ReadDecimal(text, nullptr, &value)) return 0;
  if (value > kMaxStreamedBodyLength) return kMaxStreamedBodyLength + 1;
  if (value < -kMaxStreamedBodyLength) return -(kMaxStreamedBodyLength + 1);
  return value;
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
  GrowingBuffer body;
  for (;;) {
    if (body.Length() + kReadPiece > kMaxBodyLength || !body.Reserve(kReadPiece)) return nullptr;
    int32_t got = forwarder.ReadInput(body.Tail(), kReadPiece);
    if (got <= 0) break;
    body.Added(got);
  }
  *length = body.Length();
  return body.Release();
}

void DrainInput(CgiForwarder& forwarder, int64_t length) {
  char scratch[kDrainPiece];
  while (length > 0) {
    int32_t got = forwarder.ReadInput(scratch, length < kDrainPiece ? static_cast<int32_t>(length)
                                                                    : kDrainPiece);
    if (got <= 0) break;
    length -= got;
  }
}
