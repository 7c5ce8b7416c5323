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
#include <functional>
#include <set>
#include <string>

#include "forwarding/body_reader.h"
#include "fuzz/fuzz_check.h"
#include "gateway/owned.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"

namespace {

struct Case {
  uint8_t control = 0;
  std::map<std::string, std::string> variables;
  std::string body;
  std::string Get(const char* name) const {
    return variables.count(name) ? variables.at(name) : "";
  }
};

// A forwarder of its own with the case's settings, variables and body; the
// target's port is closed, so a forwarded request fails at once.
struct Fresh {
  explicit Fresh(const Case& c) : settings(DefaultSettings(Port())), forwarder(settings) {
    settings.forwardOtherHeaders = c.control & 1;
    settings.addForwardedHeaders = c.control & 2;
    settings.timeoutSeconds = settings.connectTimeoutSeconds = 1;
    for (auto [name, list] :
         {std::pair{"Allowed", settings.allowedPaths}, {"Forbidden", settings.forbiddenPaths}}) {
      if (c.variables.count(name)) std::snprintf(list, kSettingTextSize, "%s", c.Get(name).c_str());
    }
    forwarder.variables = c.variables;
    forwarder.input = c.body;
    forwarder.maxReadSize = c.control >> 2;
  }
  static uint16_t Port() {
    static const uint16_t port = UnusedPort();
    return port;
  }
  ForwardSettings settings;
  FakeForwarder forwarder;
};

bool IsIn(const char* set, char ch) { return ch && std::strchr(set, ch); }
bool IsAlnum(char ch) { return std::isalnum(static_cast<unsigned char>(ch)); }

void CheckRequest(const Case& c, const std::string& request) {
  const size_t blank = request.find("\r\n\r\n");
  const std::string line = request.substr(0, request.find("\r\n")),
                    method = c.Get("REQUEST_METHOD") + " ";
  FUZZ_CHECK(
      blank != std::string::npos && line.size() > method.size() + 9 && line.rfind(method, 0) == 0 &&
          line.compare(line.size() - 9, 9, " HTTP/1.0") == 0,
      "the request line is the method, a target and HTTP/1.0; the head ends with a blank line");
  const std::string target = line.substr(method.size(), line.size() - method.size() - 9);
  const size_t question = std::min(target.find('?'), target.size());
  std::string path;  // as the target decodes it
  for (size_t i = 0; i < question; ++i) {
    const bool escape = target[i] == '%' && i + 2 < question &&
                        IsIn("0123456789ABCDEF", target[i + 1]) &&
                        IsIn("0123456789ABCDEF", target[i + 2]);
    FUZZ_CHECK(escape || IsAlnum(target[i]) || IsIn("-._~!$&'()*+,;=:@/", target[i]),
               "the path carries raw only what RFC 3986 allows, the rest as %XX");
    path += escape ? static_cast<char>(std::stoi(target.substr(i + 1, 2), nullptr, 16)) : target[i];
    i += escape ? 2 : 0;
  }
  const std::string given = c.Get("PATH_INFO"),
                    query = target.substr(std::min(question + 1, target.size()));
  FUZZ_CHECK(
      path == (given.rfind("/", 0) == 0 ? given : "/" + given) &&
          c.Get("QUERY_STRING").empty() == (question == target.size()) &&
          std::all_of(query.begin(), query.end(), [](char ch) { return ch > 0x20 && ch < 0x7F; }),
      "the path is PATH_INFO; a query only for one, without blanks, controls or 8-bit bytes");
  static const std::set<std::string> kConnectionOrFraming = {
      "connection", "keep-alive",        "proxy-connection", "te",
      "trailer",    "transfer-encoding", "upgrade"};
  const std::string body = request.substr(blank + 4);
  std::set<std::string> names;
  for (size_t at = line.size() + 2, end; at < blank + 2; at = end + 2) {
    end = request.find("\r\n", at);
    const size_t colon = request.find(": ", at);
    std::string name = request.substr(at, std::min(colon, end) - at);
    const std::string value = request.substr(colon + 2, end - colon - 2);
    for (char& ch : name) ch = IsAlnum(ch) || IsIn("!#$%&'*+-.^_`|~", ch) ? std::tolower(ch) : '\n';
    FUZZ_CHECK(colon < end && !name.empty() && name.find('\n') == std::string::npos &&
                   value.find_first_of("\r\n") == std::string::npos && names.insert(name).second &&
                   !kConnectionOrFraming.count(name) &&
                   (name != "host" || value == "127.0.0.1:" + std::to_string(Fresh::Port())) &&
                   (name != "content-length" || value == std::to_string(body.size())),
               "each header once, a token, a colon and one line; none of the connection's or "
               "framing's; Host the target's, Content-Length the body's");
  }
  const std::string declared = c.Get("CONTENT_LENGTH");
  FUZZ_CHECK(names.count("host") && names.count("content-length") == !body.empty() &&
                 c.body.compare(0, body.size(), body) == 0 &&
                 (declared.empty() || declared.size() > 5 ||
                  declared.find_first_not_of("0123456789") != std::string::npos ||
                  body.size() == std::stoul(declared)),
             "the body is the input's, as long as declared");
}

bool Refused(const Case& c, const std::string& path) {
  Fresh fresh(c);
  fresh.forwarder.variables["PATH_INFO"] = path;
  fresh.forwarder.HandleRequest("1.0");
  FUZZ_CHECK(fresh.forwarder.CopiesBalanced(), "every variable copy handed back");
  return fresh.forwarder.output.rfind("HTTP/1.0 403 ", 0) == 0;
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
  c.control = data[0];
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t end; !text.empty() && (end = text.find('\0')) != 0;
       text.erase(0, std::min(end, text.size()) + 1)) {
    const std::string entry = text.substr(0, end), name = entry.substr(0, entry.find('='));
    c.variables[name] = entry.substr(std::min(name.size() + 1, entry.size()));
  }
  c.body = text.substr(std::min<size_t>(1, text.size()));
  // A declared body is allocated before it is read: keep the fuzzer's memory
  // small, while still trying lengths past the limit.
  const int64_t declared = ParseContentLength(c.Get("CONTENT_LENGTH").c_str());
  if (declared > (1 << 16) && declared <= kMaxBodyLength) return -1;

  Fresh fresh(c);
  int32_t length = 0;
  OwnedBuffer built(fresh.forwarder.BuildRequest(&length, ModeForward));
  FUZZ_CHECK(fresh.forwarder.CopiesBalanced() && fresh.forwarder.output.empty() &&
                 (built ? length > 0 && built.get()[length] == '\0' : length == 0),
             "building hands every copy back, writes nothing, and gives the request's length");
  if (built) CheckRequest(c, std::string(built.get(), static_cast<size_t>(length)));

  const std::string path = c.variables.count("PATH_INFO") ? c.Get("PATH_INFO") : "/";
  const std::string respelled = Respell(path, std::hash<std::string>()(c.body + path));
  if (respelled.rfind("/~~", 0) != 0 && Refused(c, path)) {
    FUZZ_CHECK(Refused(c, respelled), "a respelling of a refused path is refused too");
  }
  return 0;
}
