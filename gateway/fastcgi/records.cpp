#include "gateway/fastcgi/records.h"

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

}  // namespace fastcgi
