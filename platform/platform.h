// The one seam between the gateway and the operating system.
//
// Everything the gateway asks of the system goes through these functions:
// the CGI channel (standard streams, environment), the program's own path and
// version, TCP and Unix domain client sockets, a clock, the settings-file
// reader, and starting the application behind the gateway with a lock file.
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
// Sleeps the calling thread.
void SleepMilliseconds(int milliseconds);

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

// Unix domain socket client ---------------------------------------------------

// A stream socket for a socket file; kNoSocket when none can be made (where the
// system has no Unix domain sockets, LastSocketError says so).
SocketHandle OpenLocalSocket();
// Connects to the socket file at `path`, waiting at most `timeoutSeconds` (0:
// as long as the system waits) when the listener's queue is full. A path too
// long for a socket address fails with the system's "name too long".
bool ConnectLocalSocket(SocketHandle socket, const char* path, int timeoutSeconds);
// True when a connect failed with `code` because nothing listens there: the
// connection was refused, or there is no socket file.
bool NothingListens(long code);
// True when a connect failed with `code` because its time ran out.
bool TimedOut(long code);
// Removes the file at `path` when it is a socket file, one left behind by a
// server that ended without removing it.
void RemoveSocketFile(const char* path);

// Resolves a host name or dotted address to its first IPv4 address, in host
// byte order. Returns false when it cannot be resolved.
bool ResolveIPv4(const char* hostName, uint32_t* address);

// Starting the application -----------------------------------------------------

struct StartedProcess {
  intptr_t id = 0;             // the system's process id
  intptr_t handle = 0;         // Win32: the process handle
  long outputError = 0;        // the output file could not be opened: why
  bool sharesServerJob = false;  // Win32: the web server's job would not let it go
};

// Starts `command` through the system's command interpreter (/bin/sh -c;
// cmd.exe /c) in `folder`, detached from this process and from the request:
// a session (or process group and hidden console) of its own, nothing
// inherited but standard input from the null device and standard output and
// error appended to `outputPath` (the null device when that cannot be opened:
// `outputError` says why), and an environment of the system's basics only
// (PATH, HOME, LANG and the like), never the request's CGI variables. False,
// with LastSystemError, when it could not be started.
bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   StartedProcess* process);
// Whether the started process has ended: kExited with its exit code, kKilled
// with the signal that ended it.
enum class ProcessState { kRunning, kExited, kKilled };
ProcessState CheckProcess(StartedProcess* process, long* code);
// Ends the started process and, on POSIX, everything in its session.
void EndProcess(StartedProcess* process);
// Lets go of the process (it runs on).
void ReleaseProcess(StartedProcess* process);
// The last error of a file or process call, as the system numbers it.
long LastSystemError();

// An exclusive lock on a file, held until Unlock or the object goes, and
// released by the system when the process ends however it ends.
class FileLock {
 public:
  enum Result { kLocked, kBusy, kFailed };
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock on `path` (created when missing) without waiting: kBusy
  // when another holds it, kFailed (with LastSystemError) when the file
  // cannot be opened or locked.
  Result TryLock(const char* path);
  void Unlock();

 private:
  intptr_t handle_ = -1;
};

// TLS client ----------------------------------------------------------------
//
// TLS over a connected TCP socket: OpenSSL on POSIX, the system's own
// (SChannel) on Windows. Nothing else in the gateway knows which.

struct TlsSession;

enum class TlsFailure { kNone, kUntrusted, kNameMismatch, kExpired, kProtocol, kTimeout,
                        kUnavailable };

struct TlsOptions {
  const char* serverName;  // sent as SNI (unless it is an address) and checked
  const char* caFile;      // PEM roots trusted instead of the system's; "" = system
  bool verify;             // false: neither the chain nor the name is checked
  int handshakeSeconds;    // the whole handshake's bound (> 0)
};

// Makes the handshake on `socket`, connected and in blocking mode. From then
// on the socket is used only through the session. Returns nullptr on failure
// with the cause, and the library's own words in `detail`.
TlsSession* StartTls(SocketHandle socket, const TlsOptions& options, TlsFailure* failure,
                     char* detail, size_t size);
// As SendOnSocket: may send less than `count`; waits for room at most the
// socket's send timeout.
int32_t SendOnTls(TlsSession* session, const char* data, int32_t count);
// As ReceiveWithoutWaiting: -1 with the would-block error when nothing is
// ready. 0 at the end, whether or not the target sent TLS's close_notify: the
// framing rules decide whether the reply is whole, as for a plain close.
int32_t ReceiveOnTlsWithoutWaiting(TlsSession* session, char* buffer, int32_t count);
// Ends the session; the socket stays for CloseSocket.
void EndTls(TlsSession* session);

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
