// What both sides share of the CGI channel: the environment's names, read from
// the C library's table of "NAME=value" entries.
#ifdef _WIN32
#include <cstdlib>
static char** EnvironmentTable() { return _environ; }
#else
#include <unistd.h>
static char** EnvironmentTable() { return environ; }
#endif

#include <cstring>

#include "platform/cgi_channel.h"

namespace platform {

bool EnvironmentNameAt(int32_t index, char* name, size_t size) {
  char** table = EnvironmentTable();
  if (index < 0 || size == 0 || !table) return false;
  for (int32_t i = 0; i < index; ++i) {
    if (!table[i]) return false;
  }
  const char* entry = table[index];
  if (!entry) return false;
  const char* equals = std::strchr(entry, '=');
  size_t length = equals ? static_cast<size_t>(equals - entry) : std::strlen(entry);
  if (length >= size) length = 0;
  std::memcpy(name, entry, length);
  name[length] = '\0';
  return true;
}

}  // namespace platform
