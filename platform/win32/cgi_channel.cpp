// The CGI channel (Win32): standard input and output, and the environment.
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "platform/cgi_channel.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

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

namespace {

// The environment as UTF-8 "NAME=value" entries, made from the system's own
// (UTF-16) block at the first look-up. The C library's narrow copy went
// through the ANSI code page: "/café" arrived as one byte 0xE9, and any
// character outside the code page as '?'. The gateway never changes its own
// environment, so the one copy serves the whole run.
struct Environment {
  bool made;
  char** entries;  // `count` entries, then nullptr
  size_t count;
};
Environment environment;  // zero-initialised: no start-up work

void MakeEnvironment() {
  environment.made = true;
  wchar_t* block = GetEnvironmentStringsW();
  if (!block) return;
  // The block is "NAME=value\0" entries and a final "\0": converted whole, its
  // NULs stay where they are.
  size_t units = 0, count = 0;
  while (block[units] != L'\0') {
    units += wcslen(block + units) + 1;
    ++count;
  }
  Utf8Text text(block, static_cast<int>(units));
  FreeEnvironmentStringsW(block);
  size_t size = text.size();
  char* entries = text.Release();
  auto** table = static_cast<char**>(std::malloc((count + 1) * sizeof(char*)));
  if (!entries || !table) {
    std::free(entries);
    std::free(table);
    return;
  }
  size_t at = 0;
  for (size_t i = 0; i < count && at < size; ++i) {
    table[environment.count++] = entries + at;
    at += std::strlen(entries + at) + 1;
  }
  table[environment.count] = nullptr;
  environment.entries = table;
}

// Where the name of `entry` ends: at its first '=' but a leading one (the
// system keeps the current folder of each drive as "=C:=C:\\dir").
const char* NameEnd(const char* entry) {
  const char* equals = std::strchr(entry[0] == '=' ? entry + 1 : entry, '=');
  return equals ? equals : entry + std::strlen(entry);
}

}  // namespace

// Names match without regard to case, as the system matches them.
const char* FindEnvironmentVariable(const char* name) {
  if (!environment.made) MakeEnvironment();
  size_t length = std::strlen(name);
  for (size_t i = 0; i < environment.count; ++i) {
    const char* entry = environment.entries[i];
    const char* end = NameEnd(entry);
    if (static_cast<size_t>(end - entry) == length && *end == '=' &&
        StartsWithNoCase(entry, name, length)) {
      return end + 1;
    }
  }
  return nullptr;
}

bool EnvironmentNameAt(int32_t index, char* name, size_t size) {
  if (!environment.made) MakeEnvironment();
  if (index < 0 || size == 0 || static_cast<size_t>(index) >= environment.count) return false;
  const char* entry = environment.entries[index];
  size_t length = static_cast<size_t>(NameEnd(entry) - entry);
  if (length >= size) length = 0;
  std::memcpy(name, entry, length);
  name[length] = '\0';
  return true;
}

}  // namespace platform
