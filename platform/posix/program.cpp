// The program itself (POSIX).
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "base/text.h"
#include "platform/program.h"

#ifndef NPH_GW_VERSION
#define NPH_GW_VERSION ""
#endif

namespace platform {

void StartProcess() {
  // A browser that goes away or a target that closes mid-send must show up as
  // a failed write, not kill the process before it exits with 0.
  signal(SIGPIPE, SIG_IGN);
}

void StopProcess() {}

void KeepMemoryBetweenRequests() {
#ifdef M_TRIM_THRESHOLD
  // Blocks of 1 MiB and more (a large held reply) still go back when freed.
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

bool GetProgramPath(const char* argv0, char* path, size_t size) {
  if (size == 0) return false;
  path[0] = '\0';
  // Web servers start a CGI program under its full path; keeping that path
  // (rather than resolving links) lets "nph-shop" linked to "nph-gw" read
  // nph-shop.ini.
  if (argv0 && argv0[0] == '/') return CopyText(path, size, argv0);
  if (argv0 && argv0[0] != '\0' && std::strchr(argv0, '/')) {
    char directory[4096];
    if (getcwd(directory, sizeof directory)) {
      size_t dirLength = std::strlen(directory);
      size_t nameLength = std::strlen(argv0);
      if (dirLength + 1 + nameLength < size) {
        std::memcpy(path, directory, dirLength);
        path[dirLength] = '/';
        std::memcpy(path + dirLength + 1, argv0, nameLength + 1);
        return true;
      }
    }
  }
  ssize_t length = readlink("/proc/self/exe", path, size - 1);
  if (length <= 0 || static_cast<size_t>(length) >= size - 1) {
    path[0] = '\0';
    return false;
  }
  path[length] = '\0';
  return true;
}

void GetProgramVersion(const char*, char* version, size_t size) {
  CopyText(version, size, NPH_GW_VERSION);
}

}  // namespace platform
