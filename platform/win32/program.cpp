// The program itself (Win32): a console process on Windows Sockets 2.2 with
// the program's own version resource.
#include <cstring>

#include "platform/program.h"
#include "platform/win32/system.h"

namespace platform {
namespace {

// The most the module path may take, its NUL included.
constexpr DWORD kModulePathLimit = 4095;

}  // namespace

void StartProcess() {
  // Version 2.2, for the name lookup of IPv6 and IPv4 alike (getaddrinfo);
  // the result shows up as failing socket calls, which are logged where they
  // happen.
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

void StopProcess() { WSACleanup(); }

bool GetProgramPath(const char*, char* path, size_t size) {
  // The module path is the file the web server started, whatever argv[0]
  // says; a copy named nph-shop.exe reads nph-shop.ini.
  if (size == 0) return false;
  path[0] = '\0';
  DWORD limit = size > kModulePathLimit ? kModulePathLimit : static_cast<DWORD>(size);
  DWORD length = GetModuleFileNameA(nullptr, path, limit);
  // A full buffer means the path was cut (and, on older systems, not
  // terminated).
  if (length == 0 || length >= limit) {
    path[0] = '\0';
    return false;
  }
  path[length] = '\0';
  return true;
}

void GetProgramVersion(const char* programPath, char* version, size_t size) {
  if (size == 0) return;
  version[0] = '\0';
  if (!programPath || programPath[0] == '\0') return;
  DWORD ignored = 0;
  DWORD blockSize = GetFileVersionInfoSizeA(programPath, &ignored);
  if (blockSize == 0) return;
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, blockSize);
  if (!block) return;
  void* info = static_cast<void*>(block);  // GMEM_FIXED: the handle is the address
  if (GetFileVersionInfoA(programPath, 0, blockSize, info)) {
    char subBlock[] = "\\StringFileInfo\\000004b0\\FileVersion";
    void* text = nullptr;
    UINT length = 0;
    if (VerQueryValueA(info, subBlock, &text, &length) && text && length > 0) {
      size_t count = length;
      if (count > size - 1) count = size - 1;
      std::memcpy(version, text, count);
      version[count] = '\0';
    }
  }
  GlobalFree(block);
}

}  // namespace platform
