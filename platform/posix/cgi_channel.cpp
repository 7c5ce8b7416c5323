// The CGI channel (POSIX): standard input and output, and the environment.
#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "platform/cgi_channel.h"

namespace platform {

int32_t ReadStandardInput(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer, static_cast<size_t>(count));
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno != EINTR) return 0;
  }
}

int32_t WriteStandardOutput(const char* buffer, int32_t count) {
  int32_t written = 0;
  while (written < count) {
    ssize_t put = write(STDOUT_FILENO, buffer + written, static_cast<size_t>(count - written));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    written += static_cast<int32_t>(put);
  }
  return written;
}

namespace {

// The gateway looks up some sixty variables per request, most of them absent;
// a hash index over the environment, made at the first lookup, saves scanning
// it for each. Slots hold positions in `environ`, read afresh and checked at
// each lookup; an environment that changed shape is indexed again.
constexpr size_t kIndexSlots = 512;
struct EnvironmentIndex {
  char** table;  // the environ the index was made for
  size_t count;  // its number of entries
  bool usable;
  int32_t slots[kIndexSlots];  // position in environ + 1; 0 = empty
};
EnvironmentIndex environmentIndex;  // zero-initialised: no start-up work

bool IndexIsCurrent() {
  const EnvironmentIndex& index = environmentIndex;
  return index.table && index.table == environ && index.table[index.count] == nullptr &&
         (index.count == 0 || index.table[index.count - 1] != nullptr);
}

void BuildEnvironmentIndex() {
  EnvironmentIndex& index = environmentIndex;
  std::memset(index.slots, 0, sizeof index.slots);
  index.table = environ;
  index.count = 0;
  index.usable = false;
  if (!environ) return;
  while (environ[index.count]) ++index.count;
  if (index.count > kIndexSlots / 2) return;  // too crowded to pay: use getenv
  for (size_t i = 0; i < index.count; ++i) {
    const char* equals = std::strchr(environ[i], '=');
    if (!equals) continue;
    size_t slot = HashName(environ[i], static_cast<size_t>(equals - environ[i])) % kIndexSlots;
    while (index.slots[slot] != 0) slot = (slot + 1) % kIndexSlots;
    index.slots[slot] = static_cast<int32_t>(i + 1);
  }
  index.usable = true;
}

}  // namespace

const char* FindEnvironmentVariable(const char* name) {
  if (!IndexIsCurrent()) BuildEnvironmentIndex();
  if (!environmentIndex.usable) return getenv(name);
  size_t length = std::strlen(name);
  size_t slot = HashName(name, length) % kIndexSlots;
  for (; environmentIndex.slots[slot] != 0; slot = (slot + 1) % kIndexSlots) {
    const char* entry = environ[environmentIndex.slots[slot] - 1];
    if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return entry + length + 1;
  }
  return nullptr;
}

bool EnvironmentNameAt(int32_t index, char* name, size_t size) {
  if (index < 0 || size == 0 || !environ) return false;
  for (int32_t i = 0; i < index; ++i) {
    if (!environ[i]) return false;
  }
  const char* entry = environ[index];
  if (!entry) return false;
  const char* equals = std::strchr(entry, '=');
  size_t length = equals ? static_cast<size_t>(equals - entry) : std::strlen(entry);
  if (length >= size) length = 0;
  std::memcpy(name, entry, length);
  name[length] = '\0';
  return true;
}

}  // namespace platform
