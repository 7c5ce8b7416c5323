// What a kept TLS client's context was made for. Its trust store and its
// sessions serve only connections asking for the same: another server name,
// CA file (or a new content of the file) or check setting makes a new context,
// so that a session checked under one set of rules never passes under another.
#pragma once

#include <cstdint>

#include "platform/tls.h"

namespace platform {

class TlsClientKey {
 public:
  TlsClientKey() = default;
  ~TlsClientKey() { Clear(); }
  TlsClientKey(const TlsClientKey&) = delete;
  TlsClientKey& operator=(const TlsClientKey&) = delete;

  // True when `options` are those last remembered, the CA file unchanged.
  bool Fits(const TlsOptions& options) const;
  // False when there was no memory for them (then nothing fits).
  bool Remember(const TlsOptions& options);
  void Clear();

 private:
  char* serverName_ = nullptr;
  char* caFile_ = nullptr;
  bool verify_ = false;
  int64_t caStamp_ = -1;
};

}  // namespace platform
