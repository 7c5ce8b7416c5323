// The settings file's reader (POSIX): the whole file read once, the INI rules
// applied to it in memory (profile_text.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/profile.h"
#include "platform/profile_text.h"

namespace platform {

ProfileFile::ProfileFile(const char* path) {
  // O_NONBLOCK: opening a named pipe that nobody writes would otherwise wait
  // for ever; the check below then refuses anything but a regular file.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat info;
  // A settings file is a few hundred bytes; refuse to slurp anything absurd.
  constexpr off_t kMaxProfileSize = 1 << 20;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxProfileSize) {
    size_t capacity = static_cast<size_t>(info.st_size);
    text_.reset(static_cast<char*>(std::malloc(capacity + 1)));
    if (text_) {
      size_t total = 0;
      while (total < capacity) {
        ssize_t got = read(fd, text_.get() + total, capacity - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<size_t>(got);
      }
      text_.get()[total] = '\0';
      length_ = total;
    }
  }
  close(fd);
}

void ProfileFile::GetString(const char* section, const char* key, const char* fallback,
                            char* out, size_t size) const {
  if (size == 0) return;
  const char* value = fallback;
  size_t length = std::strlen(fallback);
  if (text_) FindProfileValue(text_.get(), length_, section, key, &value, &length);
  CopyProfileValue(value, length, out, size);
}

long ProfileFile::GetInteger(const char* section, const char* key, long fallback) const {
  const char* value = nullptr;
  size_t length = 0;
  long result = fallback;
  if (text_ && FindProfileValue(text_.get(), length_, section, key, &value, &length) &&
      ParseProfileInteger(value, length, &result)) {
    return result;
  }
  return fallback;
}

}  // namespace platform
