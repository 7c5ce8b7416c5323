// The one seam between the gateway and the operating system.
//
// Everything the gateway asks of the system goes through these functions:
// the CGI channel (standard streams, environment), the program's own path and
// version, a TCP client socket, a clock and the settings-file reader.
// platform_posix.cpp and platform_win32.cpp implement them side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

// Process ----------------------------------------------------------------

// Prepares the process: starts the socket library, and makes a closed pipe or
// socket an error return instead of a fatal signal. Call once, first.
void StartProcess();
// Undoes StartProcess (stops the socket library).
void StopProcess();

// Writes the program's own full path into `path` (always NUL-terminated).
// `argv0` is the name the program was started under; a platform that can ask
// the system for the module path ignores it. Returns false when no path fits.
bool GetProgramPath(const char* argv0, char* path, size_t size);

// Copies the program's version text into `version` (NUL-terminated, empty when
// there is none).
void GetProgramVersion(const char* programPath, char* version, size_t size);

// A socket of the system's socket layer.
using SocketHandle = intptr_t;
constexpr SocketHandle kNoSocket = -1;

// CGI channel --------------------------------------------------------------

// One read of at most `count` bytes from standard input; 0 at end or on error.
int32_t ReadStandardInput(char* buffer, int32_t count);
// Writes all `count` bytes to standard output, retrying short writes; returns
// the number written (less than `count` only when the output failed).
int32_t WriteStandardOutput(const char* buffer, int32_t count);
// The value of an environment variable, or nullptr when it is not set. The
// text belongs to the environment: copy it before keeping it.
const char* FindEnvironmentVariable(const char* name);
// Copies the name of the `index`th environment variable (from 0) into `name`.
// Returns false past the last one; a name that does not fit comes back empty.
bool EnvironmentNameAt(int32_t index, char* name, size_t size);

// FastCGI: a web server that keeps the program running hands it a listening
// socket as standard input. True when standard input is one (it has a local
// address and no peer); a pipe or a connected socket, as CGI has, is not.
bool StandardInputIsListener();
// Waits for the next connection on that socket; kNoSocket when it is closed.
SocketHandle AcceptOnStandardInput();

// Opens a log file for appending as text (created when missing), or returns
// nullptr. Anything but a regular file is refused: a named pipe nobody reads
// must not keep the gateway waiting.
FILE* OpenLogForAppending(const char* path);

// A new binary file for reading and writing in the system's temporary folder,
// removed when it is closed; nullptr when none can be made.
FILE* OpenTemporaryFile();

// Changes whenever the file at `path` is written or replaced; -1 when there
// is no file there.
int64_t FileStamp(const char* path);

// Clock --------------------------------------------------------------------

// Whole seconds from an arbitrary fixed point; never goes backwards.
int64_t MonotonicSeconds();

// TCP client socket ----------------------------------------------------------

// The socket layer's would-block code, as the receive loop compares it.
constexpr long kWouldBlock = 11;

SocketHandle OpenTcpSocket();
// Connects to an IPv4 address and port, both in host byte order, waiting at
// most `timeoutSeconds` (0: as long as the system waits). The socket is left
// in blocking mode. On a timeout the error code is the system's "timed out".
bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int timeoutSeconds);
// Bounds each blocking send to `seconds`; a send that cannot proceed for that
// long fails.
void SetSendTimeout(SocketHandle socket, int seconds);
// One send on a blocking socket; returns the count sent, which may be less than
// `count`, or -1 on error. Never raises a signal.
int32_t SendOnSocket(SocketHandle socket, const char* data, int32_t count);
// One receive, waiting for data when there is none; returns the count, 0
// when the peer closed, -1 on error.
int32_t ReceiveFromSocket(SocketHandle socket, char* buffer, int32_t count);
// Between these two calls the socket may be polled: ReceiveWithoutWaiting
// returns -1 with the would-block error at once when nothing has arrived.
void BeginPolling(SocketHandle socket);
void EndPolling(SocketHandle socket);
int32_t ReceiveWithoutWaiting(SocketHandle socket, char* buffer, int32_t count);
// Waits until the socket has something to read, at most `milliseconds`.
void WaitReadable(SocketHandle socket, int milliseconds);
void CloseSocket(SocketHandle socket);
// The last socket error as the system reports it (for the log).
long LastSocketError();
// The last socket error with the would-block condition reported as kWouldBlock.
long NormalizeErrorCode(long raw);

// Resolves a host name or dotted address to its first IPv4 address, in host
// byte order. Returns false when it cannot be resolved.
bool ResolveIPv4(const char* hostName, uint32_t* address);

// Settings file --------------------------------------------------------------

// An INI file: read once when opened (POSIX), or through the system's profile
// functions (Windows). Section and key names match without regard to case; an
// absent file reads as empty.
class ProfileFile {
 public:
  explicit ProfileFile(const char* path);
  ~ProfileFile();
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
  char* text_ = nullptr;  // whole file, NUL-terminated (POSIX)
  size_t length_ = 0;
  char* path_ = nullptr;  // copy of the path (Win32)
};

}  // namespace platform
