#include "gateway/fastcgi/connection.h"

#include <cstring>

#include "platform/fastcgi_listener.h"

namespace fastcgi {

Connection::~Connection() { platform::CloseConnection(socket_); }

int32_t Connection::Receive(char* buffer, int32_t count) {
  return platform::ReceiveOnConnection(socket_, buffer, count);
}

int32_t Connection::Send(const char* data, int32_t count) {
  return platform::SendOnConnection(socket_, data, count);
}

bool Connection::Fill(size_t wanted) {
  if (inputEnd_ - inputStart_ >= wanted) return true;
  if (inputStart_ > 0) {
    std::memmove(input_, input_ + inputStart_, inputEnd_ - inputStart_);
    inputEnd_ -= inputStart_;
    inputStart_ = 0;
  }
  // What is queued answers what came before, and the web server may wait for
  // it before it sends more: it leaves before any wait for input.
  if (!Flush()) return false;
  while (!failed_ && inputEnd_ < wanted) {
    int32_t got = Receive(input_ + inputEnd_, static_cast<int32_t>(sizeof input_ - inputEnd_));
    if (got <= 0) failed_ = true;
    if (got > 0) inputEnd_ += static_cast<size_t>(got);
  }
  return !failed_;
}

bool Connection::ReadRecord(Record* record) {
  if (!Fill(kHeaderSize)) return false;
  DecodeHeader(reinterpret_cast<const unsigned char*>(input_ + inputStart_), &record->header);
  size_t whole = kHeaderSize + record->header.contentLength + record->header.paddingLength;
  if (record->header.version != 1) {
    // Not a record: the connection ends here, but what is queued answers
    // what came before, as it would had the input come in pieces.
    Flush();
    failed_ = true;
    return false;
  }
  if (!Fill(whole)) return false;
  record->content = input_ + inputStart_ + kHeaderSize;
  inputStart_ += whole;
  return true;
}

bool Connection::SendAll(const char* data, size_t count) {
  while (!failed_ && count > 0) {
    int32_t sent = Send(data, static_cast<int32_t>(count));
    if (sent <= 0) failed_ = true;
    if (sent > 0) {
      data += sent;
      count -= static_cast<size_t>(sent);
    }
  }
  return !failed_;
}

bool Connection::Flush() {
  bool sent = SendAll(output_, outputUsed_);
  outputUsed_ = 0;
  return sent;
}

bool Connection::WriteRecords(uint8_t type, uint16_t requestId, const char* data, size_t count) {
  do {
    size_t piece = count < kMaxContent ? count : kMaxContent;
    if (outputUsed_ + kHeaderSize + piece > sizeof output_ && !Flush()) return false;
    EncodeHeader(type, requestId, static_cast<uint16_t>(piece),
                 reinterpret_cast<unsigned char*>(output_ + outputUsed_));
    outputUsed_ += kHeaderSize;
    if (outputUsed_ + piece <= sizeof output_) {
      if (piece > 0) std::memcpy(output_ + outputUsed_, data, piece);
      outputUsed_ += piece;
    } else if (!Flush() || !SendAll(data, piece)) {
      return false;  // a large piece goes straight out after its header
    }
    data += piece;
    count -= piece;
  } while (count > 0);
  return !failed_;
}

}  // namespace fastcgi
