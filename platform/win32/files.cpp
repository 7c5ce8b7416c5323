// Files the gateway writes (Win32).
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/files.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

namespace platform {

FILE* OpenLogForAppending(const char* path) {
  // Text mode: each "\n" is stored as CR LF, as Windows programs expect.
  WideText widePath(path);
  return widePath.get() ? _wfopen(widePath.get(), L"a") : nullptr;
}

// The C runtime's tmpfile() puts its file in the drive's root, where the
// account a web server runs CGI programs as usually may not write.
FILE* OpenTemporaryFile() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"ngw", 0, path) == 0) {
    return nullptr;
  }
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileW(path);  // GetTempFileNameW made it
    return nullptr;
  }
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "w+b");
  if (!stream) _close(descriptor);
  return stream;
}

int64_t FileStamp(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  WideText widePath(path);
  if (!widePath.get() || !GetFileAttributesExW(widePath.get(), GetFileExInfoStandard, &info)) {
    return -1;
  }
  uint64_t stamp = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                    info.ftLastWriteTime.dwLowDateTime) ^
                   static_cast<uint64_t>(info.nFileSizeLow) << 40;
  return static_cast<int64_t>(stamp & INT64_MAX);
}

}  // namespace platform
