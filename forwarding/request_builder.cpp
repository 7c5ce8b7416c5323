// Rebuilds the browser's request, as an HTTP/1.0 request, from the CGI
// variables and the body on standard input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "forwarding/body_reader.h"
#include "forwarding/header_map.h"
#include "gateway/cgi_forwarder.h"
#include "gateway/owned.h"

namespace {

constexpr int kContentLengthRow = 12;
constexpr int kContentTypeRow = 16;
constexpr int kHostRow = 22;
constexpr int kTransferEncodingRow = 41;

// The web server hands PATH_INFO over decoded; anything that would break the
// request line or change its meaning goes back to %XX.
bool PathByteNeedsEscape(unsigned char c) {
  return c <= 0x20 || c == 0x7F || c >= 0x80 || c == '%' || c == '?' || c == '#';
}
// QUERY_STRING arrives encoded; only bytes that cannot stand in a request
// line are escaped.
bool QueryByteNeedsEscape(unsigned char c) { return c <= 0x20 || c == 0x7F || c >= 0x80; }

// Everything the request text is made of, gathered once so that measuring and
// writing see the same values.
struct RequestParts {
  VariableCopy method;
  VariableCopy path;   // not set: the path is "/"
  VariableCopy query;  // not set or empty: no query
  VariableCopy values[kHeaderMapRows];
  bool included[kHeaderMapRows] = {};
  char bodyLengthText[24] = "";  // Content-Length made by the gateway, if any
  const char* body = nullptr;    // a body already read (length not known ahead)
  int64_t bodyLength = 0;
  bool contentLengthSet = false;
  bool hostForTarget = true;
  const ForwardSettings* settings = nullptr;
};

// Counts bytes instead of writing them.
struct MeasureSink {
  uint64_t size = 0;
  void Put(const char*, size_t length) { size += length; }
};

// Writes into a buffer of known capacity, never beyond it.
struct BufferSink {
  char* at;
  char* end;
  void Put(const char* text, size_t length) {
    size_t room = static_cast<size_t>(end - at);
    if (length > room) length = room;
    std::memcpy(at, text, length);
    at += length;
  }
};

void PutText(MeasureSink& sink, const char* text) { sink.Put(text, std::strlen(text)); }
void PutText(BufferSink& sink, const char* text) { sink.Put(text, std::strlen(text)); }

template <class Sink>
void PutEscaped(Sink& sink, const char* text, bool (*needsEscape)(unsigned char)) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char* at = text; *at; ++at) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (needsEscape(c)) {
      char escaped[3] = {'%', kHex[c >> 4], kHex[c & 15]};
      sink.Put(escaped, 3);
    } else {
      sink.Put(at, 1);
    }
  }
}

// A value copied into a header line: every CR and LF becomes a blank, so no
// variable can start a header line of its own.
template <class Sink>
void PutHeaderValue(Sink& sink, const char* value) {
  for (const char* at = value; *at;) {
    size_t run = std::strcspn(at, "\r\n");
    sink.Put(at, run);
    at += run;
    if (*at) {
      sink.Put(" ", 1);
      ++at;
    }
  }
}

template <class Sink>
void ComposeHead(const RequestParts& parts, Sink& sink) {
  PutHeaderValue(sink, parts.method.Text());
  sink.Put(" ", 1);
  if (parts.path.IsSet()) {
    PutEscaped(sink, parts.path.Text(), PathByteNeedsEscape);
  } else {
    sink.Put("/", 1);
  }
  if (parts.query.IsSet()) {
    sink.Put("?", 1);
    PutEscaped(sink, parts.query.Text(), QueryByteNeedsEscape);
  }
  PutText(sink, " HTTP/1.0\r\n");
  for (int row = 0; row < kHeaderMapRows; ++row) {
    if (!parts.included[row]) continue;
    const char* value = row == kContentLengthRow && parts.bodyLengthText[0]
                            ? parts.bodyLengthText
                            : parts.values[row].Text();
    PutText(sink, kHeaderMap[row].header);
    sink.Put(": ", 2);
    PutHeaderValue(sink, value);
    sink.Put("\r\n", 2);
  }
  if (parts.hostForTarget) {
    char hostLine[kSettingTextSize + 32];
    if (parts.settings->targetPort == 80) {
      std::snprintf(hostLine, sizeof hostLine, "Host: %s\r\n", parts.settings->targetName);
    } else {
      std::snprintf(hostLine, sizeof hostLine, "Host: %s:%ld\r\n", parts.settings->targetName,
                    static_cast<long>(parts.settings->targetPort));
    }
    PutText(sink, hostLine);
  }
  sink.Put("\r\n", 2);
}

// Takes the method, path, query and body length of the browser's request.
// Returns false when the body is too large to be held.
bool TakeRequestLine(CgiForwarder& forwarder, ForwardMode mode, RequestParts& parts) {
  if (mode == ModeTargetTest) {
    parts.method = VariableCopy::Fixed("GET");
    parts.path = VariableCopy::Fixed("/");
    return true;
  }
  VariableCopy contentLength(forwarder, "CONTENT_LENGTH");
  parts.contentLengthSet = contentLength.IsSet();
  if (parts.contentLengthSet) parts.bodyLength = ParseContentLength(contentLength.Text());
  contentLength.Release();
  parts.method = VariableCopy(forwarder, "REQUEST_METHOD");
  parts.path = VariableCopy(forwarder, "PATH_INFO");
  parts.query = VariableCopy(forwarder, "QUERY_STRING");
  if (parts.query.IsSet() && parts.query.Text()[0] == '\0') parts.query.Release();
  return parts.bodyLength <= kMaxBodyLength;
}

}  // namespace

char* CgiForwarder::BuildRequest(int32_t* length, ForwardMode mode) {
  *length = 0;
  RequestParts parts;
  parts.settings = &settings_;
  parts.hostForTarget = mode != ModeEcho;
  if (!TakeRequestLine(*this, mode, parts) || !parts.method.IsSet()) return nullptr;

  // A chunked upload reaches a CGI program dechunked and without
  // CONTENT_LENGTH: read it to its end and declare the length we found.
  OwnedBuffer unframedBody;
  if (mode != ModeTargetTest && !parts.contentLengthSet &&
      VariableCopy(*this, "HTTP_TRANSFER_ENCODING").IsSet()) {
    int64_t read = 0;
    unframedBody.reset(ReadBodyToEnd(*this, &read));
    if (!unframedBody) return nullptr;
    parts.bodyLength = read;
    parts.body = unframedBody.get();
    std::snprintf(parts.bodyLengthText, sizeof parts.bodyLengthText, "%lld",
                  static_cast<long long>(read));
  }

  for (int row = 0; row < kHeaderMapRows; ++row) {
    if (row == kTransferEncodingRow) continue;  // the body sent is never chunked
    if (row == kHostRow && mode != ModeEcho) continue;
    if ((row == kContentLengthRow || row == kContentTypeRow) && parts.bodyLength == 0) continue;
    if (row == kContentLengthRow && parts.bodyLengthText[0]) {
      parts.included[row] = true;
      continue;
    }
    parts.values[row] = VariableCopy(*this, kHeaderMap[row].variable);
    parts.included[row] = parts.values[row].IsSet();
  }

  MeasureSink measure;
  ComposeHead(parts, measure);
  // A negative declared length reads nothing and must not shrink the buffer.
  uint64_t bodyBytes = parts.bodyLength > 0 ? static_cast<uint64_t>(parts.bodyLength) : 0;
  uint64_t total = measure.size + bodyBytes;
  if (total > static_cast<uint64_t>(INT32_MAX) - 2) return nullptr;
  char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(total) + 2));
  if (!buffer) return nullptr;
  OwnedBuffer request(buffer);

  BufferSink sink{buffer, buffer + measure.size};
  ComposeHead(parts, sink);
  size_t headLength = static_cast<size_t>(sink.at - buffer);
  char* bodyStart = sink.at;
  if (parts.body) {
    std::memcpy(bodyStart, parts.body, bodyBytes);
  } else if (bodyBytes > 0 && !ReadBodyExactly(*this, bodyStart, static_cast<int64_t>(bodyBytes))) {
    return nullptr;  // the body ended early: forwarding half of it helps nobody
  }
  size_t used = headLength + static_cast<size_t>(bodyBytes);
  buffer[used] = '\0';
  *length = static_cast<int32_t>(used);
  return request.release();
}
