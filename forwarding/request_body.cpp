#include "forwarding/request_body.h"

#include "forwarding/body_reader.h"
#include "gateway/cgi_forwarder.h"
#include "platform/files.h"

RequestBody::~RequestBody() {
  if (spool_) std::fclose(spool_);
}

void RequestBody::FromInput(int64_t length) {
  length_ = length > 0 ? length : 0;
  done_ = 0;
}

bool RequestBody::SpoolInput(CgiForwarder& forwarder) {
  spool_ = platform::OpenTemporaryFile();
  if (!spool_) return false;
  char piece[1 << 16];
  int64_t total = 0;
  for (;;) {
    int32_t got = forwarder.ReadInput(piece, sizeof piece);
    if (got <= 0) break;
    if (std::fwrite(piece, 1, static_cast<size_t>(got), spool_) != static_cast<size_t>(got)) {
      return false;
    }
    total += got;
    if (total > kMaxStreamedBodyLength) return false;
  }
  if (std::fflush(spool_) != 0 || std::fseek(spool_, 0, SEEK_SET) != 0) return false;
  length_ = total;
  done_ = 0;
  return true;
}

int32_t RequestBody::Read(CgiForwarder& forwarder, char* buffer, int32_t count) {
  int64_t left = length_ - done_;
  if (left <= 0) return 0;
  if (count > left) count = static_cast<int32_t>(left);
  int32_t got = spool_ ? static_cast<int32_t>(std::fread(buffer, 1, static_cast<size_t>(count), spool_))
                       : forwarder.ReadInput(buffer, count);
  if (got <= 0) return -1;
  done_ += got;
  return got;
}
