// The program itself (Win32): a console process on Windows Sockets 2.2 with
// the program's own version resource.
#include <cstring>

#include "base/text.h"
#include "platform/program.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

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

// The process heap keeps what is freed without being asked.
void KeepMemoryBetweenRequests() {}

bool GetProgramPath(const char*, char* path, size_t size) {
  // The module path is the file the web server started, whatever argv[0]
  // says; a copy named nph-shop.exe reads nph-shop.ini.
  if (size == 0) return false;
  path[0] = '\0';
  wchar_t wide[kModulePathLimit];
  DWORD length = GetModuleFileNameW(nullptr, wide, kModulePathLimit);
  // A full buffer means the path was cut (and, on older systems, not
  // terminated).
  if (length == 0 || length >= kModulePathLimit) return false;
  Utf8Text text(wide, static_cast<int>(length));
  return text.get() && CopyText(path, size, text.get());
}

void GetProgramVersion(const char* programPath, char* version, size_t size) {
  if (size == 0) return;
  version[0] = '\0';
  if (!programPath || programPath[0] == '\0') return;
  WideText path(programPath);
  DWORD ignored = 0;
  DWORD blockSize = path.get() ? GetFileVersionInfoSizeW(path.get(), &ignored) : 0;
  if (blockSize == 0) return;
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, blockSize);
  if (!block) return;
  void* info = static_cast<void*>(block);  // GMEM_FIXED: the handle is the address
  if (GetFileVersionInfoW(path.get(), 0, blockSize, info)) {
    wchar_t subBlock[] = L"\\StringFileInfo\\000004b0\\FileVersion";
    void* text = nullptr;
    UINT length = 0;  // in characters, the NUL included
    if (VerQueryValueW(info, subBlock, &text, &length) && text && length > 0) {
      const auto* value = static_cast<const wchar_t*>(text);
      Utf8Text(value, static_cast<int>(wcsnlen(value, length))).CopyCut(version, size);
    }
  }
  GlobalFree(block);
}

}  // namespace platform
