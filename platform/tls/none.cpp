// A build without TLS: a target configured for it fails cleanly, with the
// log saying why.
#include <cstdio>

#include "platform/tls.h"

namespace platform {

TlsClient* MakeTlsClient() { return nullptr; }
void EndTlsClient(TlsClient*) {}
TlsSession* StartTls(SocketHandle, const TlsOptions&, TlsClient*, TlsFailure* failure,
                     char* detail, size_t size) {
  *failure = TlsFailure::kUnavailable;
  std::snprintf(detail, size, "built without TLS");
  return nullptr;
}
bool TlsResumed(const TlsSession*) { return false; }
int32_t SendOnTls(TlsSession*, const char*, int32_t) { return -1; }
int32_t ReceiveOnTlsWithoutWaiting(TlsSession*, char*, int32_t) { return -1; }
void EndTls(TlsSession*) {}

}  // namespace platform
