// What FastCGI mode reads from the web server, fuzzed: the record stream,
// PARAMS among it, handed over in pieces. The answer is the same however the
// stream is cut, and it is well-formed records.
//
// Input: a control byte (bits 0-5: the largest piece a receive hands over,
// less one), then the stream the web server sends.
#include <cstring>
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
  ServeFastCgiConnection(connection, settings, "1.0", nullptr, nullptr);
  return connection.sent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string cut = Serve(input, 1 + (data[0] & 0x3F));
  FUZZ_CHECK(cut == Serve(input, input.size() + 1), "the answer does not depend on the pieces");
  for (size_t at = 0; at < cut.size();) {
    FUZZ_CHECK(cut.size() - at >= 8, "whole record headers");
    const unsigned char* header = reinterpret_cast<const unsigned char*>(cut.data() + at);
    const size_t length = header[4] << 8 | header[5];
    FUZZ_CHECK(header[0] == 1 && std::memchr("\x03\x06\x07\x0a\x0b", header[1], 5) &&
                   (header[1] != 3 || length == 8) && cut.size() - at >= 8 + length + header[6],
               "version-1 records of the types a responder sends, each whole");
    at += 8 + length + header[6];
  }
  return 0;
}
