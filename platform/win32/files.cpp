// Files the gateway writes (Win32).
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/win32/system.h"
#include "platform/win32/wide_text.h"

namespace platform {

HANDLE OpenOwnFile(const char* path, DWORD access, bool inheritable) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, inheritable ? TRUE : FALSE};
  WideText widePath(path);
  if (!widePath.get()) return INVALID_HANDLE_VALUE;
  // FILE_READ_ATTRIBUTES: the check below queries the file's attributes, which
  // a handle opened for appending alone may not do on Windows.
  HANDLE file = CreateFileW(widePath.get(), access | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD refused = GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)
                      ? ERROR_INVALID_FUNCTION
                  : info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? ERROR_CANT_ACCESS_FILE
                  : info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY    ? ERROR_INVALID_FUNCTION
                                                                          : ERROR_SUCCESS;
  if (refused == ERROR_SUCCESS) return file;
  CloseHandle(file);
  SetLastError(refused);
  return INVALID_HANDLE_VALUE;
}

bool IsLinkRefused(long error) { return error == ERROR_CANT_ACCESS_FILE; }

namespace {

// A C stream on `file`, which it then owns; nullptr (the file closed) when
// none can be made.
FILE* StreamOn(HANDLE file, int flags, const char* mode) {
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, mode);
  if (!stream) _close(descriptor);
  return stream;
}

}  // namespace

FILE* OpenLogForAppending(const char* path) {
  HANDLE file = OpenOwnFile(path, FILE_APPEND_DATA, false);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // Text mode: each "\n" is stored as CR LF, as Windows programs expect.
  return StreamOn(file, _O_WRONLY | _O_APPEND | _O_TEXT, "a");
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
  return StreamOn(file, _O_RDWR | _O_BINARY, "w+b");
}

namespace {

bool WriteAndClose(HANDLE file, const char* bytes, size_t length) {
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool whole = WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) &&
               written == length;
  DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return whole;
}

}  // namespace

// FILE_APPEND_DATA alone: the system puts every write at the end of the file.
bool AppendToOwnFile(const char* path, const char* bytes, size_t length) {
  return WriteAndClose(OpenOwnFile(path, FILE_APPEND_DATA, false), bytes, length);
}

// Opened as every file of its own (no reparse point followed), then emptied.
bool WriteOwnFile(const char* path, const char* text) {
  HANDLE file = OpenOwnFile(path, GENERIC_WRITE, false);
  if (file != INVALID_HANDLE_VALUE && !SetEndOfFile(file)) {
    CloseHandle(file);
    return false;
  }
  return WriteAndClose(file, text, std::strlen(text));
}

int64_t ReadFileStart(const char* path, char* out, size_t size) {
  WideText widePath(path);
  HANDLE file = widePath.get() ? CreateFileW(widePath.get(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                               : INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) return -1;
  DWORD got = 0;
  bool read = GetFileType(file) == FILE_TYPE_DISK &&
              ReadFile(file, out, static_cast<DWORD>(size - 1), &got, nullptr);
  CloseHandle(file);
  if (!read) return -1;
  out[got] = '\0';
  return static_cast<int64_t>(got);
}

bool LookAtFile(const char* path, FileFacts* facts) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  WideText widePath(path);
  if (!widePath.get() || !GetFileAttributesExW(widePath.get(), GetFileExInfoStandard, &info)) {
    return false;
  }
  facts->size = static_cast<int64_t>(static_cast<uint64_t>(info.nFileSizeHigh) << 32 |
                                     info.nFileSizeLow);
  uint64_t ticks = static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                   info.ftLastWriteTime.dwLowDateTime;
  facts->modifiedMilliseconds = static_cast<int64_t>(ticks / 10000) - 11644473600000LL;
  facts->readableByEveryone = false;  // access lists, not a mode: not judged here
  return true;
}

bool RenameReplacing(const char* from, const char* to) {
  WideText wideFrom(from), wideTo(to);
  return wideFrom.get() && wideTo.get() &&
         MoveFileExW(wideFrom.get(), wideTo.get(), MOVEFILE_REPLACE_EXISTING) != 0;
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
