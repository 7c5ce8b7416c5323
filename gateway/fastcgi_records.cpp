#include "gateway/fastcgi_records.h"

#include <cstring>

namespace fastcgi {

void DecodeHeader(const unsigned char* bytes, RecordHeader* header) {
  header->version = bytes[0];
  header->type = bytes[1];
  header->requestId = static_cast<uint16_t>(bytes[2] << 8 | bytes[3]);
  header->contentLength = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  header->paddingLength = bytes[6];
}

void EncodeHeader(uint8_t type, uint16_t requestId, uint16_t contentLength, unsigned char* bytes) {
  bytes[0] = 1;  // the protocol's version
  bytes[1] = type;
  bytes[2] = static_cast<unsigned char>(requestId >> 8);
  bytes[3] = static_cast<unsigned char>(requestId);
  bytes[4] = static_cast<unsigned char>(contentLength >> 8);
  bytes[5] = static_cast<unsigned char>(contentLength);
  bytes[6] = 0;  // no padding
  bytes[7] = 0;
}

namespace {

bool ReadLength(const char* data, size_t length, size_t* at, uint32_t* value) {
  if (*at >= length) return false;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data) + *at;
  if (bytes[0] < 0x80) {
    *value = bytes[0];
    *at += 1;
    return true;
  }
  if (length - *at < 4) return false;
  *value = static_cast<uint32_t>(bytes[0] & 0x7F) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  *at += 4;
  return true;
}

void AppendLength(GrowingBuffer& out, size_t length) {
  if (length < 0x80) {
    char byte = static_cast<char>(length);
    out.Append(&byte, 1);
    return;
  }
  const char bytes[4] = {static_cast<char>(0x80 | (length >> 24)), static_cast<char>(length >> 16),
                         static_cast<char>(length >> 8), static_cast<char>(length)};
  out.Append(bytes, 4);
}

}  // namespace

bool ReadNameValue(const char* data, size_t length, size_t* at, const char** name,
                   uint32_t* nameLength, const char** value, uint32_t* valueLength) {
  if (!ReadLength(data, length, at, nameLength) || !ReadLength(data, length, at, valueLength) ||
      length - *at < static_cast<uint64_t>(*nameLength) + *valueLength) {
    return false;
  }
  *name = data + *at;
  *value = *name + *nameLength;
  *at += static_cast<size_t>(*nameLength) + *valueLength;
  return true;
}

void AppendNameValue(GrowingBuffer& out, const char* name, const char* value) {
  size_t nameLength = std::strlen(name);
  size_t valueLength = std::strlen(value);
  AppendLength(out, nameLength);
  AppendLength(out, valueLength);
  out.Append(name, nameLength);
  out.Append(value, valueLength);
}

Connection::~Connection() { platform::CloseSocket(socket_); }

int32_t Connection::Receive(char* buffer, int32_t count) {
  return platform::ReceiveFromSocket(socket_, buffer, count);
}

int32_t Connection::Send(const char* data, int32_t count) {
  return platform::SendOnSocket(socket_, data, count);
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
  if (record->header.version != 1 || !Fill(whole)) {
    failed_ = true;
    return false;
  }
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
