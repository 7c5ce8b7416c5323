// POSIX side of the platform seam.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/profile_text.h"

#ifndef NPH_GW_VERSION
#define NPH_GW_VERSION ""
#endif

namespace platform {
namespace {

int Descriptor(SocketHandle socket) { return static_cast<int>(socket); }

// Opens a regular file and nothing else; O_NONBLOCK keeps the open of a named
// pipe that nobody reads from waiting for ever before the check can refuse it.
int OpenRegularFile(const char* path, int flags, mode_t mode) {
  int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat info;
  int current = fcntl(fd, F_GETFL, 0);
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || current < 0 ||
      fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace

void StartProcess() {
  // A browser that goes away or a target that closes mid-send must show up as
  // a failed write, not kill the process before it exits with 0.
  signal(SIGPIPE, SIG_IGN);
}

void StopProcess() {}

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

int32_t ReadStandardInput(char* buffer, int32_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer, static_cast<size_t>(count));
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno != EINTR) return 0;
  }
}

int32_t WriteStandardOutput(const char* buffer, int32_t count) {
  int32_t written = 0;
  while (written < count) {
    ssize_t put = write(STDOUT_FILENO, buffer + written, static_cast<size_t>(count - written));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    written += static_cast<int32_t>(put);
  }
  return written;
}

namespace {

// The gateway looks up some sixty variables per request, most of them absent;
// a hash index over the environment, made at the first lookup, saves scanning
// it for each. Slots hold positions in `environ`, read afresh and checked at
// each lookup; an environment that changed shape is indexed again.
constexpr size_t kIndexSlots = 512;
struct EnvironmentIndex {
  char** table;  // the environ the index was made for
  size_t count;  // its number of entries
  bool usable;
  int32_t slots[kIndexSlots];  // position in environ + 1; 0 = empty
};
EnvironmentIndex environmentIndex;  // zero-initialised: no start-up work

uint32_t HashName(const char* name, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(name[i])) * 16777619u;
  }
  return hash;
}

bool IndexIsCurrent() {
  const EnvironmentIndex& index = environmentIndex;
  return index.table && index.table == environ && index.table[index.count] == nullptr &&
         (index.count == 0 || index.table[index.count - 1] != nullptr);
}

void BuildEnvironmentIndex() {
  EnvironmentIndex& index = environmentIndex;
  std::memset(index.slots, 0, sizeof index.slots);
  index.table = environ;
  index.count = 0;
  index.usable = false;
  if (!environ) return;
  while (environ[index.count]) ++index.count;
  if (index.count > kIndexSlots / 2) return;  // too crowded to pay: use getenv
  for (size_t i = 0; i < index.count; ++i) {
    const char* equals = std::strchr(environ[i], '=');
    if (!equals) continue;
    size_t slot = HashName(environ[i], static_cast<size_t>(equals - environ[i])) % kIndexSlots;
    while (index.slots[slot] != 0) slot = (slot + 1) % kIndexSlots;
    index.slots[slot] = static_cast<int32_t>(i + 1);
  }
  index.usable = true;
}

}  // namespace

const char* FindEnvironmentVariable(const char* name) {
  if (!IndexIsCurrent()) BuildEnvironmentIndex();
  if (!environmentIndex.usable) return getenv(name);
  size_t length = std::strlen(name);
  size_t slot = HashName(name, length) % kIndexSlots;
  for (; environmentIndex.slots[slot] != 0; slot = (slot + 1) % kIndexSlots) {
    const char* entry = environ[environmentIndex.slots[slot] - 1];
    if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return entry + length + 1;
  }
  return nullptr;
}

bool EnvironmentNameAt(int32_t index, char* name, size_t size) {
  if (index < 0 || size == 0) return false;
  for (int32_t i = 0; i < index; ++i) {
    if (!environ[i]) return false;
  }
  const char* entry = environ[index];
  if (!entry) return false;
  const char* equals = std::strchr(entry, '=');
  size_t length = equals ? static_cast<size_t>(equals - entry) : std::strlen(entry);
  if (length >= size) length = 0;
  std::memcpy(name, entry, length);
  name[length] = '\0';
  return true;
}

bool StandardInputIsListener() {
  struct sockaddr_storage address;
  socklen_t size = sizeof address;
  if (getsockname(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&address), &size) != 0) {
    return false;  // a pipe or a file: CGI, at the cost of one system call
  }
  size = sizeof address;
  return getpeername(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&address), &size) != 0 &&
         errno == ENOTCONN;
}

namespace {

// A web server that listens for its FastCGI programs on TCP names the
// addresses it connects from in FCGI_WEB_SERVER_ADDRS; anyone else could set
// the request's variables (REMOTE_USER among them) and is turned away.
bool PeerMayConnect(const struct sockaddr_storage& peer) {
  const char* allowed = getenv("FCGI_WEB_SERVER_ADDRS");
  if (!allowed || (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)) {
    return true;  // a Unix socket: only the web server can reach it
  }
  char address[INET6_ADDRSTRLEN];
  const auto& ipv4 = reinterpret_cast<const struct sockaddr_in&>(peer);
  const auto& ipv6 = reinterpret_cast<const struct sockaddr_in6&>(peer);
  const void* raw = peer.ss_family == AF_INET ? static_cast<const void*>(&ipv4.sin_addr)
                                              : static_cast<const void*>(&ipv6.sin6_addr);
  if (!inet_ntop(peer.ss_family, raw, address, sizeof address)) return false;
  size_t length = std::strlen(address);
  for (const char* at = allowed; *at;) {
    size_t entry = std::strcspn(at, ", ");
    if (entry == length && std::strncmp(at, address, length) == 0) return true;
    at += entry;
    at += std::strspn(at, ", ");
  }
  return false;
}

}  // namespace

SocketHandle AcceptOnStandardInput() {
  for (;;) {
    struct sockaddr_storage peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t size = sizeof peer;
    int fd = accept4(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd >= 0 && PeerMayConnect(peer)) return fd;
    if (fd >= 0) {
      close(fd);
      continue;
    }
    // A connection that went away before it was taken is no reason to stop.
    if (errno != EINTR && errno != ECONNABORTED) return kNoSocket;
  }
}

FILE* OpenLogForAppending(const char* path) {
  int fd = OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a");
  if (!file) close(fd);
  return file;
}

FILE* OpenTemporaryFile() { return std::tmpfile(); }

int64_t FileStamp(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return -1;
  // Time to the nanosecond, with size and file number: an edit within one
  // tick of the clock, or a file moved into place, still shows.
  uint64_t stamp = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                   static_cast<uint64_t>(info.st_mtim.tv_nsec);
  stamp ^= static_cast<uint64_t>(info.st_size) << 40 ^ static_cast<uint64_t>(info.st_ino) << 20;
  return static_cast<int64_t>(stamp & INT64_MAX);
}

int64_t MonotonicSeconds() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0 &&
      clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return static_cast<int64_t>(time(nullptr));
  }
  return static_cast<int64_t>(now.tv_sec);
}

void SleepMilliseconds(int milliseconds) {
  struct timespec pause;
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  nanosleep(&pause, nullptr);
}

SocketHandle OpenTcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? kNoSocket : fd;
}

// Connects without blocking and waits for the outcome at most `timeoutSeconds`.
static bool SetNonBlocking(int fd, bool nonBlocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

static bool ConnectWithin(int fd, const struct sockaddr_in& target, int timeoutSeconds) {
  if (!SetNonBlocking(fd, true)) return false;
  bool connected =
      connect(fd, reinterpret_cast<const struct sockaddr*>(&target), sizeof target) == 0;
  if (!connected && errno == EINPROGRESS) {
    struct pollfd entry;
    entry.fd = fd;
    entry.events = POLLOUT;
    entry.revents = 0;
    int ready;
    do {
      ready = poll(&entry, 1, timeoutSeconds * 1000);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      errno = ETIMEDOUT;
    } else if (ready > 0) {
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
        connected = true;
      } else if (error != 0) {
        errno = error;
      }
    }
  }
  int saved = errno;
  SetNonBlocking(fd, false);
  errno = saved;
  return connected;
}

bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int timeoutSeconds) {
  struct sockaddr_in target;
  std::memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(address);
  target.sin_port = htons(port);
  int fd = Descriptor(socket);
  bool connected =
      timeoutSeconds > 0
          ? ConnectWithin(fd, target, timeoutSeconds)
          : connect(fd, reinterpret_cast<struct sockaddr*>(&target), sizeof target) == 0;
  if (!connected) return false;
  // The request goes out in one piece; don't hold its tail back.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

void SetSendTimeout(SocketHandle socket, int seconds) {
  if (seconds <= 0) return;
  struct timeval limit;
  limit.tv_sec = seconds;
  limit.tv_usec = 0;
  setsockopt(Descriptor(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int32_t SendOnSocket(SocketHandle socket, const char* data, int32_t count) {
  for (;;) {
    ssize_t sent = send(Descriptor(socket), data, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int32_t>(sent);
    if (errno != EINTR) return -1;
  }
}

int32_t ReceiveFromSocket(SocketHandle socket, char* buffer, int32_t count) {
  for (;;) {
    ssize_t got = recv(Descriptor(socket), buffer, static_cast<size_t>(count), 0);
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno != EINTR) return -1;
  }
}

// A per-call flag does the work of switching the socket's mode, without the
// four system calls that switching on and off would cost every request.
void BeginPolling(SocketHandle) {}
void EndPolling(SocketHandle) {}

int32_t ReceiveWithoutWaiting(SocketHandle socket, char* buffer, int32_t count) {
  for (;;) {
    ssize_t got = recv(Descriptor(socket), buffer, static_cast<size_t>(count), MSG_DONTWAIT);
    if (got >= 0) return static_cast<int32_t>(got);
    if (errno != EINTR) return -1;
  }
}
void WaitReadable(SocketHandle socket, int milliseconds) {
  struct pollfd entry;
  entry.fd = Descriptor(socket);
  entry.events = POLLIN;
  entry.revents = 0;
  int saved = errno;  // the caller reads the receive's error after the wait
  poll(&entry, 1, milliseconds);
  errno = saved;
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) close(Descriptor(socket));
}

long LastSocketError() { return errno; }

long NormalizeErrorCode(long raw) {
  return (raw == EAGAIN || raw == EWOULDBLOCK) ? kWouldBlock : raw;
}

SocketHandle OpenLocalSocket() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kNoSocket : fd;
}

bool ConnectLocalSocket(SocketHandle socket, const char* path, int timeoutSeconds) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path, length + 1);
  // Connecting to a socket file waits only while the listener's queue is
  // full, bounded by the send timeout; past it the system says EAGAIN.
  SetSendTimeout(socket, timeoutSeconds);
  if (connect(Descriptor(socket), reinterpret_cast<struct sockaddr*>(&address), sizeof address) ==
      0) {
    return true;
  }
  if (errno == EAGAIN) errno = ETIMEDOUT;
  return false;
}

bool NothingListens(long code) { return code == ECONNREFUSED || code == ENOENT; }

bool TimedOut(long code) { return code == ETIMEDOUT; }

void RemoveSocketFile(const char* path) {
  struct stat info;
  if (lstat(path, &info) == 0 && S_ISSOCK(info.st_mode)) unlink(path);
}

bool ResolveIPv4(const char* hostName, uint32_t* address) {
  struct in_addr parsed;
  if (inet_pton(AF_INET, hostName, &parsed) == 1) {
    *address = ntohl(parsed.s_addr);
    return true;
  }
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(hostName, nullptr, &hints, &found) != 0 || !found) return false;
  const auto* first = reinterpret_cast<const struct sockaddr_in*>(found->ai_addr);
  *address = ntohl(first->sin_addr.s_addr);
  freeaddrinfo(found);
  return true;
}

// Starting the application ----------------------------------------------------

namespace {

// What a started application gets of the gateway's environment: the system's
// basics. The rest came from the web server for this one request
// (REQUEST_METHOD, QUERY_STRING, HTTP_*, REMOTE_USER ...) and must not follow
// the application into its later life.
const char* const kBasicVariables[] = {"PATH", "HOME", "LANG", "LC_ALL", "LC_CTYPE",
                                       "TZ",   "TMPDIR", "USER", "LOGNAME"};
constexpr size_t kBasicCount = sizeof kBasicVariables / sizeof kBasicVariables[0];
char kDefaultPath[] = "PATH=/usr/local/bin:/usr/bin:/bin";

void CloseDescriptorsFrom(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) close(static_cast<int>(fd));
}

void WriteError(const char* what, const char* subject) {
  const char* parts[] = {"nph-gw: ", what, subject, "\n"};
  for (const char* part : parts) {
    ssize_t ignored = write(STDERR_FILENO, part, std::strlen(part));
    (void)ignored;
  }
}

// In the child after fork: becomes the application. Never returns.
[[noreturn]] void BecomeApplication(int input, int output, const char* folder,
                                    const char* command, char* const* environment) {
  setsid();  // a session of its own: no signal aimed at the web server's reaches it
  dup2(input, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  dup2(output, STDERR_FILENO);
  for (int fd = 0; fd <= 2; ++fd) fcntl(fd, F_SETFD, 0);
  // Nothing else: the web server waits for the CGI's pipes to close, and the
  // lock file must stay the gateway's.
  CloseDescriptorsFrom(3);
  // Signals the web server or the gateway ignore (SIGPIPE) would stay ignored
  // across exec; the application starts with the defaults.
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) signal(signal_number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (folder[0] != '\0' && chdir(folder) != 0) {
    WriteError("cannot enter ", folder);
    _exit(126);
  }
  char shell[] = "sh";
  char option[] = "-c";
  char* const arguments[] = {shell, option, const_cast<char*>(command), nullptr};
  execve("/bin/sh", arguments, environment);
  WriteError("cannot run ", "/bin/sh");
  _exit(127);
}

}  // namespace

bool StartDetached(const char* command, const char* folder, const char* outputPath,
                   StartedProcess* process) {
  // Everything the child needs is made before the fork.
  char* environment[kBasicCount + 2];
  size_t count = 0;
  bool hasPath = false;
  for (const char* name : kBasicVariables) {
    const char* value = FindEnvironmentVariable(name);
    if (!value) continue;
    // The value lies in its "NAME=value" entry of the environment.
    environment[count++] = const_cast<char*>(value - std::strlen(name) - 1);
    hasPath = hasPath || std::strcmp(name, "PATH") == 0;
  }
  if (!hasPath) environment[count++] = kDefaultPath;
  environment[count] = nullptr;

  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int output = OpenRegularFile(outputPath, O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (output < 0) {
    process->outputError = errno;
    output = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  // The web server may have left child exits ignored, and then the exit code
  // could not be collected.
  signal(SIGCHLD, SIG_DFL);
  pid_t child = input >= 0 && output >= 0 ? fork() : -1;
  if (child == 0) BecomeApplication(input, output, folder, command, environment);
  int error = errno;
  if (input >= 0) close(input);
  if (output >= 0) close(output);
  errno = error;
  if (child < 0) return false;
  process->id = child;
  return true;
}

ProcessState CheckProcess(StartedProcess* process, long* code) {
  int status = 0;
  pid_t ended = waitpid(static_cast<pid_t>(process->id), &status, WNOHANG);
  if (ended == 0) return ProcessState::kRunning;
  if (ended < 0) {
    *code = -1;  // not ours to wait for any more: it has ended, how is unknown
    return ProcessState::kExited;
  }
  if (WIFSIGNALED(status)) {
    *code = WTERMSIG(status);
    return ProcessState::kKilled;
  }
  *code = WEXITSTATUS(status);
  return ProcessState::kExited;
}

// The process leads its own session and so its own process group.
void EndProcess(StartedProcess* process) { killpg(static_cast<pid_t>(process->id), SIGTERM); }

void ReleaseProcess(StartedProcess* process) { process->id = 0; }

long LastSystemError() { return errno; }

FileLock::Result FileLock::TryLock(const char* path) {
  Unlock();
  int fd = OpenRegularFile(path, O_RDWR | O_CREAT, 0600);
  if (fd < 0) return kFailed;
  // flock, not fcntl: its lock belongs to this open file, so a second open in
  // the same process is refused as another process's would be.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return error == EWOULDBLOCK ? kBusy : kFailed;
  }
  handle_ = fd;
  return kLocked;
}

void FileLock::Unlock() {
  if (handle_ < 0) return;
  close(static_cast<int>(handle_));
  handle_ = -1;
}

// Settings file -------------------------------------------------------------

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
    text_ = static_cast<char*>(std::malloc(capacity + 1));
    if (text_) {
      size_t total = 0;
      while (total < capacity) {
        ssize_t got = read(fd, text_ + total, capacity - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<size_t>(got);
      }
      text_[total] = '\0';
      length_ = total;
    }
  }
  close(fd);
}

ProfileFile::~ProfileFile() {
  std::free(text_);
  std::free(path_);
}

void ProfileFile::GetString(const char* section, const char* key, const char* fallback,
                            char* out, size_t size) const {
  if (size == 0) return;
  const char* value = fallback;
  size_t length = std::strlen(fallback);
  if (text_) FindProfileValue(text_, length_, section, key, &value, &length);
  if (length >= size) length = size - 1;
  std::memcpy(out, value, length);
  out[length] = '\0';
}

long ProfileFile::GetInteger(const char* section, const char* key, long fallback) const {
  const char* value = nullptr;
  size_t length = 0;
  long result = fallback;
  if (text_ && FindProfileValue(text_, length_, section, key, &value, &length) &&
      ParseProfileInteger(value, length, &result)) {
    return result;
  }
  return fallback;
}

}  // namespace platform
