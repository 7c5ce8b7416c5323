// The settings file's reader (Win32): the system's own profile functions read
// the file; they look for it on each call, through their cache.
#include <cstdlib>
#include <cstring>

#include "platform/profile.h"
#include "platform/profile_text.h"
#include "platform/win32/system.h"

namespace platform {
namespace {

// The profile functions look for a bare file name in the Windows folder, not
// in the current one.
bool HasFolder(const char* path) {
  return std::strchr(path, '\\') || std::strchr(path, '/') || std::strchr(path, ':');
}

}  // namespace

ProfileFile::ProfileFile(const char* path) {
  if (!path) return;
  size_t length = std::strlen(path);
  if (length == 0) return;
  const char* prefix = HasFolder(path) ? "" : ".\\";
  size_t prefixLength = std::strlen(prefix);
  path_.reset(static_cast<char*>(std::malloc(prefixLength + length + 1)));
  if (!path_) return;
  std::memcpy(path_.get(), prefix, prefixLength);
  std::memcpy(path_.get() + prefixLength, path, length + 1);
}

void ProfileFile::GetString(const char* section, const char* key, const char* fallback,
                            char* out, size_t size) const {
  if (size == 0) return;
  if (!path_) return CopyProfileValue(fallback, std::strlen(fallback), out, size);
  DWORD limit = size > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(size);
  GetPrivateProfileStringA(section, key, fallback, out, limit, path_.get());
}

long ProfileFile::GetInteger(const char* section, const char* key, long fallback) const {
  if (!path_) return fallback;
  // The text decides whether there is a number at all: the profile functions
  // would read a value without digits as 0, where the key's default is the
  // sounder reading (and the one the POSIX side gives).
  char text[64];
  GetPrivateProfileStringA(section, key, "", text, sizeof text, path_.get());
  long ignored = 0;
  if (!ParseProfileInteger(text, std::strlen(text), &ignored)) return fallback;
  // The number itself is read the system's way: 32 bits, the low bits kept.
  UINT value = GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), path_.get());
  return static_cast<long>(static_cast<int32_t>(value));
}

}  // namespace platform
