// The settings reader: the INI rules over arbitrary text, the integer reader
// against the C library's, and the whole loader on a real file.
#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/profile_text.h"
#include "settings/forward_settings.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// strtol over the same text: blanks, an optional sign, digits; saturates.
bool ReferenceInteger(const char* value, size_t length, long* result) {
  std::string text(value, length);
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  size_t sign = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  size_t end = i;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  std::string number = text.substr(sign, end - sign);
  errno = 0;
  *result = std::strtol(number.c_str(), nullptr, 10);
  return true;
}

void CheckInteger(const char* value, size_t length) {
  long got = 12345, expected = 0;
  bool found = platform::ParseProfileInteger(value, length, &got);
  bool expectedFound = ReferenceInteger(value, length, &expected);
  FUZZ_CHECK(found == expectedFound, "digits found as strtol finds them");
  if (found) FUZZ_CHECK(got == expected, "the same value as strtol, saturated alike");
  if (!found) FUZZ_CHECK(got == 12345, "no number leaves the result alone");
}

const char* const kKeys[] = {"TargetServer", "TargetPort", "Timeout", "Allowed",
                             "Forbidden", "DebugProcess", "Log"};

void CheckFind(const char* text, size_t length, const char* section, const char* key) {
  const char* value = nullptr;
  size_t valueLength = 0;
  if (!platform::FindProfileValue(text, length, section, key, &value, &valueLength)) return;
  FUZZ_CHECK(value >= text && value + valueLength <= text + length, "the value lies in the text");
  FUZZ_CHECK(std::memchr(value, '\n', valueLength) == nullptr, "a value is one line");
  if (valueLength > 0) {
    bool quoted = value > text && (value[-1] == '"' || value[-1] == '\'') &&
                  value + valueLength < text + length && value[valueLength] == value[-1];
    if (!quoted) {
      FUZZ_CHECK(!IsBlank(value[0]) && !IsBlank(value[valueLength - 1]), "values are trimmed");
    }
  }
  CheckInteger(value, valueLength);
}

bool Terminated(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

// A folder of our own for the settings file, made once.
const std::string& Folder() {
  static std::string folder = [] {
    char pattern[] = "/tmp/nph-fuzz-settings-XXXXXX";
    const char* made = mkdtemp(pattern);
    FUZZ_CHECK(made != nullptr, "a temporary folder");
    return std::string(made);
  }();
  return folder;
}

// Host names other than addresses would be looked up through the resolver:
// slow, and nothing of the reader's own.
bool NeedsResolver(const char* text, size_t length) {
  const char* value = nullptr;
  size_t valueLength = 0;
  if (!platform::FindProfileValue(text, length, "Forward", "TargetServer", &value, &valueLength)) {
    return false;
  }
  std::string name(value, valueLength < 255 ? valueLength : 255);
  name = name.c_str();  // the loader's copy stops at a NUL too
  struct in_addr address;
  return !name.empty() && name != "localhost" && inet_pton(AF_INET, name.c_str(), &address) != 1;
}

void CheckLoader(const char* text, size_t length) {
  if (NeedsResolver(text, length)) return;
  const std::string program = Folder() + "/nph-fuzz";
  const std::string profile = program + ".ini";
  FILE* file = std::fopen(profile.c_str(), "wb");
  FUZZ_CHECK(file != nullptr, "the settings file can be written");
  FUZZ_CHECK(std::fwrite(text, 1, length, file) == length, "the settings file is written whole");
  std::fclose(file);

  ForwardSettings settings;
  std::memset(&settings, 0xA5, sizeof settings);  // stale bytes must not survive
  LoadForwardSettings(program.c_str(), &settings);
  FUZZ_CHECK(Terminated(settings.targetName, sizeof settings.targetName), "target name ends");
  FUZZ_CHECK(Terminated(settings.allowedPaths, sizeof settings.allowedPaths), "allowed list ends");
  FUZZ_CHECK(Terminated(settings.forbiddenPaths, sizeof settings.forbiddenPaths), "forbidden list ends");
  FUZZ_CHECK(std::string(settings.logPath) == program + ".txt", "the log sits beside the program");
  FUZZ_CHECK(settings.logFile == nullptr, "the log is not opened by the loader");
  FUZZ_CHECK(settings.targetAddress != 0, "there is always an address");
  if (settings.targetAddress == 0x7F000001) {
    FUZZ_CHECK(std::strcmp(settings.targetName, "127.0.0.1") == 0, "loopback is named by its address");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  CheckInteger(text, size);
  for (const char* key : kKeys) CheckFind(text, size, "Forward", key);
  // A section and a key taken from the input itself, when it has a NUL to end them.
  const char* firstNul = static_cast<const char*>(std::memchr(text, '\0', size));
  if (firstNul) {
    const char* rest = firstNul + 1;
    size_t restSize = size - static_cast<size_t>(rest - text);
    const char* secondNul = static_cast<const char*>(std::memchr(rest, '\0', restSize));
    if (secondNul) {
      const char* ini = secondNul + 1;
      CheckFind(ini, size - static_cast<size_t>(ini - text), text, rest);
    }
  }
  CheckLoader(text, size);
  return 0;
}
