// Starts a program as IIS starts its CGI and FastCGI programs, for the tests
// under Wine (where the program would otherwise get its environment through
// Wine's reading of the Linux one):
//
//   iis_host cgi[*N] ENV PROGRAM [ARGS...]
//     runs PROGRAM (N times, one after the other) with the standard handles
//     of this process and ENV added to its environment; exits with its code.
//   iis_host fastcgi ENV PROGRAM
//     starts PROGRAM with a named pipe as standard input, no standard output
//     and the pipe's name in _FCGI_X_PIPE_, prints "port <n>" and relays each
//     TCP connection to 127.0.0.1:<n> over a connection of its own to the
//     pipe, as IIS connects for its requests; ends PROGRAM when standard input
//     closes.
//
// ENV is hexadecimal: the UTF-16 LE bytes of "NAME=value\0" entries, which
// may carry what a Linux environment cannot (a lone surrogate).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::wstring FromHex(const wchar_t* hex) {
  std::wstring text;
  for (size_t at = 0; hex[at] && hex[at + 1] && hex[at + 2] && hex[at + 3]; at += 4) {
    wchar_t bytes[5] = {hex[at + 2], hex[at + 3], hex[at], hex[at + 1], 0};  // little-endian
    text.push_back(static_cast<wchar_t>(wcstoul(bytes, nullptr, 16)));
  }
  return text;
}

// ENV's entries, then this process's own that ENV does not name: IIS gives a
// program the worker's environment with the request's variables.
std::wstring EnvironmentBlock(const std::wstring& given) {
  std::wstring block = given;
  wchar_t* own = GetEnvironmentStringsW();
  for (const wchar_t* entry = own; *entry; entry += wcslen(entry) + 1) {
    const wchar_t* equals = wcschr(entry + 1, L'=');
    std::wstring name(entry, equals ? equals - entry + 1 : wcslen(entry));
    bool named = false;
    for (size_t at = 0; at < given.size(); at = given.find(L'\0', at) + 1) {
      named = named || _wcsnicmp(given.c_str() + at, name.c_str(), name.size()) == 0;
    }
    if (!named) block.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(own);
  block.push_back(L'\0');
  return block;
}

HANDLE Start(int argc, wchar_t** argv, const std::wstring& environment, HANDLE input,
             HANDLE output) {
  std::wstring line;
  for (int i = 3; i < argc; ++i) line += (i > 3 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = input;
  start.hStdOutput = output;
  start.hStdError = output == INVALID_HANDLE_VALUE ? output : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started;
  if (!CreateProcessW(argv[3], &line[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      const_cast<wchar_t*>(environment.c_str()), nullptr, &start, &started)) {
    std::fprintf(stderr, "iis_host: cannot start the program: %lu\n", GetLastError());
    std::exit(2);
  }
  CloseHandle(started.hThread);
  return started.hProcess;
}

// One direction of a relayed connection; the pipe end is overlapped, so the
// other direction can cancel a read that waits.
void PipeToSocket(HANDLE pipe, SOCKET socket) {
  char buffer[65536];
  OVERLAPPED io = {};
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    DWORD got = 0;
    if ((!ReadFile(pipe, buffer, sizeof buffer, &got, &io) &&
         (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(pipe, &io, &got, TRUE))) ||
        got == 0 || send(socket, buffer, static_cast<int>(got), 0) != static_cast<int>(got)) {
      break;
    }
  }
  shutdown(socket, SD_SEND);  // the program ended the connection
  CloseHandle(io.hEvent);
}

void SocketToPipe(SOCKET socket, HANDLE pipe) {
  char buffer[65536];
  OVERLAPPED io = {};
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    int got = recv(socket, buffer, sizeof buffer, 0);
    DWORD put = 0;
    if (got <= 0 || (!WriteFile(pipe, buffer, static_cast<DWORD>(got), &put, &io) &&
                     (GetLastError() != ERROR_IO_PENDING ||
                      !GetOverlappedResult(pipe, &io, &put, TRUE)))) {
      break;
    }
  }
  CancelIoEx(pipe, nullptr);  // the client is gone: so is the pipe's connection
  CloseHandle(io.hEvent);
}

int ServeFastCgi(int argc, wchar_t** argv, const std::wstring& given) {
  const std::wstring name = L"\\\\.\\pipe\\nph-gw-test-" + std::to_wstring(GetCurrentProcessId());
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                 0, &inheritable);
  HANDLE program = Start(argc, argv,
                         EnvironmentBlock(given + L"_FCGI_X_PIPE_=" + name + L'\0'), pipe,
                         INVALID_HANDLE_VALUE);
  CloseHandle(pipe);  // the program's end now
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 8) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return 2;
  }
  std::printf("port %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  std::thread([program] {  // the test closes standard input to stop everything
    char ignored[256];
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof ignored, &got, nullptr) && got) {
    }
    TerminateProcess(program, 0);
    ExitProcess(0);
  }).detach();
  for (;;) {
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) return 2;
    WaitNamedPipeW(name.c_str(), 10000);
    HANDLE end = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (end != INVALID_HANDLE_VALUE) {
      std::thread back(PipeToSocket, end, client);
      SocketToPipe(client, end);
      back.join();
      CloseHandle(end);
    }
    closesocket(client);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring mode = argv[1], given = FromHex(argv[2]);
  if (mode == L"fastcgi") return ServeFastCgi(argc, argv, given);
  const std::wstring environment = EnvironmentBlock(given);
  int times = mode.size() > 4 ? _wtoi(mode.c_str() + 4) : 1;  // "cgi*N"
  DWORD code = 2;
  for (int run = 0; run < times; ++run) {
    HANDLE program = Start(argc, argv, environment, GetStdHandle(STD_INPUT_HANDLE),
                           GetStdHandle(STD_OUTPUT_HANDLE));
    WaitForSingleObject(program, INFINITE);
    GetExitCodeProcess(program, &code);
    CloseHandle(program);
  }
  return static_cast<int>(code);
}
