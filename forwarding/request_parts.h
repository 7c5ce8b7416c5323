// The pieces of a rebuilt request, gathered once from the CGI variables so
// that measuring the request text and writing it see the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "forwarding/failure.h"
#include "forwarding/header_map.h"
#include "gateway/cgi_forwarder.h"

// Unmapped HTTP_ variables passed on when "ForwardOtherHeaders" is on; more
// than this many are not forwarded.
constexpr int kMaxOtherHeaders = 64;
constexpr size_t kMaxOtherHeaderName = 96;

struct OtherHeader {
  char variable[kMaxOtherHeaderName];  // "HTTP_X_REQUESTED_WITH"
  char header[kMaxOtherHeaderName];    // "X-Requested-With"
  VariableCopy value;
};

struct RequestParts {
  VariableCopy method;
  VariableCopy path;   // not set: the path is "/"
  VariableCopy query;  // not set or empty: no query
  VariableCopy values[kHeaderMapRows];
  bool included[kHeaderMapRows] = {};
  char bodyLengthText[24] = "";  // a Content-Length the gateway declares itself
  int64_t bodyLength = 0;
  bool contentLengthSet = false;
  bool unframedBody = false;  // a body with no declared length (dechunked upload)
  bool hostForTarget = true;  // the Host line names the target (not in echo)
  bool maskCredentials = false;  // the echo shows credentials by their size only
  // HTTP/1.1 keeps a connection open unless told otherwise: one the gateway
  // does not keep for another request says "Connection: close".
  bool keepTargetConnection = false;
  const ForwardSettings* settings = nullptr;

  OtherHeader others[kMaxOtherHeaders];
  int otherCount = 0;
  bool forwardedHeaders = false;
  VariableCopy forwardedFor;   // an incoming X-Forwarded-For
  VariableCopy remoteAddress;  // REMOTE_ADDR
  VariableCopy forwardedHost;  // HTTP_HOST
  bool https = false;
  VariableCopy browserHost;    // HTTP_HOST for the Host line ("PreserveHost"), when valid
};

// True when the web server's HTTPS variable says the browser used TLS.
bool IsHttpsOn(const char* value);

// Takes the request line, the body's length and every header the request
// carries. Fails when the request cannot be built: no method, a method that
// is no token, or a declared body longer than `maxBody`.
Failure GatherRequestParts(CgiForwarder& forwarder, ForwardMode mode, int64_t maxBody,
                           RequestParts& parts);

// Declares the length of a body whose length the web server did not give.
void DeclareBodyLength(RequestParts& parts, int64_t length);

// The size of the request text up to and including its blank line.
uint64_t MeasureHead(const RequestParts& parts);
// Writes the request text into `buffer` (at most `size` bytes); returns the
// number of bytes written.
size_t WriteHead(const RequestParts& parts, char* buffer, size_t size);
