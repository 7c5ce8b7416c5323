// The chunked transfer coding read in any pieces: the data, where the body
// ends, and why a body cannot be read.
#include <string>

#include <gtest/gtest.h>

#include "base/chunked_decoder.h"

namespace {

struct ChunkCase {
  const char* name;
  std::string body;
  std::string data;     // the data as far as it goes
  bool done;            // the body ended (the bytes after it are not read)
  const char* fault = nullptr;
};

const ChunkCase kChunks[] = {
    {"SizesInHexWithLeadingZeros", "a\r\n0123456789\r\n00B\r\nhello world\r\n000\r\n\r\n",
     "0123456789hello world", true},
    {"ExtensionsSkipped", "3;name=value\r\nabc\r\n2 ; q=\"x;y\"\t\r\nde\r\n0;last\r\n\r\n", "abcde",
     true},
    {"TrailersDropped", "3\r\nabc\r\n0\r\nDigest: x\r\nY: 2\r\n\r\n", "abc", true},
    {"DataMayHoldLineEnds", "4\r\n\r\n0\r\r\n0\r\n\r\n", "\r\n0\r", true},
    {"LargestSize", "7fffffffffffffff\r\nab", "ab", false},
    {"MissingFinalChunk", "3\r\nabc\r\n", "abc", false},
    {"SizeThatOverflows", "8000000000000000\r\n", "", false, "chunk size too large"},
    {"NoSize", "\r\nabc\r\n", "", false, "chunk size"},
    {"BlankBeforeTheSize", " 3\r\nabc\r\n", "", false, "chunk size"},
    {"NotHex", "3g\r\nabc\r\n", "", false, "chunk size"},
    {"BareLfAfterTheSize", "3\nabc\r\n0\r\n\r\n", "", false, "chunk size"},
    {"BareLfInAnExtension", "3;x\nabc\r\n", "", false, "bare LF"},
    {"DataLongerThanItsSize", "3\r\nabcd\r\n0\r\n\r\n", "abc", false, "chunk longer than its size"},
    {"BareCrAfterTheData", "3\r\nabc\rX0\r\n\r\n", "abc", false, "bare CR"},
    {"BareLfInATrailer", "0\r\nX: 1\n\r\n", "", false, "bare LF"},
};

void PrintTo(const ChunkCase& c, std::ostream* out) { *out << c.name; }

class Chunks : public ::testing::TestWithParam<ChunkCase> {};

// Each body in two pieces split at every byte, and a byte at a time; the
// bytes after it belong to no reply and are never read.
TEST_P(Chunks, ReadTheSameInAnyPieces) {
  const ChunkCase& c = GetParam();
  const std::string input = c.body + (c.done ? "NEXT" : "");
  for (size_t split = 0; split <= input.size() + 1; ++split) {
    ChunkedDecoder decoder, skipper;
    std::string data;
    int64_t read = 0, skipped = 0;
    for (size_t at = 0; at < input.size();) {
      const size_t piece = split > input.size() ? 1 : at < split ? split - at : input.size() - at;
      std::string bytes = input.substr(at, piece);
      int64_t count = 0;
      read += decoder.Decode(&bytes[0], static_cast<int64_t>(bytes.size()), &count);
      data += bytes.substr(0, static_cast<size_t>(count));
      skipped += skipper.Skip(input.data() + at, static_cast<int64_t>(piece));
      at += piece;
    }
    EXPECT_EQ(c.data, data) << split;
    EXPECT_EQ(c.done, decoder.Done()) << split;
    EXPECT_STREQ(c.fault, decoder.Fault()) << split;
    EXPECT_EQ(read, skipped) << split;
    if (c.done) {
      EXPECT_EQ(static_cast<int64_t>(c.body.size()), read) << split;
    }
    EXPECT_EQ(skipper.Done(), decoder.Done());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Chunks, ::testing::ValuesIn(kChunks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
