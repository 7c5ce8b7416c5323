// FastCGI records as a responder that serves one request at a time on a
// connection needs them: record types, headers and name-value pairs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/growing_buffer.h"

namespace fastcgi {

enum RecordType : uint8_t {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

constexpr uint16_t kResponderRole = 1;
constexpr uint8_t kKeepConnection = 1;  // BEGIN_REQUEST flag

enum ProtocolStatus : uint8_t {
  kRequestComplete = 0,
  kCantMultiplex = 1,
  kUnknownRole = 3,
};

constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxContent = 65535;

struct RecordHeader {
  uint8_t version;
  uint8_t type;
  uint16_t requestId;
  uint16_t contentLength;
  uint8_t paddingLength;
};

void DecodeHeader(const unsigned char* bytes, RecordHeader* header);
// Eight bytes of a version-1 header for `contentLength` bytes without padding.
void EncodeHeader(uint8_t type, uint16_t requestId, uint16_t contentLength, unsigned char* bytes);

// Reads the name-value pair at `*at` in `data` (lengths of 1 byte, or 4 with
// the high bit set). False when the pair runs past `length`.
bool ReadNameValue(const char* data, size_t length, size_t* at, const char** name,
                   uint32_t* nameLength, const char** value, uint32_t* valueLength);
void AppendNameValue(GrowingBuffer& out, const char* name, const char* value);

// One record as read: its content stays valid until the next read.
struct Record {
  RecordHeader header;
  const char* content;
};

}  // namespace fastcgi
