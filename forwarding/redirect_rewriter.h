// Rewrites where a reply sends the browser, so that redirects and cookies made
// by the target point at the gateway's public address instead of the target's.
#pragma once

#include <cstdint>

struct PublicAddress {
  const char* scheme;        // "http" or "https", as the browser used
  const char* host;          // HTTP_HOST: the host (and port) the browser used
  const char* prefix;        // the public path before the target's paths
  const char* targetNames[3];  // the target as the settings name it (may repeat)
  uint16_t targetPort;
  bool targetTls;  // the target's own URLs begin "https://" (default port 443)
};

// Returns a new malloc'd reply (NUL after `*newLength` bytes) whose header has
// its Location and Content-Location values and Set-Cookie Path/Domain
// attributes rewritten; the body is untouched. Returns nullptr when nothing
// needed rewriting or the reply has no complete header (the caller keeps the
// original then), or when memory ran out.
char* RewriteReplyHeader(const char* reply, int32_t length, const PublicAddress& address,
                         int32_t* newLength);
