// The FastCGI record layer, as far as a responder that serves one request at a
// time on a connection needs it: record headers, name-value pairs, and a
// connection that reads and writes whole records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/growing_buffer.h"
#include "platform/platform.h"

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

// A connection from the web server. Reads and writes go through two virtual
// primitives, so the record logic runs the same over a socket or over memory.
class Connection {
 public:
  explicit Connection(platform::SocketHandle socket = platform::kNoSocket) : socket_(socket) {}
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The next whole record; false when the connection ended or broke.
  bool ReadRecord(Record* record);
  // Queues a record, `count` bytes of content, split as records must be.
  // False once the connection has failed.
  bool WriteRecords(uint8_t type, uint16_t requestId, const char* data, size_t count);
  bool Flush();
  bool Failed() const { return failed_; }

 protected:
  // One receive / one send, as the socket calls behave (0 at the end, -1 on
  // failure).
  virtual int32_t Receive(char* buffer, int32_t count);
  virtual int32_t Send(const char* data, int32_t count);

 private:
  bool Fill(size_t wanted);
  bool SendAll(const char* data, size_t count);

  platform::SocketHandle socket_;
  // Input: the bytes of the record being read and any that came after it.
  char input_[kHeaderSize + kMaxContent + 255 + 4096];
  size_t inputStart_ = 0;
  size_t inputEnd_ = 0;
  // Output: small records are gathered and leave in one send.
  char output_[16384];
  size_t outputUsed_ = 0;
  bool failed_ = false;
};

}  // namespace fastcgi
