// A connection from the web server, read and written in whole records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/fastcgi/records.h"
#include "platform/socket.h"

namespace fastcgi {

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
