// The CGI channel (Win32): standard input and output, and the environment.
#include <cstdlib>
#include <cstring>

#include "platform/cgi_channel.h"
#include "platform/win32/system.h"

namespace platform {

int32_t ReadStandardInput(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) return 0;
  DWORD got = 0;
  // A pipe whose writer has gone fails with ERROR_BROKEN_PIPE: that is the end.
  if (!ReadFile(input, buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
  return static_cast<int32_t>(got);
}

int32_t WriteStandardOutput(const char* buffer, int32_t count) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return 0;
  int32_t written = 0;
  while (written < count) {
    DWORD put = 0;
    if (!WriteFile(output, buffer + written, static_cast<DWORD>(count - written), &put,
                   nullptr) ||
        put == 0) {
      break;
    }
    written += static_cast<int32_t>(put);
  }
  return written;
}

// The C library's copy of the environment, which matches names without
// regard to case as the system does.
const char* FindEnvironmentVariable(const char* name) { return std::getenv(name); }

}  // namespace platform
