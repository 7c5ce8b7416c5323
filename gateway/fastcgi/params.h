// A request's variables, as its PARAMS stream brings them, kept as
// "name\0value\0" pairs.
#pragma once

#include <cstdint>

#include "base/growing_buffer.h"
#include "gateway/fastcgi/connection.h"

namespace fastcgi {

// Collects the PARAMS stream of request `requestId` into `params`. False when
// the request was aborted, the stream is malformed or too large, or the
// connection failed.
bool ReadParams(Connection& connection, uint16_t requestId, GrowingBuffer& params);

// The value that follows `name` in `params`, or nullptr.
const char* FindParam(const GrowingBuffer& params, const char* name);
// The variables of one request indexed by name once, so that the sixty
// lookups of a request do not each scan them all.
class ParamIndex {
 public:
  // `params` must outlive the index.
  explicit ParamIndex(const GrowingBuffer& params);
  // As FindParam.
  const char* Find(const char* name) const;

 private:
  static constexpr size_t kSlots = 256;
  const GrowingBuffer& params_;
  bool usable_ = true;  // false: too many to index, each lookup scans
  int32_t slots_[kSlots] = {};  // where a name begins in params_ + 1; 0 = empty
};

// Copies the `index`th name (from 0) into `name`; false past the last. A name
// that does not fit comes back empty, as the process environment's does.
bool ParamNameAt(const GrowingBuffer& params, int32_t index, char* name, int32_t size);

}  // namespace fastcgi
