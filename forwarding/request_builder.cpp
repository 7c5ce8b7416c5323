// Rebuilds the browser's request, as an HTTP/1.0 request, from the CGI
// variables and the body on standard input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/owned_buffer.h"
#include "forwarding/body_reader.h"
#include "forwarding/request_body.h"
#include "forwarding/request_parts.h"
#include "gateway/cgi_forwarder.h"

namespace {

// Allocates the request's header with room for `bodyBytes` after it, and
// writes the header. Returns nullptr when it cannot be held.
char* AllocateHead(const RequestParts& parts, uint64_t bodyBytes, size_t* headLength) {
  uint64_t measure = MeasureHead(parts);
  if (measure + bodyBytes > static_cast<uint64_t>(INT32_MAX) - 2) return nullptr;
  char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(measure + bodyBytes) + 2));
  if (!buffer) return nullptr;
  *headLength = WriteHead(parts, buffer, static_cast<size_t>(measure));
  buffer[*headLength] = '\0';
  return buffer;
}

}  // namespace

char* CgiForwarder::BuildRequest(int32_t* length, ForwardMode mode) {
  *length = 0;
  RequestParts parts;
  parts.settings = &settings_;
  parts.keepTargetConnection = keptConnection_ != nullptr;
  failure_ = GatherRequestParts(*this, mode, kMaxBodyLength, parts);
  if (failure_ != Failure::kNone) return nullptr;

  OwnedBuffer unframedBody;
  if (parts.unframedBody) {
    int64_t read = 0;
    unframedBody.reset(ReadBodyToEnd(*this, &read));
    if (!unframedBody) {
      failure_ = Failure::kBodyTooLarge;
      return nullptr;
    }
    DeclareBodyLength(parts, read);
  }

  // A negative declared length reads nothing and must not shrink the buffer.
  uint64_t bodyBytes = parts.bodyLength > 0 ? static_cast<uint64_t>(parts.bodyLength) : 0;
  size_t headLength = 0;
  OwnedBuffer request(AllocateHead(parts, bodyBytes, &headLength));
  if (!request) {
    failure_ = Failure::kNoMemory;
    return nullptr;
  }
  char* body = request.get() + headLength;
  if (unframedBody) {
    std::memcpy(body, unframedBody.get(), static_cast<size_t>(bodyBytes));
  } else if (bodyBytes > 0 && !ReadBodyExactly(*this, body, static_cast<int64_t>(bodyBytes))) {
    // Forwarding half of it helps nobody.
    failure_ = Failure::kBodyEndedEarly;
    return nullptr;
  }
  size_t used = headLength + static_cast<size_t>(bodyBytes);
  request.get()[used] = '\0';
  *length = static_cast<int32_t>(used);
  return request.release();
}

char* CgiForwarder::BuildRequestHead(int32_t* length, ForwardMode mode, RequestBody* body) {
  *length = 0;
  RequestParts parts;
  parts.settings = &settings_;
  parts.keepTargetConnection = keptConnection_ != nullptr;
  failure_ = GatherRequestParts(*this, mode, kMaxStreamedBodyLength, parts);
  if (failure_ != Failure::kNone) return nullptr;
  // Adaptive relaying holds a body while it is small, so that one that ends
  // early is never forwarded; a larger one is sent as it is read.
  const int64_t holdLimit = settings_.relay == Relay::kAdaptive ? settings_.holdLimit : 0;
  if (parts.unframedBody) {
    if (!body->CollectInput(*this, holdLimit)) {
      failure_ = Failure::kBodyNotSpooled;
      Log().Event(FailureEvent(failure_));
      return nullptr;
    }
    DeclareBodyLength(parts, body->Length());
  } else if (parts.bodyLength > 0 && parts.bodyLength <= holdLimit) {
    if (!body->HoldInput(*this, parts.bodyLength)) {
      failure_ = Failure::kBodyEndedEarly;
      Log().Event(FailureEvent(failure_));
      return nullptr;
    }
  } else {
    body->FromInput(parts.bodyLength);
  }
  size_t headLength = 0;
  char* head = AllocateHead(parts, 0, &headLength);
  if (!head) {
    failure_ = Failure::kNoMemory;
    return nullptr;
  }
  *length = static_cast<int32_t>(headLength);
  return head;
}
