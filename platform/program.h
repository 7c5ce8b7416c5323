// The program itself: the process's set-up and tear-down, its own path and
// its version.
//
// platform/ is the one seam between the gateway and the operating system:
// each header here names one concern, implemented side by side in posix/ and
// win32/ under the same file name (TLS in tls/).
#pragma once

#include <cstddef>

namespace platform {

// Prepares the process: starts the socket library, and makes a closed pipe or
// socket an error return instead of a fatal signal. Call once, first.
void StartProcess();
// Undoes StartProcess (stops the socket library).
void StopProcess();
// For a process that serves request after request: the memory a request
// frees is kept for the next one, up to a few MiB, instead of being handed
// back to the system and asked for again each time.
void KeepMemoryBetweenRequests();

// Writes the program's own full path into `path` (always NUL-terminated).
// `argv0` is the name the program was started under; a platform that can ask
// the system for the module path ignores it. Returns false when no path fits.
bool GetProgramPath(const char* argv0, char* path, size_t size);

// Copies the program's version text into `version` (NUL-terminated, empty when
// there is none).
void GetProgramVersion(const char* programPath, char* version, size_t size);

}  // namespace platform
