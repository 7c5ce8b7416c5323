// Fuzzed target replies: where a reply ends, whatever pieces it arrives in;
// redirect rewriting that changes header values only; and the whole exchange,
// held, streamed and adaptive, with a loopback target that sends the reply and
// closes.
//
// Input: a control byte (bit 0 asks with HEAD, bit 1 turns RewriteRedirects
// on, bit 2 repeats the reply past the header limit, bits 3-7 the size of the
// pieces, and where the target pauses), the browser's Host (a length byte,
// then its bytes), the reply.
#include <algorithm>
#include <string>
#include <tuple>

#include "base/http_message.h"
#include "base/owned_buffer.h"
#include "forwarding/chunked_reply.h"
#include "forwarding/redirect_rewriter.h"
#include "forwarding/reply_framer.h"
#include "fuzz/fuzz_check.h"
#include "platform/program.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"

namespace {

using Framing = std::tuple<ReplyFramer::State, int64_t, int64_t>;  // state, header end, end

// Feeds the reply in pieces of `piece` bytes, as the receive loops do, then the close.
Framing Frame(std::string text, size_t piece, bool head) {
  ReplyFramer framer(head);
  ReplyFramer::State state = ReplyFramer::State::kNeedMore;
  for (size_t length = 0; state == ReplyFramer::State::kNeedMore && length < text.size();) {
    length = std::min(text.size(), length + piece);
    const char kept = text[length];
    text[length] = '\0';  // as received so far
    state = framer.Update(&text[0], static_cast<int64_t>(length));
    text[length] = kept;
  }
  if (state == ReplyFramer::State::kNeedMore) state = framer.OnClose(int64_t(text.size()));
  return {state, framer.HeaderEnd(), framer.End()};
}

// The reply as rewritten for `address`, checked: only header values change.
std::string Rewrite(const std::string& reply, size_t headerEnd, const PublicAddress& address) {
  int32_t length = 0;
  OwnedBuffer rewritten(RewriteReplyHeader(reply.data(), int32_t(reply.size()), address, &length));
  if (!rewritten) return reply;
  const std::string text(rewritten.get(), static_cast<size_t>(length));
  const size_t body = reply.size() - headerEnd, newEnd = text.size() - body;
  // A Host with a line break in it must not make a header line of its own.
  FUZZ_CHECK(text.size() >= body && text.compare(newEnd, body, reply, headerEnd) == 0 &&
                 std::count(text.begin(), text.begin() + newEnd, '\n') ==
                     std::count(reply.begin(), reply.begin() + headerEnd, '\n'),
             "rewriting keeps the number of header lines and the body");
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || data[1] > size - 2) return -1;
  const bool head = data[0] & 1, rewrite = data[0] & 2;
  const std::string host(reinterpret_cast<const char*>(data) + 2, data[1]);
  std::string reply(reinterpret_cast<const char*>(data) + 2 + data[1], size - 2 - data[1]);
  size_t piece = (data[0] >> 3) + 1u;
  if ((data[0] & 4) && !reply.empty()) {
    while (reply.size() <= static_cast<size_t>(kMaxReplyHeader)) reply += reply;
    piece *= 997;  // a long reply in fewer pieces
  }
  const auto [state, headerEnd, end] = Frame(reply, reply.size(), head);
  FUZZ_CHECK(Frame(reply, piece, head) == Framing(state, headerEnd, end),
             "pieces frame a reply as one piece does");
  const bool complete = state == ReplyFramer::State::kComplete;

  platform::StartProcess();  // writing to a peer that has gone raises no signal
  ScriptedTarget target;
  target.Send(reply.substr(0, piece)).Pause(1).Send(reply.substr(std::min(piece, reply.size())));
  target.Close().Start(3);
  std::string expected = complete ? reply.substr(0, end) : kErrorPage;
  // A transfer-coded reply loses its Content-Length; the chunks pass as sent.
  ReplyFramer coded(head);
  coded.Update(reply.data(), std::min<int64_t>(int64_t(reply.size()), end > 0 ? end : headerEnd));
  int64_t expectedHeaderEnd = headerEnd;
  if (complete && coded.Chunked()) {
    GrowingBuffer reframed;
    reframed.Append(expected.data(), expected.size());
    FUZZ_CHECK(ReframeHeldReply(reframed, coded, false, true, &expectedHeaderEnd), "reframed");
    expected.assign(reframed.Data(), static_cast<size_t>(reframed.Length()));
  }
  if (complete && rewrite) {
    // The first names a target the input can spell; the exchange's has a port of its own.
    Rewrite(expected, expectedHeaderEnd,
            {"http", host.c_str(), "/gw", {"target.example", "127.0.0.1"}, 8080, false});
    expected = Rewrite(expected, expectedHeaderEnd,
                       {"http", host.c_str(), "/gw", {"", "127.0.0.1"}, target.Port(), false});
  }
  ForwardSettings settings = DefaultSettings(target.Port());
  settings.timeoutSeconds = 2;
  settings.rewriteRedirects = rewrite;
  settings.holdLimit = 100;  // replies of more bytes flow when adaptive
  const auto exchange = [&](Relay relay) {
    settings.relay = relay;
    FakeForwarder forwarder(settings);
    forwarder.Set("REQUEST_METHOD", head ? "HEAD" : "GET").Set("HTTP_HOST", host);
    // A browser that reads chunks gets the reply as it was framed.
    forwarder.Set("SCRIPT_NAME", "/gw").Set("SERVER_PROTOCOL", "HTTP/1.1").HandleRequest("1.0");
    return forwarder.output;
  };
  const std::string held = exchange(Relay::kHeld);
  const std::string streamed = exchange(Relay::kStreamed);
  const std::string adaptive = exchange(Relay::kAdaptive);
  FUZZ_CHECK(held == expected, "held, the framed reply (rewritten) or the error page");
  FUZZ_CHECK(streamed == held ||
                 (!complete && headerEnd > 0 &&
                  (rewrite || coded.Chunked() || reply.rfind(streamed, 0) == 0)),
             "streamed, as held; a reply cut short as far as it went");
  FUZZ_CHECK(adaptive == held || adaptive == streamed, "adaptive, as held or as streamed");
  return 0;
}
