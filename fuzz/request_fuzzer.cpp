// Requests rebuilt from a fuzzed CGI environment and body: one request every
// target reads alike, and path lists that no respelling of a refused path gets
// past.
//
// Input: a control byte (bit 0 ForwardOtherHeaders, bit 1 AddForwardedHeaders,
// bits 2-7 the largest single read of the body, 0 for no limit), NAME=VALUE
// entries each ended by a NUL ("Allowed" and "Forbidden" set the lists), an
// empty entry, then the body.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "forwarding/body_reader.h"
#include "fuzz/fuzz_check.h"
#include "base/owned_buffer.h"
#include "tests/support/fake_forwarder.h"

namespace {

struct Case {
  // Nothing listens on port 1: a forwarded request fails at once.
  ForwardSettings settings = DefaultSettings(1);
  std::map<std::string, std::string> variables;
  std::string body;
  std::string Get(const char* name) const {
    return variables.count(name) ? variables.at(name) : "";
  }
};

bool IsVisible(char ch) { return ch > 0x20 && ch < 0x7F; }

// The request as a target reads it: its line, each header line, the body.
// (How a path and a query are escaped is the request table's subject.)
void CheckRequest(const Case& c, const std::string& request) {
  const std::string method = c.Get("REQUEST_METHOD") + " ";
  const size_t lineEnd = request.find("\r\n"), blank = request.find("\r\n\r\n");
  FUZZ_CHECK(
      request.rfind(method, 0) == 0 && lineEnd > method.size() + 9 &&
          request.compare(lineEnd - 9, 9, " HTTP/1.0") == 0 && blank != std::string::npos &&
          std::all_of(request.begin() + method.size(), request.begin() + lineEnd - 9, IsVisible),
      "the request line is the method, a target without blanks, controls or 8-bit bytes, "
      "and HTTP/1.0");
  // Headers that would change how the target frames this request or keeps its connection.
  static const std::set<std::string> kFraming = {"connection", "keep-alive", "proxy-connection",
                                                 "transfer-encoding", "upgrade"};
  const std::string body = request.substr(blank + 4);
  std::set<std::string> names;
  for (size_t at = lineEnd + 2, end; at < blank + 2; at = end + 2) {
    end = request.find("\r\n", at);
    const size_t colon = std::min(request.find(": ", at), end);
    std::string name = request.substr(at, colon - at), value = request.substr(colon, end - colon);
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    FUZZ_CHECK(colon < end && !name.empty() && std::all_of(name.begin(), name.end(), IsVisible) &&
                   name.find(':') == std::string::npos &&
                   value.find_first_of("\r\n") == std::string::npos && names.insert(name).second &&
                   !kFraming.count(name) &&
                   (name != "content-length" || value == ": " + std::to_string(body.size())),
               "each header once, on one line; none of the framing's; Content-Length the body's");
  }
  FUZZ_CHECK(names.count("content-length") == !body.empty() && c.body.rfind(body, 0) == 0,
             "the body is the input's");
}

bool Refused(Case& c, const std::string& path) {
  FakeForwarder forwarder(c.settings);
  forwarder.variables = c.variables;
  forwarder.variables["PATH_INFO"] = path;
  forwarder.HandleRequest("1.0");
  return forwarder.output.rfind("HTTP/1.0 403 ", 0) == 0;
}

// The same path as a lenient target reads it: "\" for "/", ";" parameters,
// empty, "." and ".." segments, letter case, no leading "/" (the request line
// gets one).
std::string Respell(const std::string& path, size_t seed) {
  static const char* const kSeparators[] = {"/", "\\", "//", "/./", "/x/../", "/;p/", ";p/"};
  std::string out;
  for (char ch : path) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    const bool flip = (seed >> 40) & 1 && std::isalpha(static_cast<unsigned char>(ch));
    out += ch == '/' ? kSeparators[(seed >> 33) % 7] : std::string(1, flip ? ch ^ 0x20 : ch);
  }
  return (seed >> 50) % 4 == 0 && out.rfind("/", 0) == 0 ? out.substr(1) : out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Case c;
  c.settings.forwardOtherHeaders = data[0] & 1;
  c.settings.addForwardedHeaders = data[0] & 2;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t end; !text.empty() && (end = text.find('\0')) != 0;
       text.erase(0, std::min(end, text.size()) + 1)) {
    const std::string entry = text.substr(0, end), name = entry.substr(0, entry.find('='));
    c.variables[name] = entry.substr(std::min(name.size() + 1, entry.size()));
  }
  c.body = text.substr(std::min<size_t>(1, text.size()));
  for (auto [name, list] :
       {std::pair{"Allowed", c.settings.allowedPaths}, {"Forbidden", c.settings.forbiddenPaths}}) {
    if (c.variables.count(name)) std::snprintf(list, kSettingTextSize, "%s", c.Get(name).c_str());
  }
  // A declared body is allocated before it is read: keep the fuzzer's memory
  // small, while still trying lengths past the limit.
  const int64_t declared = ParseContentLength(c.Get("CONTENT_LENGTH").c_str());
  if (declared > (1 << 16) && declared <= kMaxBodyLength) return -1;

  FakeForwarder forwarder(c.settings);
  forwarder.variables = c.variables;
  forwarder.input = c.body;
  forwarder.maxReadSize = data[0] >> 2;
  int32_t length = 0;
  OwnedBuffer built(forwarder.BuildRequest(&length, ModeForward));
  if (built) CheckRequest(c, std::string(built.get(), static_cast<size_t>(length)));

  const std::string path = c.variables.count("PATH_INFO") ? c.Get("PATH_INFO") : "/";
  const std::string respelled = Respell(path, std::hash<std::string>()(c.body + path));
  if (respelled.rfind("/~~", 0) != 0 && Refused(c, path)) {
    FUZZ_CHECK(Refused(c, respelled), "a respelling of a refused path is refused too");
  }
  return 0;
}
