#include "forwarding/redirect_rewriter.h"

#include <cstdio>
#include <cstring>

#include "base/growing_buffer.h"
#include "base/http_message.h"
#include "base/text.h"
#include "forwarding/reply_framer.h"

namespace {

// True when `authority` (host[:port] of a URL) names the target.
bool NamesTarget(Span authority, const PublicAddress& address) {
  char withPort[300];
  for (const char* name : address.targetNames) {
    if (!name || !*name) continue;
    std::snprintf(withPort, sizeof withPort, "%s:%u", name, address.targetPort);
    if (SpanIs(authority, withPort)) return true;
    if (address.targetPort == DefaultPort(address.targetTls) && SpanIs(authority, name)) {
      return true;
    }
  }
  return false;
}

// True when a cookie's Domain (a host without port) names the target.
bool IsTargetHost(Span host, const PublicAddress& address) {
  for (const char* name : address.targetNames) {
    if (name && *name && SpanIs(host, name)) return true;
  }
  return false;
}

bool BeginsWithTwoSlashes(const char* text, size_t length) {
  return length > 1 && text[0] == '/' && text[1] == '/';
}

// Appends the public prefix and `path` (which begins with "/") as a path on
// this host: a result beginning "//" would send the browser to another host
// (a protocol-relative address), so "/." goes before it, which keeps the path.
void AppendPublicPath(Span path, const PublicAddress& address, GrowingBuffer& out) {
  const char* prefix = address.prefix;
  if (prefix[0] ? BeginsWithTwoSlashes(prefix, std::strlen(prefix))
                : BeginsWithTwoSlashes(path.begin, path.length)) {
    out.Append("/.");
  }
  AppendWithoutLineBreaks(out, prefix);
  out.Append(path.begin, path.length);
}

// Appends the public form of a redirect target; false when it is left as is.
bool RewriteUrl(Span value, const PublicAddress& address, GrowingBuffer& out) {
  if (value.length > 0 && value.begin[0] == '/' && !BeginsWithTwoSlashes(value.begin, value.length)) {
    AppendPublicPath(value, address, out);
    return true;
  }
  // Only the target's own scheme names it: over TLS an "http://" URL is
  // another server's (or a downgrade), and is left alone.
  const char* scheme = address.targetTls ? "https://" : "http://";
  if (!SpanStartsWith(value, scheme)) return false;
  size_t schemeLength = std::strlen(scheme);
  Span rest{value.begin + schemeLength, value.length - schemeLength};
  size_t authorityLength = 0;
  while (authorityLength < rest.length && !std::strchr("/?#", rest.begin[authorityLength])) {
    ++authorityLength;
  }
  if (!NamesTarget(Span{rest.begin, authorityLength}, address)) return false;
  Span path{rest.begin + authorityLength, rest.length - authorityLength};
  if (address.host && *address.host) {
    out.Append(address.scheme);
    out.Append("://");
    AppendWithoutLineBreaks(out, address.host);
    AppendWithoutLineBreaks(out, address.prefix);
    if (path.length == 0 || path.begin[0] != '/') out.Append("/");
    out.Append(path.begin, path.length);
  } else if (path.length == 0 || path.begin[0] != '/') {
    AppendWithoutLineBreaks(out, address.prefix);
    out.Append("/");
    out.Append(path.begin, path.length);
  } else {
    AppendPublicPath(path, address, out);
  }
  return true;
}

// Appends the cookie with its Path under the public prefix and without a
// Domain that names the target; false when nothing changed.
bool RewriteCookie(Span value, const PublicAddress& address, GrowingBuffer& out) {
  bool changed = false;
  const char* end = value.begin + value.length;
  bool first = true;
  for (const char* at = value.begin; at <= end;) {
    const char* semicolon = static_cast<const char*>(std::memchr(at, ';', end - at));
    const char* partEnd = semicolon ? semicolon : end;
    Span part{at, static_cast<size_t>(partEnd - at)};
    Span trimmed = Trimmed(part);
    if (!first && SpanStartsWith(trimmed, "domain=")) {
      Span domain{trimmed.begin + 7, trimmed.length - 7};
      if (domain.length > 0 && domain.begin[0] == '.') domain = Span{domain.begin + 1, domain.length - 1};
      if (IsTargetHost(domain, address)) {
        changed = true;
        at = partEnd + 1;
        continue;
      }
    }
    if (!first) out.Append(";");
    if (!first && SpanStartsWith(trimmed, "path=") && trimmed.length > 5 &&
        trimmed.begin[5] == '/') {
      out.Append(part.begin, static_cast<size_t>(trimmed.begin - part.begin) + 5);
      AppendWithoutLineBreaks(out, address.prefix);
      out.Append(trimmed.begin + 5, static_cast<size_t>(partEnd - trimmed.begin) - 5);
      changed = true;
    } else {
      out.Append(part.begin, part.length);
    }
    first = false;
    at = partEnd + 1;
  }
  return changed;
}

// The end of the final response's header (after any interim ones), or 0.
// Only the part a header may take is looked at.
int64_t FinalHeaderEnd(const char* reply, int32_t length) {
  ReplyFramer framer(false);
  framer.Update(reply, length < kMaxReplyHeader + 1 ? length : kMaxReplyHeader + 1);
  return framer.HeaderComplete() ? framer.HeaderEnd() : 0;
}

}  // namespace

char* RewriteReplyHeader(const char* reply, int32_t length, const PublicAddress& address,
                         int32_t* newLength) {
  *newLength = 0;
  int64_t headerEnd = FinalHeaderEnd(reply, length);
  if (headerEnd == 0) return nullptr;
  GrowingBuffer out;
  bool changed = false;
  for (size_t at = 0; at < static_cast<size_t>(headerEnd);) {
    Span line = NextLine(reply, static_cast<size_t>(headerEnd), &at);
    const char* contentEnd = line.begin + line.length;
    const char* next = reply + at;
    const char* colon = static_cast<const char*>(std::memchr(line.begin, ':', line.length));
    bool rewritten = false;
    if (colon && line.begin != reply) {  // the status line is never touched
      Span name{line.begin, static_cast<size_t>(colon - line.begin)};
      Span value = Trimmed(Span{colon + 1, static_cast<size_t>(contentEnd - colon - 1)});
      bool isLocation = SpanIs(name, "Location") || SpanIs(name, "Content-Location");
      bool isCookie = SpanIs(name, "Set-Cookie");
      GrowingBuffer newValue;
      if (((isLocation && RewriteUrl(value, address, newValue)) ||
           (isCookie && RewriteCookie(value, address, newValue))) &&
          !newValue.Failed()) {
        out.Append(line.begin, name.length);
        out.Append(": ");
        out.Append(newValue.Data(), static_cast<size_t>(newValue.Length()));
        out.Append(contentEnd, static_cast<size_t>(next - contentEnd));
        rewritten = true;
      }
    }
    if (!rewritten) out.Append(line.begin, static_cast<size_t>(next - line.begin));
    changed = changed || rewritten;
  }
  if (!changed) return nullptr;
  out.Append(reply + headerEnd, static_cast<size_t>(length - headerEnd));
  if (out.Failed() || out.Length() > INT32_MAX - 1) return nullptr;
  *newLength = static_cast<int32_t>(out.Length());
  return out.Release();
}
