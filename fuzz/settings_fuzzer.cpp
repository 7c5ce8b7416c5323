// Fuzzed settings files: numbers read as strtol reads them, and the loader on
// a real file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/profile_text.h"
#include "settings/forward_settings.h"

namespace {

void CheckNumber(const char* text, size_t length) {
  const std::string copy(text, length);
  char* end = nullptr;
  const long expected = std::strtol(copy.c_str(), &end, 10);
  long got = 12345;
  const bool found = platform::ParseProfileInteger(text, length, &got);
  FUZZ_CHECK(found == (end != copy.c_str()) && got == (found ? expected : 12345),
             "a number reads as strtol reads it, saturated alike; none leaves the result alone");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  CheckNumber(text, size);
  const char* value = nullptr;
  size_t length = 0;
  // A name that is no address would go to the resolver: slow, and not the reader's.
  if (platform::FindProfileValue(text, size, "Forward", "TargetServer", &value, &length) &&
      std::string(value, length).find_first_not_of("0123456789.") != std::string::npos) {
    return 0;
  }
  static const std::string kProgram = [] {
    static char folder[] = "/tmp/nph-fuzz-settings-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder), "a folder for the settings file");
    std::atexit([] {
      std::remove((std::string(folder) + "/nph-gw.ini").c_str());
      rmdir(folder);
    });
    return std::string(folder) + "/nph-gw";
  }();
  FILE* file = std::fopen((kProgram + ".ini").c_str(), "wb");
  FUZZ_CHECK(file && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0,
             "a settings file");
  ForwardSettings settings;
  std::memset(&settings, 0xA5, sizeof settings);  // stale bytes must not survive
  LoadForwardSettings(kProgram.c_str(), &settings);
  FUZZ_CHECK(std::memchr(settings.targetName, '\0', kSettingTextSize) &&
                 std::memchr(settings.allowedPaths, '\0', kSettingTextSize) &&
                 std::memchr(settings.publicPath, '\0', kSettingTextSize) &&
                 settings.logPath == kProgram + ".txt" && !settings.logFile &&
                 settings.targetAddress,
             "every text ends within its field; the log beside the program, not yet open; an "
             "address to connect to");
  return 0;
}
