#include "forwarding/request_body.h"

#include <cstring>

#include "forwarding/body_reader.h"
#include "gateway/cgi_forwarder.h"
#include "platform/files.h"

namespace {

constexpr int32_t kCollectPiece = 1 << 16;

}  // namespace

RequestBody::~RequestBody() {
  if (spool_) std::fclose(spool_);
}

void RequestBody::FromInput(int64_t length) {
  length_ = length > 0 ? length : 0;
  done_ = 0;
}

bool RequestBody::HoldInput(CgiForwarder& forwarder, int64_t length) {
  held_ = true;
  if (!memory_.Reserve(length) || !ReadBodyExactly(forwarder, memory_.Tail(), length)) {
    return false;
  }
  memory_.Added(length);
  length_ = length;
  done_ = 0;
  return true;
}

// What memory holds goes to a new temporary file, which takes the rest.
bool RequestBody::SpillToFile() {
  spool_ = platform::OpenTemporaryFile();
  if (!spool_) return false;
  size_t held = static_cast<size_t>(memory_.Length());
  if (held > 0 && std::fwrite(memory_.Data(), 1, held, spool_) != held) return false;
  memory_ = GrowingBuffer();
  return true;
}

bool RequestBody::CollectInput(CgiForwarder& forwarder, int64_t holdLimit) {
  held_ = true;
  if (holdLimit <= 0 && !SpillToFile()) return false;
  char piece[kCollectPiece];
  int64_t total = 0;
  for (;;) {
    char* into = piece;
    if (!spool_) {
      if (!memory_.Reserve(kCollectPiece)) return false;
      into = memory_.Tail();
    }
    int32_t got = forwarder.ReadInput(into, kCollectPiece);
    if (got <= 0) break;
    total += got;
    if (total > kMaxStreamedBodyLength) return false;
    if (!spool_) {
      memory_.Added(got);
      if (total > holdLimit && !SpillToFile()) return false;
    } else if (std::fwrite(piece, 1, static_cast<size_t>(got), spool_) !=
               static_cast<size_t>(got)) {
      return false;
    }
  }
  if (spool_ && (std::fflush(spool_) != 0 || std::fseek(spool_, 0, SEEK_SET) != 0)) return false;
  length_ = total;
  done_ = 0;
  return true;
}

bool RequestBody::Rewind() {
  if (done_ == 0) return true;
  if (!held_ || (spool_ && std::fseek(spool_, 0, SEEK_SET) != 0)) return false;
  done_ = 0;
  return true;
}

int32_t RequestBody::Read(CgiForwarder& forwarder, char* buffer, int32_t count) {
  int64_t left = length_ - done_;
  if (left <= 0) return 0;
  if (count > left) count = static_cast<int32_t>(left);
  int32_t got = count;
  if (spool_) {
    got = static_cast<int32_t>(std::fread(buffer, 1, static_cast<size_t>(count), spool_));
  } else if (held_) {
    std::memcpy(buffer, memory_.Data() + done_, static_cast<size_t>(count));
  } else {
    got = forwarder.ReadInput(buffer, count);
  }
  if (got <= 0) return -1;
  done_ += got;
  return got;
}
