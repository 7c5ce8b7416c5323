// FastCGI's listener on standard input (Win32). IIS starts a FastCGI
// application with the server end of a named pipe as standard input and the
// pipe's name in _FCGI_X_PIPE_; for each request it connects to the pipe,
// one client at a time. A connection here is the pipe itself, connected, and
// ends with the pipe disconnected for the next client.
#include "platform/fastcgi_listener.h"

#include "platform/cgi_channel.h"
#include "platform/win32/system.h"

namespace platform {
namespace {

HANDLE pipe = INVALID_HANDLE_VALUE;  // standard input, once found to be IIS's pipe

SocketHandle PipeConnection() { return reinterpret_cast<SocketHandle>(pipe); }

// One operation on the pipe. IIS may have made it for overlapped use, where
// an operation without an OVERLAPPED is not allowed; with one, the same call
// serves a pipe made either way. False on failure, the system's code then in
// GetLastError().
template <typename Start>
bool Complete(Start start, DWORD* count) {
  static HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!done) return false;
  OVERLAPPED io = {};
  io.hEvent = done;
  ResetEvent(done);
  return (start(&io) || GetLastError() == ERROR_IO_PENDING) &&
         GetOverlappedResult(pipe, &io, count, TRUE);
}

}  // namespace

bool StandardInputIsListener() {
  // A CGI program's standard input is a pipe too (anonymous, or IIS's own for
  // the body): only the name IIS sets marks the FastCGI pipe.
  const char* name = FindEnvironmentVariable("_FCGI_X_PIPE_");
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD flags = 0;
  if (!name || name[0] == '\0' || input == INVALID_HANDLE_VALUE || input == nullptr ||
      GetFileType(input) != FILE_TYPE_PIPE ||
      !GetNamedPipeInfo(input, &flags, nullptr, nullptr, nullptr) || !(flags & PIPE_SERVER_END)) {
    return false;
  }
  pipe = input;
  return true;
}

SocketHandle AcceptOnStandardInput() {
  if (pipe == INVALID_HANDLE_VALUE) return kNoSocket;
  for (;;) {
    DWORD ignored = 0;
    if (Complete([](OVERLAPPED* io) { return ConnectNamedPipe(pipe, io) != 0; }, &ignored) ||
        GetLastError() == ERROR_PIPE_CONNECTED) {
      return PipeConnection();
    }
    // A client that came and went before it was taken is no reason to stop.
    if (GetLastError() != ERROR_NO_DATA) return kNoSocket;
    DisconnectNamedPipe(pipe);
  }
}

int32_t ReceiveOnConnection(SocketHandle connection, char* buffer, int32_t count) {
  if (connection != PipeConnection()) return ReceiveFromSocket(connection, buffer, count);
  DWORD got = 0;
  if (Complete([&](OVERLAPPED* io) {
        return ReadFile(pipe, buffer, static_cast<DWORD>(count), nullptr, io) != 0;
      }, &got)) {
    return static_cast<int32_t>(got);
  }
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;  // the client closed its end
}

int32_t SendOnConnection(SocketHandle connection, const char* data, int32_t count) {
  if (connection != PipeConnection()) return SendOnSocket(connection, data, count);
  DWORD put = 0;
  if (!Complete([&](OVERLAPPED* io) {
        return WriteFile(pipe, data, static_cast<DWORD>(count), nullptr, io) != 0;
      }, &put)) {
    return -1;
  }
  return static_cast<int32_t>(put);
}

void CloseConnection(SocketHandle connection) {
  if (connection != PipeConnection()) return CloseSocket(connection);
  // The client reads the reply's end before the pipe is taken from it.
  FlushFileBuffers(pipe);
  DisconnectNamedPipe(pipe);
}

}  // namespace platform
