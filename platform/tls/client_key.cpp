#include "platform/tls/client_key.h"

#include <cstdlib>
#include <cstring>

#include "platform/files.h"

namespace platform {

namespace {

char* Copy(const char* text) {
  size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

int64_t CaStamp(const TlsOptions& options) {
  return options.caFile && options.caFile[0] ? FileStamp(options.caFile) : -1;
}

}  // namespace

bool TlsClientKey::Fits(const TlsOptions& options) const {
  return serverName_ && std::strcmp(serverName_, OrEmpty(options.serverName)) == 0 &&
         std::strcmp(caFile_, OrEmpty(options.caFile)) == 0 && verify_ == options.verify &&
         caStamp_ == CaStamp(options);
}

bool TlsClientKey::Remember(const TlsOptions& options) {
  Clear();
  serverName_ = Copy(OrEmpty(options.serverName));
  caFile_ = Copy(OrEmpty(options.caFile));
  verify_ = options.verify;
  caStamp_ = CaStamp(options);
  if (serverName_ && caFile_) return true;
  Clear();
  return false;
}

void TlsClientKey::Clear() {
  std::free(serverName_);
  std::free(caFile_);
  serverName_ = caFile_ = nullptr;
}

}  // namespace platform
