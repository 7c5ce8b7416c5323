// The text of an HTTP message as the gateway reads and writes it: header
// lines and their names, where a header ends, the status code, interim
// replies, the headers that belong to one connection, and the port a URL
// implies when it names none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/text.h"

// The most a reply header (interim replies included) may take before the
// gateway gives up on it, as common servers limit theirs.
constexpr int64_t kMaxReplyHeader = 64 * 1024;

// The line at `*at` of `text` (`length` bytes), without its end (LF, with or
// without CR); `*at` moves past the line end.
Span NextLine(const char* text, size_t length, size_t* at);

// `span` without the blanks and tabs at either end.
Span Trimmed(Span span);
// True when the comma-separated `list` (a Connection value) holds the token
// `name`, letters compared without regard to case.
bool ListHolds(Span list, Span name);

// Where the header at the start of `bytes` ends (just past the CR LF CR LF
// of its blank line); 0 while it is incomplete.
int64_t FindHeaderEnd(const char* bytes, int64_t length);

// The status code of the status line at `head`: what follows the protocol
// name, read as "%ld" reads it, before `end`. False when no number stands
// there.
bool ReadStatusCode(const char* head, const char* end, int64_t* code);
// An interim (1xx) reply comes before the reply that answers the request.
inline bool IsInterim(int64_t status) { return status >= 100 && status <= 199; }

// Headers that belong to one connection, not to the message. The gateway's
// connection to the target is its own (framed by the gateway alone), and so
// is the web server's to the browser: a browser's Connection: keep-alive
// or Upgrade must not reach the target, nor the target's framing the
// browser. These are never passed on, in either direction.
inline constexpr const char* kHopByHopHeaders[] = {
    "Connection", "Keep-Alive", "Proxy-Connection", "TE", "Trailer",
    "Transfer-Encoding", "Upgrade", "HTTP2-Settings",
};
constexpr bool IsHopByHop(const char* name) {
  for (const char* hop : kHopByHopHeaders) {
    if (EqualsNoCase(name, hop)) return true;
  }
  return false;
}
// The same for a name inside a header line.
bool IsHopByHop(Span name);

// The port a URL implies when it names none: 443 over TLS, else 80.
inline uint16_t DefaultPort(bool tls) { return tls ? 443 : 80; }

// Appends `value` to `out` (anything with Append(bytes, count)) with every CR
// and LF made a blank, so that no value can start a header line of its own.
template <class Out>
void AppendWithoutLineBreaks(Out& out, const char* value) {
  for (const char* at = value; *at;) {
    size_t run = std::strcspn(at, "\r\n");
    out.Append(at, run);
    at += run;
    if (*at) {
      out.Append(" ", 1);
      ++at;
    }
  }
}
