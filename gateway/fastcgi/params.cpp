#include "gateway/fastcgi/params.h"

#include <cstring>

#include "base/text.h"
#include "gateway/fastcgi/routing.h"

namespace fastcgi {
namespace {

// Bounds the variables of one request, as web servers bound request headers.
constexpr int64_t kMaxParams = 1 << 20;

}  // namespace

bool ReadParams(Connection& connection, uint16_t requestId, GrowingBuffer& params) {
  GrowingBuffer stream;
  for (;;) {
    Record record;
    if (!NextRecord(connection, requestId, &record)) return false;
    if (record.header.type == kAbortRequest) return false;
    if (record.header.type != kParams) continue;
    if (record.header.contentLength == 0) break;
    stream.Append(record.content, record.header.contentLength);
    if (stream.Failed() || stream.Length() > kMaxParams) return false;
  }
  size_t at = 0;
  const char* name;
  const char* value;
  uint32_t nameLength, valueLength;
  while (ReadNameValue(stream.Data(), static_cast<size_t>(stream.Length()), &at, &name,
                       &nameLength, &value, &valueLength)) {
    params.Append(name, nameLength);
    params.Append("", 1);
    params.Append(value, valueLength);
    params.Append("", 1);
  }
  return at == static_cast<size_t>(stream.Length()) && !params.Failed();
}

const char* FindParam(const GrowingBuffer& params, const char* name) {
  const char* at = params.Data();
  const char* end = at + params.Length();
  while (at < end) {
    const char* value = at + std::strlen(at) + 1;
    if (std::strcmp(at, name) == 0) return value;
    at = value + std::strlen(value) + 1;
  }
  return nullptr;
}

ParamIndex::ParamIndex(const GrowingBuffer& params) : params_(params) {
  const char* start = params.Data();
  const char* end = start + params.Length();
  size_t count = 0;
  for (const char* at = start; at < end; ++count) {
    const size_t length = std::strlen(at);
    const char* value = at + length + 1;
    if (count >= kSlots / 2) {
      usable_ = false;  // too crowded to pay
      return;
    }
    size_t slot = HashName(at, length) % kSlots;
    // The first of a repeated name is the one found, as a scan finds it.
    while (slots_[slot] != 0 && std::strcmp(start + slots_[slot] - 1, at) != 0) {
      slot = (slot + 1) % kSlots;
    }
    if (slots_[slot] == 0) slots_[slot] = static_cast<int32_t>(at - start + 1);
    at = value + std::strlen(value) + 1;
  }
}

const char* ParamIndex::Find(const char* name) const {
  if (!usable_) return FindParam(params_, name);
  const char* start = params_.Data();
  const size_t length = std::strlen(name);
  for (size_t slot = HashName(name, length) % kSlots; slots_[slot] != 0;
       slot = (slot + 1) % kSlots) {
    const char* at = start + slots_[slot] - 1;
    if (std::strcmp(at, name) == 0) return at + length + 1;
  }
  return nullptr;
}

bool ParamNameAt(const GrowingBuffer& params, int32_t index, char* name, int32_t size) {
  if (index < 0 || size <= 0) return false;
  const char* at = params.Data();
  const char* end = at + params.Length();
  for (int32_t i = 0; at < end; ++i) {
    size_t length = std::strlen(at);
    if (i == index) {
      if (length >= static_cast<size_t>(size)) length = 0;
      std::memcpy(name, at, length);
      name[length] = '\0';
      return true;
    }
    at += length + 1;
    at += std::strlen(at) + 1;
  }
  return false;
}

}  // namespace fastcgi
