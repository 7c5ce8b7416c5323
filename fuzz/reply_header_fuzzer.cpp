// The reply header scanner and the reply framer, fed arbitrary target bytes.
//
// Input: one control byte, then the reply. Control bits 0-5 choose the size of
// the pieces the reply arrives in, bit 6 makes the request a HEAD, bit 7
// repeats the reply past the header limit so that the limit is reached.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "forwarding/reply_framing.h"
#include "fuzz/fuzz_check.h"
#include "gateway/cgi_forwarder.h"
#include "tests/support/fake_forwarder.h"

namespace {

// Where the first blank line ends, searching up to the first NUL; 0 if none.
int64_t FirstHeaderEnd(const char* text) {
  const char* found = std::strstr(text, "\r\n\r\n");
  return found ? (found - text) + 4 : 0;
}

void CheckScanner(const std::string& reply) {
  std::vector<char> text(reply.begin(), reply.end());
  text.push_back('\0');
  const std::vector<char> before = text;

  ForwardSettings settings = DefaultSettings();
  CgiForwarder forwarder(settings);
  int32_t headerLength = -1, status = -1, bodyLength = -1;
  forwarder.ScanReplyHeader(text.data(), &headerLength, &status, &bodyLength);
  FUZZ_CHECK(text == before, "the scanner must give the text back unchanged");
  FUZZ_CHECK(headerLength == FirstHeaderEnd(text.data()), "header end is the first blank line");
  if (headerLength == 0) {
    FUZZ_CHECK(status == 0 && bodyLength == 0, "an incomplete header says nothing");
  }

  ReplyHead head;
  ScanReplyHead(text.data(), &head);
  FUZZ_CHECK(text == before, "ScanReplyHead must give the text back unchanged");
  FUZZ_CHECK(head.headerLength == headerLength, "both scanners agree");
  FUZZ_CHECK(head.status == status, "both scanners agree on the status");
  if (!head.hasContentLength) FUZZ_CHECK(head.contentLength == 0, "no length, no value");
}

void CheckFramerUnchanged(const std::string& reply, const std::vector<char>& buffer, int64_t length) {
  FUZZ_CHECK(std::memcmp(buffer.data(), reply.data(), static_cast<size_t>(length)) == 0,
             "Update must give the text back unchanged");
}

void CheckFramer(const std::string& reply, size_t piece, bool headRequest) {
  ReplyFramer framer(headRequest);
  std::vector<char> buffer(reply.size() + 1, '\0');
  int64_t length = 0;
  ReplyFramer::State state = ReplyFramer::State::kNeedMore;
  int64_t lastHeaderEnd = 0;
  while (length < static_cast<int64_t>(reply.size())) {
    size_t take = reply.size() - static_cast<size_t>(length);
    if (take > piece) take = piece;
    std::memcpy(buffer.data() + length, reply.data() + length, take);
    length += static_cast<int64_t>(take);
    buffer[static_cast<size_t>(length)] = '\0';
    state = framer.Update(buffer.data(), length);
    // Bytes already there are never written again here, so one comparison
    // at the end catches any change Update left behind.
    FUZZ_CHECK(buffer[static_cast<size_t>(length)] == '\0', "Update keeps the NUL");
    if (framer.HeaderComplete()) {
      FUZZ_CHECK(framer.HeaderEnd() > 0 && framer.HeaderEnd() <= length, "header end inside the reply");
      FUZZ_CHECK(framer.HeaderEnd() <= kMaxReplyHeader, "header end within the limit");
      FUZZ_CHECK(lastHeaderEnd == 0 || lastHeaderEnd == framer.HeaderEnd(), "header end never moves");
      FUZZ_CHECK(std::memcmp(buffer.data() + framer.HeaderEnd() - 4, "\r\n\r\n", 4) == 0,
                 "the header ends with a blank line");
      lastHeaderEnd = framer.HeaderEnd();
      if (framer.End() > 0) FUZZ_CHECK(framer.End() >= framer.HeaderEnd(), "the body follows the header");
      FUZZ_CHECK(framer.End() <= INT32_MAX - 1, "the reply fits 32 bits");
    }
    if (state == ReplyFramer::State::kComplete) {
      FUZZ_CHECK(framer.HeaderComplete(), "complete only with a header");
      FUZZ_CHECK(framer.End() <= length, "complete only once the end has arrived");
      CheckFramerUnchanged(reply, buffer, length);
      return;
    }
    if (state == ReplyFramer::State::kHeaderTooLarge) {
      FUZZ_CHECK(length > kMaxReplyHeader, "too large only past the limit");
      FUZZ_CHECK(!framer.HeaderComplete() || framer.HeaderEnd() <= kMaxReplyHeader, "no header past the limit");
      CheckFramerUnchanged(reply, buffer, length);
      return;
    }
    if (state == ReplyFramer::State::kTooLong) {
      FUZZ_CHECK(framer.HeaderComplete(), "too long only with a header");
      CheckFramerUnchanged(reply, buffer, length);
      return;
    }
    FUZZ_CHECK(state == ReplyFramer::State::kNeedMore, "Update never reports a close");
    if (!framer.HeaderComplete()) {
      FUZZ_CHECK(length <= kMaxReplyHeader, "an unfinished header never passes the limit");
    }
  }
  CheckFramerUnchanged(reply, buffer, length);
  state = framer.OnClose(length);
  if (state == ReplyFramer::State::kComplete) {
    FUZZ_CHECK(framer.HeaderComplete(), "a close completes only a reply with a header");
    FUZZ_CHECK(framer.End() == length, "a close-delimited reply ends at the close");
  } else {
    FUZZ_CHECK(state == ReplyFramer::State::kClosedEarly, "a close either completes or fails");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((control & 0x80) && !reply.empty()) {
    std::string grown;
    while (grown.size() <= static_cast<size_t>(kMaxReplyHeader) + 16) grown += reply;
    reply.swap(grown);
  }
  CheckScanner(reply);
  size_t piece = (static_cast<size_t>(control & 0x3F) + 1);
  if (control & 0x80) piece *= 997;  // big replies in fewer, larger pieces
  CheckFramer(reply, piece, (control & 0x40) != 0);
  return 0;
}
