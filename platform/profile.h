// The settings file's reader.
#pragma once

#include <cstddef>

#include "base/owned_buffer.h"

namespace platform {

// An INI file: read once when opened (POSIX), or through the system's profile
// functions (Windows). Section and key names match without regard to case; an
// absent file reads as empty.
class ProfileFile {
 public:
  explicit ProfileFile(const char* path);
  ProfileFile(const ProfileFile&) = delete;
  ProfileFile& operator=(const ProfileFile&) = delete;

  // Copies the key's value, or `fallback` when the key is absent, into `out`,
  // cut to `size` - 1 characters.
  void GetString(const char* section, const char* key, const char* fallback,
                 char* out, size_t size) const;
  // The key's value as an integer, or `fallback` when the key is absent or its
  // value has no digits (blanks and a sign may come first; reading stops at
  // the first other character). Windows reads the number with its profile
  // functions: 32 bits, the low bits of a larger number kept.
  long GetInteger(const char* section, const char* key, long fallback) const;

 private:
  OwnedBuffer text_;  // whole file, NUL-terminated (POSIX)
  size_t length_ = 0;
  OwnedBuffer path_;  // the path as UTF-16 (Win32)
};

}  // namespace platform
