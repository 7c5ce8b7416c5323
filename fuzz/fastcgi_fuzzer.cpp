// What FastCGI mode reads from the web server, fuzzed: the record stream,
// PARAMS among it, handed over in pieces. The answer is whole records, the
// same however the stream is cut.
//
// Input: a control byte (bits 0-5: the largest piece a receive hands over,
// less one), then the stream the web server sends.
#include <string>

#include "fuzz/fuzz_check.h"
#include "gateway/fastcgi/server.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/memory_connection.h"

namespace {

std::string Serve(const std::string& input, size_t piece) {
  // Nothing listens on port 1: a forwarded request fails at once.
  ForwardSettings settings = DefaultSettings(1);
  MemoryConnection connection(input, piece);
  ServeFastCgiConnection(connection, settings, "1.0", nullptr, nullptr, nullptr);
  FUZZ_CHECK(connection.rest.empty(), "whole records");
  return connection.out + "|" + connection.records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  FUZZ_CHECK(Serve(input, 1 + (data[0] & 0x3F)) == Serve(input, input.size() + 1),
             "the answer does not depend on the pieces");
  return 0;
}
