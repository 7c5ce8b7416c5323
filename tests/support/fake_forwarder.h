// A forwarder whose environment, input and output live in memory, and which
// knows every variable copy it handed out, so a test can tell a copy never
// given back from a text it never made.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "gateway/cgi_forwarder.h"

class FakeForwarder : public CgiForwarder {
 public:
  explicit FakeForwarder(ForwardSettings& settings) : CgiForwarder(settings) {}

  FakeForwarder& Set(const std::string& name, const std::string& value) {
    variables[name] = value;
    return *this;
  }

  int32_t ReadInput(char* buffer, int32_t count) override {
    size_t take = std::min(static_cast<size_t>(count), input.size() - inputOffset);
    if (maxReadSize > 0 && take > maxReadSize) take = maxReadSize;
    std::memcpy(buffer, input.data() + inputOffset, take);
    inputOffset += take;
    return static_cast<int32_t>(take);
  }
  int32_t WriteOutput(const char* buffer, int32_t count) override {
    if (count > 0) output.append(buffer, static_cast<size_t>(count));
    return count;
  }
  char* GetVariable(const char* name) override {
    auto found = variables.find(name);
    if (found == variables.end()) return nullptr;
    char* copy = static_cast<char*>(std::malloc(found->second.size() + 1));
    std::memcpy(copy, found->second.c_str(), found->second.size() + 1);
    live.insert(copy);
    return copy;
  }
  void FreeVariable(char* text) override {
    if (!text) return;
    if (live.erase(text) == 0) ++foreignFrees;
    std::free(text);
  }
  // Lists `variables` in the map's order; a name that does not fit comes back
  // empty, as the process environment's does.
  bool VariableNameAt(int32_t index, char* name, int32_t size) override {
    if (index < 0 || size <= 0 || static_cast<size_t>(index) >= variables.size()) return false;
    auto entry = std::next(variables.begin(), index);
    size_t length = entry->first.size() < static_cast<size_t>(size) ? entry->first.size() : 0;
    std::memcpy(name, entry->first.data(), length);
    name[length] = '\0';
    return true;
  }
  // True when every copy went back, and only copies went back.
  bool CopiesBalanced() const { return live.empty() && foreignFrees == 0; }

  std::map<std::string, std::string> variables;
  std::string input;
  size_t inputOffset = 0;
  size_t maxReadSize = 0;  // 0: reads return all that is asked for
  std::string output;
  std::set<char*> live;
  int foreignFrees = 0;
};

// Serves a GET with `settings` and returns what the browser got.
inline std::string ServeGet(ForwardSettings& settings) {
  FakeForwarder forwarder(settings);
  forwarder.Set("REQUEST_METHOD", "GET");
  forwarder.HandleRequest("1.0.0");
  return forwarder.output;
}

// The gateway's own page for a request that failed before anything was relayed.
inline const std::string kErrorPage =
    "HTTP/1.0 500 Internal Error\r\nContent-Type: text/html\r\nContent-length: 18\r\n\r\n"
    "<H2>CGI Error</H2>";

// Settings as a fresh settings file would give them, pointing at `port`.
inline ForwardSettings DefaultSettings(uint16_t port = 8080) {
  ForwardSettings settings;
  std::memset(&settings, 0, sizeof settings);
  std::strcpy(settings.targetName, "127.0.0.1");
  settings.targetPort = port;
  std::strcpy(settings.allowedPaths, "/");
  settings.timeoutSeconds = 300;
  settings.tlsVerify = 1;
  settings.diagnostics = 1;
  settings.relay = Relay::kAdaptive;
  settings.holdLimit = kDefaultHoldLimit;
  return settings;
}
