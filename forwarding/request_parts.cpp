#include "forwarding/request_parts.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "base/http_message.h"
#include "base/text.h"
#include "forwarding/authorization.h"
#include "forwarding/body_reader.h"
#include "log/request_log.h"

namespace {

constexpr int kContentLengthRow = HeaderRowOf("Content-Length");
constexpr int kContentTypeRow = HeaderRowOf("Content-Type");
constexpr int kHostRow = HeaderRowOf("Host");
static_assert(kContentLengthRow >= 0 && kContentTypeRow >= 0 && kHostRow >= 0,
              "the rows the request treats apart are in the map");

// The rows that belong to one connection, known when the program is built.
constexpr std::array<bool, kHeaderMapRows> HopByHopRows() {
  std::array<bool, kHeaderMapRows> rows{};
  for (int row = 0; row < kHeaderMapRows; ++row) rows[row] = IsHopByHop(kHeaderMap[row].header);
  return rows;
}
constexpr std::array<bool, kHeaderMapRows> kHopByHopRows = HopByHopRows();

// The web server hands PATH_INFO over decoded; it goes back out with only
// what a path may carry raw (unreserved, sub-delims, ":", "@", "/"), so
// every target reads the same request line.
bool PathByteNeedsEscape(unsigned char c) {
  if (IsAsciiLetter(static_cast<char>(c)) || IsAsciiDigit(static_cast<char>(c))) return false;
  return c == '\0' || !std::strchr("-._~!$&'()*+,;=:@/", c);
}

// An HTTP method is a token; anything else could change the request line.
bool IsToken(const char* text) {
  for (const char* at = text; *at; ++at) {
    if (!IsAsciiLetter(*at) && !IsAsciiDigit(*at) && !std::strchr("!#$%&'*+-.^_`|~", *at)) {
      return false;
    }
  }
  return true;
}
// QUERY_STRING arrives encoded; only bytes that cannot stand in a request
// line are escaped.
bool QueryByteNeedsEscape(unsigned char c) { return c <= 0x20 || c == 0x7F || c >= 0x80; }

// Counts bytes instead of writing them.
struct MeasureSink {
  uint64_t size = 0;
  void Append(const char*, size_t length) { size += length; }
};

// Writes into a buffer of known capacity, never beyond it.
struct BufferSink {
  char* at;
  char* end;
  void Append(const char* text, size_t length) {
    size_t room = static_cast<size_t>(end - at);
    if (length > room) length = room;
    std::memcpy(at, text, length);
    at += length;
  }
};

template <class Sink>
void PutText(Sink& sink, const char* text) {
  sink.Append(text, std::strlen(text));
}

template <class Sink>
void PutEscaped(Sink& sink, const char* text, bool (*needsEscape)(unsigned char)) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char* at = text; *at; ++at) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (needsEscape(c)) {
      char escaped[3] = {'%', kHex[c >> 4], kHex[c & 15]};
      sink.Append(escaped, 3);
    } else {
      sink.Append(at, 1);
    }
  }
}

template <class Sink>
void PutHeaderLine(Sink& sink, const char* name, const char* value) {
  PutText(sink, name);
  sink.Append(": ", 2);
  AppendWithoutLineBreaks(sink, value);
  sink.Append("\r\n", 2);
}

// A header line of the request as the echo shows it: credentials by their
// size alone, since any script of the site can read the echo, and HttpOnly
// cookies and Basic passwords must stay out of its reach.
template <class Sink>
void PutRequestLine(Sink& sink, const RequestParts& parts, const char* name, const char* value) {
  char size[32];
  if (parts.maskCredentials && (EqualsNoCase(name, "Cookie") || EqualsNoCase(name, "Authorization") ||
                                EqualsNoCase(name, "Proxy-Authorization"))) {
    std::snprintf(size, sizeof size, "(%zu bytes)", std::strlen(value));
    value = size;
  }
  PutHeaderLine(sink, name, value);
}

template <class Sink>
void PutForwardedHeaders(const RequestParts& parts, Sink& sink) {
  if (parts.forwardedFor.IsSet() || parts.remoteAddress.IsSet()) {
    PutText(sink, "X-Forwarded-For: ");
    if (parts.forwardedFor.IsSet()) AppendWithoutLineBreaks(sink, parts.forwardedFor.Text());
    if (parts.forwardedFor.IsSet() && parts.remoteAddress.IsSet()) sink.Append(", ", 2);
    if (parts.remoteAddress.IsSet()) AppendWithoutLineBreaks(sink, parts.remoteAddress.Text());
    sink.Append("\r\n", 2);
  }
  if (parts.forwardedHost.IsSet()) {
    PutHeaderLine(sink, "X-Forwarded-Host", parts.forwardedHost.Text());
  }
  PutHeaderLine(sink, "X-Forwarded-Proto", parts.https ? "https" : "http");
}

template <class Sink>
void ComposeHead(const RequestParts& parts, Sink& sink) {
  AppendWithoutLineBreaks(sink, parts.method.Text());
  sink.Append(" ", 1);
  // A request target is an absolute path: one the web server gave without
  // its leading "/" (or empty) gets one.
  const char* path = parts.path.IsSet() ? parts.path.Text() : "";
  if (path[0] != '/') sink.Append("/", 1);
  PutEscaped(sink, path, PathByteNeedsEscape);
  if (parts.query.IsSet()) {
    sink.Append("?", 1);
    PutEscaped(sink, parts.query.Text(), QueryByteNeedsEscape);
  }
  const bool http11 = parts.settings->targetHttp11 == 1;
  PutText(sink, http11 ? " HTTP/1.1\r\n" : " HTTP/1.0\r\n");
  for (int row = 0; row < kHeaderMapRows; ++row) {
    if (!parts.included[row]) continue;
    const char* value = row == kContentLengthRow && parts.bodyLengthText[0]
                            ? parts.bodyLengthText
                            : parts.values[row].Text();
    PutRequestLine(sink, parts, kHeaderMap[row].header, value);
  }
  for (int i = 0; i < parts.otherCount; ++i) {
    PutRequestLine(sink, parts, parts.others[i].header, parts.others[i].value.Text());
  }
  if (parts.forwardedHeaders) PutForwardedHeaders(parts, sink);
  if (parts.browserHost.IsSet()) {
    PutHeaderLine(sink, "Host", parts.browserHost.Text());
  } else if (parts.hostForTarget) {
    // A TLS target's virtual host is the name its certificate was chosen by:
    // servers refuse a Host that differs from the SNI name (421).
    const ForwardSettings& settings = *parts.settings;
    const char* host = settings.targetTls && settings.tlsServerName[0] ? settings.tlsServerName
                                                                       : settings.targetName;
    char hostLine[kSettingTextSize + 32];
    if (settings.targetSocket[0] != '\0') {
      // A socket file has no host name or port of its own.
      const char* name = settings.targetServer[0] ? settings.targetServer : "localhost";
      std::snprintf(hostLine, sizeof hostLine, "Host: %s\r\n", name);
    } else if (settings.targetPort == DefaultPort(settings.targetTls)) {
      std::snprintf(hostLine, sizeof hostLine, "Host: %s\r\n", host);
    } else {
      std::snprintf(hostLine, sizeof hostLine, "Host: %s:%ld\r\n", host,
                    static_cast<long>(settings.targetPort));
    }
    PutText(sink, hostLine);
  }
  if (http11 && !parts.keepTargetConnection) PutText(sink, "Connection: close\r\n");
  sink.Append("\r\n", 2);
}

// True when `text` is a host and an optional port as a Host line carries
// them, and nothing else: a name or IPv4 address (RFC 3986's reg-name: no
// blank, "/", "@", ","), or an IPv6 address in brackets.
bool IsHostAndPort(const char* text) {
  const char* at = text;
  if (*at == '[') {
    for (++at; IsHexDigit(*at) || *at == ':' || *at == '.'; ++at) {
    }
    if (*at++ != ']' || at - text < 4) return false;
  } else {
    for (; *at; ++at) {
      bool escaped = at[0] == '%' && IsHexDigit(at[1]) && IsHexDigit(at[2]);
      if (escaped) {
        at += 2;
      } else if (!IsAsciiLetter(*at) && !IsAsciiDigit(*at) && !std::strchr("-._~!$&'()*+;=", *at)) {
        break;
      }
    }
    if (at == text) return false;
  }
  if (*at == '\0') return true;
  if (*at++ != ':') return false;
  const char* port = at;
  while (IsAsciiDigit(*at)) ++at;
  return *at == '\0' && at > port && at - port <= 5;
}

// Variables never passed on as other headers: those the header map carries,
// and those that must not reach the target from the browser, whatever the
// settings. (Hop-by-hop headers are left out by name.)
bool IsExcludedVariable(const char* name) {
  static const char* const kNeverForwarded[] = {
      "HTTP_HOST",           // the Host line names the target
      "HTTP_PROXY",          // would set the target's outgoing proxy ("httpoxy")
      "HTTP_CONTENT_LENGTH", "HTTP_CONTENT_TYPE",
      // Frameworks and IIS take these as the URL actually asked for: they
      // would let an allowed path act on a refused one.
      "HTTP_X_ORIGINAL_URL", "HTTP_X_REWRITE_URL",
      // Applications behind an authenticating front end take these as the
      // user it signed in: only the web server may say who that is.
      "HTTP_REMOTE_USER", "HTTP_X_REMOTE_USER", "HTTP_X_AUTHENTICATED_USER",
      // Claims about the client's address, host and scheme (X-Forwarded-*
      // below): only the gateway's own, with AddForwardedHeaders, are told.
      "HTTP_FORWARDED", "HTTP_X_REAL_IP",
  };
  for (const char* never : kNeverForwarded) {
    if (std::strcmp(name, never) == 0) return true;
  }
  if (std::strncmp(name, "HTTP_X_FORWARDED_", 17) == 0) return true;
  for (const HeaderRow& row : kHeaderMap) {
    if (std::strcmp(name, row.variable) == 0) return true;
  }
  return false;
}

// "HTTP_X_REQUESTED_WITH" -> "X-Requested-With". False for a name that is not
// a plain HTTP_ variable of capitals, digits and underscores.
bool HeaderNameOf(const char* variable, char* header, size_t size) {
  if (std::strncmp(variable, "HTTP_", 5) != 0 || variable[5] == '\0') return false;
  const char* name = variable + 5;
  size_t length = std::strlen(name);
  if (length >= size) return false;
  bool wordStart = true;
  for (size_t i = 0; i < length; ++i) {
    char c = name[i];
    if (c == '_') {
      header[i] = '-';
      wordStart = true;
      continue;
    }
    bool upper = c >= 'A' && c <= 'Z';
    if (!upper && !(c >= '0' && c <= '9')) return false;
    header[i] = (upper && !wordStart) ? static_cast<char>(c + 32) : c;
    wordStart = false;
  }
  header[length] = '\0';
  return true;
}

// True when the header map already sends `header` for this request: an
// unmapped variable of the same name (HTTP_PROXY_AUTHORIZATION beside the
// map's Proxy-Authorization) must not send it twice.
bool SentByMap(const RequestParts& parts, const char* header) {
  for (int row = 0; row < kHeaderMapRows; ++row) {
    if (parts.included[row] && EqualsNoCase(header, kHeaderMap[row].header)) return true;
  }
  return false;
}

void GatherOtherHeaders(CgiForwarder& forwarder, RequestParts& parts) {
  char name[kMaxOtherHeaderName];
  for (int32_t index = 0;
       parts.otherCount < kMaxOtherHeaders &&
       forwarder.VariableNameAt(index, name, static_cast<int32_t>(sizeof name));
       ++index) {
    OtherHeader& other = parts.others[parts.otherCount];
    if (IsExcludedVariable(name) ||
        !HeaderNameOf(name, other.header, sizeof other.header) || IsHopByHop(other.header) ||
        SentByMap(parts, other.header)) {
      continue;
    }
    other.value = VariableCopy(forwarder, name);
    if (!other.value.IsSet()) continue;
    std::memcpy(other.variable, name, std::strlen(name) + 1);
    ++parts.otherCount;
  }
  // Sorted so the request is the same whatever order the environment has.
  std::sort(parts.others, parts.others + parts.otherCount,
            [](const OtherHeader& a, const OtherHeader& b) {
              return std::strcmp(a.variable, b.variable) < 0;
            });
}

}  // namespace

bool IsHttpsOn(const char* value) {
  return value && (value[0] == 'o' || value[0] == 'O') && (value[1] == 'n' || value[1] == 'N') &&
         value[2] == '\0';
}

Failure GatherRequestParts(CgiForwarder& forwarder, ForwardMode mode, int64_t maxBody,
                           RequestParts& parts) {
  const ForwardSettings& settings = *parts.settings;
  parts.hostForTarget = mode != ModeEcho;
  parts.maskCredentials = mode == ModeEcho;
  if (mode == ModeTargetTest) {
    parts.method = VariableCopy::Fixed("GET");
    parts.path = VariableCopy::Fixed("/");
  } else {
    VariableCopy contentLength(forwarder, "CONTENT_LENGTH");
    parts.contentLengthSet = contentLength.IsSet();
    if (parts.contentLengthSet) parts.bodyLength = ParseContentLength(contentLength.Text());
    contentLength.Release();
    parts.method = VariableCopy(forwarder, "REQUEST_METHOD");
    parts.path = VariableCopy(forwarder, "PATH_INFO");
    parts.query = VariableCopy(forwarder, "QUERY_STRING");
    if (parts.query.IsSet() && parts.query.Text()[0] == '\0') parts.query.Release();
    // A chunked upload reaches a CGI program dechunked and without
    // CONTENT_LENGTH: its length is known only once it has been read.
    parts.unframedBody =
        !parts.contentLengthSet && VariableCopy(forwarder, "HTTP_TRANSFER_ENCODING").IsSet();
  }
  if (!parts.method.IsSet()) return Failure::kNoMethod;
  if (parts.bodyLength > maxBody) return Failure::kBodyTooLarge;
  if (!IsToken(parts.method.Text())) {
    RequestLog(settings.logFile).Event(FailureEvent(Failure::kMethodNotToken));
    return Failure::kMethodNotToken;
  }
  // The length goes out as the number the gateway read and will send, never as
  // a text the target might read otherwise ("+5", " 5"); a length of zero or
  // less goes out with no body and no content rows.
  if (parts.bodyLength > 0) DeclareBodyLength(parts, parts.bodyLength);

  for (int row = 0; row < kHeaderMapRows; ++row) {
    if (kHopByHopRows[row]) continue;
    if (row == kHostRow && mode != ModeEcho) continue;
    if (row == kContentLengthRow) continue;  // declared by the gateway itself
    if (row == kContentTypeRow && parts.bodyLength <= 0 && !parts.unframedBody) continue;
    parts.values[row] = HeaderRowValue(forwarder, settings, row);
    parts.included[row] = parts.values[row].IsSet();
  }

  parts.forwardedHeaders = settings.addForwardedHeaders != 0;
  if (parts.forwardedHeaders) {
    parts.forwardedFor = VariableCopy(forwarder, "HTTP_X_FORWARDED_FOR");
    parts.remoteAddress = VariableCopy(forwarder, "REMOTE_ADDR");
    parts.forwardedHost = VariableCopy(forwarder, "HTTP_HOST");
    parts.https = IsHttpsOn(VariableCopy(forwarder, "HTTPS").Text());
  }
  if (settings.forwardOtherHeaders) GatherOtherHeaders(forwarder, parts);
  if (settings.preserveHost && parts.hostForTarget) {
    parts.browserHost = VariableCopy(forwarder, "HTTP_HOST");
    if (parts.browserHost.IsSet() && !IsHostAndPort(parts.browserHost.Text())) {
      parts.browserHost.Release();
    }
  }
  return Failure::kNone;
}

void DeclareBodyLength(RequestParts& parts, int64_t length) {
  parts.bodyLength = length;
  if (length > 0) {
    std::snprintf(parts.bodyLengthText, sizeof parts.bodyLengthText, "%lld",
                  static_cast<long long>(length));
    parts.included[kContentLengthRow] = true;
  } else {
    // An empty body carries neither content row, as for any empty body.
    parts.bodyLengthText[0] = '\0';
    parts.included[kContentLengthRow] = false;
    parts.included[kContentTypeRow] = false;
  }
}

uint64_t MeasureHead(const RequestParts& parts) {
  MeasureSink sink;
  ComposeHead(parts, sink);
  return sink.size;
}

size_t WriteHead(const RequestParts& parts, char* buffer, size_t size) {
  BufferSink sink{buffer, buffer + size};
  ComposeHead(parts, sink);
  return static_cast<size_t>(sink.at - buffer);
}
