// Fuzzed settings files: numbers read as strtol reads them, and the loader on
// a real file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/profile_text.h"
#include "platform/program.h"
#include "settings/forward_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  char* end = nullptr;
  const long expected = std::strtol(text.c_str(), &end, 10);
  long got = 12345;
  const bool found = platform::ParseProfileInteger(text.data(), size, &got);
  FUZZ_CHECK(found == (end != text.c_str()) && got == (found ? expected : 12345),
             "a number reads as strtol reads it, saturated alike; none leaves the result alone");

  const char* value = nullptr;
  size_t length = 0;
  // A name that is no address would go to the resolver: slow, and not the reader's.
  if (platform::FindProfileValue(text.data(), size, "Forward", "TargetServer", &value, &length) &&
      std::string(value, length).find_first_not_of("0123456789.") != std::string::npos) {
    return 0;
  }
  // The settings file beside the fuzzer, as the program's is beside the program.
  static const std::string kProgram = [] {
    char path[kPathBufferSize];
    FUZZ_CHECK(platform::GetProgramPath(nullptr, path, sizeof path), "the fuzzer's own path");
    return std::string(path);
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
                 std::memchr(settings.targetHost, '\0', kSettingTextSize) &&
                 settings.targetName[0] && settings.holdLimit >= kMinHoldLimit &&
                 settings.holdLimit <= kMaxHoldLimit,
             "every text ends within its field; a name for the Host line; a hold limit in bounds");
  return 0;
}
