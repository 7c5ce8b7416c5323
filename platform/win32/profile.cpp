// The settings file's reader (Win32): the system's own profile functions read
// the file; they look for it on each call, through their cache.
#include <cstdlib>
#include <cstring>

#include "platform/profile.h"
#include "platform/profile_text.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

// The profile functions look for a bare file name in the Windows folder, not
// in the current one.
bool HasFolder(const char* path) {
  return std::strchr(path, '\\') || std::strchr(path, '/') || std::strchr(path, ':');
}

}  // namespace

// `path_` holds the path as UTF-16, the form the profile functions take.
ProfileFile::ProfileFile(const char* path) {
  if (!path || path[0] == '\0') return;
  WideText wide(path);
  if (!wide.get()) return;
  const wchar_t* prefix = HasFolder(path) ? L"" : L".\\";
  size_t prefixLength = wcslen(prefix), length = wcslen(wide.get());
  path_.reset(static_cast<char*>(std::malloc((prefixLength + length + 1) * sizeof(wchar_t))));
  if (!path_) return;
  auto* copy = reinterpret_cast<wchar_t*>(path_.get());
  std::memcpy(copy, prefix, prefixLength * sizeof(wchar_t));
  std::memcpy(copy + prefixLength, wide.get(), (length + 1) * sizeof(wchar_t));
}

void ProfileFile::GetString(const char* section, const char* key, const char* fallback,
                            char* out, size_t size) const {
  if (size == 0) return;
  if (!path_) return CopyProfileValue(fallback, std::strlen(fallback), out, size);
  // Read as UTF-16, the value may take `size` - 1 characters, each of which
  // takes up to three bytes as UTF-8 (a pair of surrogates, four): it is cut
  // to the room in `out` once it is UTF-8.
  DWORD limit = size > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(size);
  const auto* path = reinterpret_cast<const wchar_t*>(path_.get());
  WideText wideSection(section), wideKey(key), wideFallback(fallback);
  auto* value = static_cast<wchar_t*>(std::malloc(limit * sizeof(wchar_t)));
  if (!wideSection.get() || !wideKey.get() || !wideFallback.get() || !value) {
    std::free(value);
    return CopyProfileValue(fallback, std::strlen(fallback), out, size);
  }
  DWORD length = GetPrivateProfileStringW(wideSection.get(), wideKey.get(), wideFallback.get(),
                                          value, limit, path);
  Utf8Text(value, static_cast<int>(length)).CopyCut(out, size);
  std::free(value);
}

long ProfileFile::GetInteger(const char* section, const char* key, long fallback) const {
  if (!path_) return fallback;
  // The text decides whether there is a number at all: the profile functions
  // would read a value without digits as 0, where the key's default is the
  // sounder reading (and the one the POSIX side gives).
  char text[64];
  GetString(section, key, "", text, sizeof text);
  long ignored = 0;
  if (!ParseProfileInteger(text, std::strlen(text), &ignored)) return fallback;
  // The number itself is read the system's way: 32 bits, the low bits kept.
  WideText wideSection(section), wideKey(key);
  if (!wideSection.get() || !wideKey.get()) return fallback;
  UINT value = GetPrivateProfileIntW(wideSection.get(), wideKey.get(), static_cast<INT>(fallback),
                                     reinterpret_cast<const wchar_t*>(path_.get()));
  return static_cast<long>(static_cast<int32_t>(value));
}

}  // namespace platform
