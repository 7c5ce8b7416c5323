// Request rebuilding from arbitrary CGI variables and body, in every mode, and
// the echo page that shows the rebuilt request.
//
// Input: a control byte (bits 0-1 the mode; bits 2-6 the largest single read
// of the body, 0 for no limit; bit 7 leaves REQUEST_METHOD unset unless the
// input sets it), then variables as [name index][value length][value bytes]
// until an index of 255 or the input runs short; the rest is the body.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "forwarding/body_reader.h"
#include "forwarding/header_map.h"
#include "fuzz/fuzz_check.h"
#include "gateway/owned.h"
#include "tests/support/fake_forwarder.h"

namespace {

// The Content-Length line must be the plain decimal of the body sent, whatever
// CONTENT_LENGTH said ("+5", " 5", "5abc", "-5").
constexpr bool kCanonicalContentLength = true;

const char* const kExtraVariables[] = {"REQUEST_METHOD", "PATH_INFO", "QUERY_STRING"};
constexpr int kVariableCount = kHeaderMapRows + 3;

const char* VariableName(int index) {
  return index < kHeaderMapRows ? kHeaderMap[index].variable : kExtraVariables[index - kHeaderMapRows];
}

struct Case {
  ForwardMode mode = ModeForward;
  size_t maxRead = 0;
  std::map<std::string, std::string> variables;
  std::string body;
};

bool Parse(const uint8_t* data, size_t size, Case* out) {
  if (size == 0) return false;
  static const ForwardMode kModes[] = {ModeForward, ModeEcho, ModeTargetTest, ModeForward};
  out->mode = kModes[data[0] & 3];
  out->maxRead = (data[0] >> 2) & 0x1F;
  if (!(data[0] & 0x80)) out->variables["REQUEST_METHOD"] = "GET";
  size_t at = 1;
  while (at + 2 <= size && data[at] != 255) {
    int index = data[at] % kVariableCount;
    size_t length = data[at + 1];
    at += 2;
    if (length > size - at) length = size - at;
    std::string value(reinterpret_cast<const char*>(data + at), length);
    out->variables[VariableName(index)] = value.c_str();  // the environment holds C strings
    at += length;
  }
  if (at < size && data[at] == 255) ++at;
  out->body.assign(reinterpret_cast<const char*>(data + at), size - at);
  return true;
}

void Load(const Case& c, FakeForwarder& forwarder) {
  forwarder.variables = c.variables;
  forwarder.input = c.body;
  forwarder.maxReadSize = c.maxRead;
}

const std::string* Find(const Case& c, const char* name) {
  auto found = c.variables.find(name);
  return found == c.variables.end() ? nullptr : &found->second;
}

// A value as it must stand in a header line.
std::string Clean(const std::string& value) {
  std::string out = value;
  for (char& ch : out) {
    if (ch == '\r' || ch == '\n') ch = ' ';
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

bool Unsafe(unsigned char c) { return c <= 0x20 || c == 0x7F || c >= 0x80; }

void CheckRequest(const Case& c, const char* built, int32_t length) {
  const std::string request(built, static_cast<size_t>(length));
  FUZZ_CHECK(built[length] == '\0', "a NUL follows the request");
  size_t headEnd = request.find("\r\n\r\n");
  FUZZ_CHECK(headEnd != std::string::npos, "the head ends with a blank line");
  const std::string head = request.substr(0, headEnd + 2);
  const std::string body = request.substr(headEnd + 4);

  std::vector<std::string> lines;
  for (size_t start = 0; start < head.size();) {
    size_t end = head.find("\r\n", start);
    std::string line = head.substr(start, end - start);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "no bare CR or LF in the head");
    lines.push_back(line);
    start = end + 2;
  }

  // The request line.
  const std::string& first = lines[0];
  const std::string suffix = " HTTP/1.0";
  FUZZ_CHECK(first.size() > suffix.size() && first.compare(first.size() - suffix.size(), suffix.size(), suffix) == 0,
             "the request line names HTTP/1.0");
  if (c.mode == ModeTargetTest) {
    FUZZ_CHECK(first == "GET / HTTP/1.0", "the probe is GET /");
  } else {
    const std::string method = Clean(*Find(c, "REQUEST_METHOD")) + " ";
    FUZZ_CHECK(first.compare(0, method.size(), method) == 0, "the method starts the line");
    std::string target = first.substr(method.size(), first.size() - method.size() - suffix.size());
    size_t question = target.find('?');
    std::string path = target.substr(0, question);
    for (char ch : target) FUZZ_CHECK(!Unsafe(static_cast<unsigned char>(ch)), "no blank or control byte in the target");
    FUZZ_CHECK(path.find('#') == std::string::npos, "no fragment mark in the path");
    const std::string* pathInfo = Find(c, "PATH_INFO");
    std::string decoded;
    FUZZ_CHECK(Decode(path, &decoded), "the path is well escaped");
    FUZZ_CHECK(decoded == (pathInfo ? *pathInfo : "/"), "the path decodes to PATH_INFO");
    const std::string* query = Find(c, "QUERY_STRING");
    if (query && !query->empty()) {
      FUZZ_CHECK(question != std::string::npos, "a query follows a question mark");
      size_t expectedLength = 0;
      for (unsigned char ch : *query) expectedLength += Unsafe(ch) ? 3 : 1;
      FUZZ_CHECK(target.size() - question - 1 == expectedLength, "the query keeps its safe bytes");
    } else {
      FUZZ_CHECK(question == std::string::npos, "no query, no question mark");
    }
  }

  // The header lines.
  std::map<std::string, std::string> headers;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(": ");
    FUZZ_CHECK(colon != std::string::npos, "a header line is name, colon, value");
    std::string name = lines[i].substr(0, colon);
    FUZZ_CHECK(headers.count(name) == 0, "each header once");
    headers[name] = lines[i].substr(colon + 2);
  }
  FUZZ_CHECK(headers.count("Transfer-Encoding") == 0, "the body sent is never chunked");
  if (c.mode == ModeEcho) {
    const std::string* server = Find(c, "SERVER_NAME");
    FUZZ_CHECK(server ? headers["Host"] == Clean(*server) : headers.count("Host") == 0,
               "echo shows the web server's own name as Host");
  } else {
    FUZZ_CHECK(lines.back() == "Host: 127.0.0.1:8080", "the last line names the target");
  }
  for (int row = 0; row < kHeaderMapRows; ++row) {
    if (std::strcmp(kHeaderMap[row].header, "Host") == 0) continue;
    if (std::strcmp(kHeaderMap[row].header, "Content-Length") == 0) continue;
    if (std::strcmp(kHeaderMap[row].header, "Transfer-Encoding") == 0) continue;
    const std::string* value = Find(c, kHeaderMap[row].variable);
    auto line = headers.find(kHeaderMap[row].header);
    if (line == headers.end()) continue;
    FUZZ_CHECK(c.mode != ModeTargetTest || std::strcmp(kHeaderMap[row].header, "Content-Type") != 0,
               "the probe sends no body");
    FUZZ_CHECK(value && line->second == Clean(*value), "a header carries its variable");
  }

  // The body.
  const std::string* contentLength = Find(c, "CONTENT_LENGTH");
  bool chunked = c.mode != ModeTargetTest && !contentLength && Find(c, "HTTP_TRANSFER_ENCODING");
  std::string expectedBody;
  if (chunked) {
    expectedBody = c.body;
  } else if (c.mode != ModeTargetTest && contentLength) {
    int64_t declared = ParseContentLength(contentLength->c_str());
    if (declared > 0) expectedBody = c.body.substr(0, static_cast<size_t>(declared));
  }
  FUZZ_CHECK(body == expectedBody, "the body is the input's declared bytes");
  auto lengthLine = headers.find("Content-Length");
  if (chunked && !body.empty()) {
    FUZZ_CHECK(lengthLine != headers.end() && lengthLine->second == std::to_string(body.size()),
               "a dechunked body is sent with its length");
  } else if (chunked) {
    FUZZ_CHECK(lengthLine == headers.end(), "an empty dechunked body sends no length");
  } else if (kCanonicalContentLength) {
    if (body.empty()) {
      FUZZ_CHECK(lengthLine == headers.end(), "no body, no length");
    } else {
      FUZZ_CHECK(lengthLine != headers.end() && lengthLine->second == std::to_string(body.size()),
                 "the length sent is the body's");
    }
  } else if (!body.empty()) {
    FUZZ_CHECK(lengthLine != headers.end() &&
                   ParseContentLength(lengthLine->second.c_str()) == static_cast<int64_t>(body.size()),
               "the length sent reads as the body's");
  }
}

void CheckEcho(const Case& c) {
  ForwardSettings settings = DefaultSettings();
  // The page shows the request built with PATH_INFO "/~~echo".
  Case echoed = c;
  echoed.variables["PATH_INFO"] = "/~~echo";
  FakeForwarder builder(settings);
  Load(echoed, builder);
  int32_t length = 0;
  OwnedBuffer built(builder.BuildRequest(&length, ModeEcho));

  FakeForwarder page(settings);
  Load(echoed, page);
  page.HandleRequest("1.0");
  FUZZ_CHECK(page.outstandingCopies == 0, "every variable copy handed back");
  std::string expected;
  if (built && length != 0) {
    std::string body(built.get());  // the page's body ends at the first NUL
    expected = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
  } else {
    expected = "HTTP/1.0 500 Internal Error\r\nContent-Type: text/plain\r\nContent-length: 11\r\n\r\nTest failed";
  }
  FUZZ_CHECK(page.output == expected, "the echo page is one response showing the request");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Case c;
  if (!Parse(data, size, &c)) return 0;
  const std::string* contentLength = Find(c, "CONTENT_LENGTH");
  if (contentLength) {
    // A large declared length is allocated before the body is read: keep the
    // fuzzer's memory small, while still trying lengths past the limit.
    int64_t declared = ParseContentLength(contentLength->c_str());
    if (declared > (1 << 16) && declared <= kMaxBodyLength) return -1;
  }

  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  Load(c, forwarder);
  int32_t length = -1;
  OwnedBuffer built(forwarder.BuildRequest(&length, c.mode));
  FUZZ_CHECK(forwarder.outstandingCopies == 0, "every variable copy handed back");
  FUZZ_CHECK(forwarder.output.empty(), "building writes nothing");

  bool methodSet = c.mode == ModeTargetTest || Find(c, "REQUEST_METHOD");
  bool bodyFits = true;
  if (c.mode != ModeTargetTest && contentLength) {
    int64_t declared = ParseContentLength(contentLength->c_str());
    bodyFits = declared <= kMaxBodyLength && declared <= static_cast<int64_t>(c.body.size());
  }
  if (built) {
    FUZZ_CHECK(length > 0, "a request has a length");
    FUZZ_CHECK(methodSet && bodyFits, "built only when it can be");
    CheckRequest(c, built.get(), length);
  } else {
    FUZZ_CHECK(length == 0, "no request, no length");
    FUZZ_CHECK(!methodSet || !bodyFits, "a request that can be built is built");
  }
  if (c.mode == ModeEcho) CheckEcho(c);
  return 0;
}
