// Starts a program as IIS starts its CGI and FastCGI programs, for the tests
// under Wine (where the program would otherwise get its environment through
// Wine's reading of the Linux one):
//
//   iis_host cgi[*N] ENV PROGRAM [ARGS...]
//     runs PROGRAM (N times, one after the other) with the standard handles
//     of this process and ENV added to its environment; exits with its code.
//   iis_host fastcgi ENV PROGRAM
//     starts PROGRAM with a named pipe as standard input, no standard output
//     and the pipe's name in _FCGI_X_PIPE_, then connects to the pipe for each
//     request as IIS does (see ServeFastCgi); ends PROGRAM at the end.
//
// ENV is hexadecimal: the UTF-16 LE bytes of "NAME=value\0" entries, which
// may carry what a Linux environment cannot (a lone surrogate).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring FromHex(const wchar_t* hex) {
  std::wstring text;
  for (size_t at = 0; hex[at] && hex[at + 1] && hex[at + 2] && hex[at + 3]; at += 4) {
    wchar_t bytes[5] = {hex[at + 2], hex[at + 3], hex[at], hex[at + 1], 0};  // little-endian
    text.push_back(static_cast<wchar_t>(wcstoul(bytes, nullptr, 16)));
  }
  return text;
}

// ENV's entries, then this process's own: IIS gives a program the worker's
// environment with the request's variables. A name given twice is found
// first in ENV.
std::wstring EnvironmentBlock(const std::wstring& given) {
  std::wstring block = given;
  wchar_t* own = GetEnvironmentStringsW();
  for (const wchar_t* entry = own; *entry; entry += wcslen(entry) + 1) block.append(entry) += L'\0';
  FreeEnvironmentStringsW(own);
  return block += L'\0';
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

// Each line of standard input is one connection to the pipe: the bytes to
// send, in hexadecimal, then "." to close the connection at once (a request
// given up) or "?" to read the reply to its end (the program disconnects),
// printed as one line of hexadecimal. An empty line, or the end of input,
// ends the program.
int ServeFastCgi(int argc, wchar_t** argv, const std::wstring& given) {
  const std::wstring name = L"\\\\.\\pipe\\nph-gw-test-" + std::to_wstring(GetCurrentProcessId());
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  // Overlapped, so that the program must cope with a pipe made either way.
  HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                 0, &inheritable);
  HANDLE program = Start(argc, argv, EnvironmentBlock(given + L"_FCGI_X_PIPE_=" + name + L'\0'),
                         pipe, INVALID_HANDLE_VALUE);
  CloseHandle(pipe);  // the program's end now
  static char line[1 << 20];
  while (std::fgets(line, sizeof line, stdin) && line[0] != '\n') {
    std::string bytes;
    size_t at = 0;
    for (unsigned value; std::sscanf(line + at, "%2x", &value) == 1; at += 2) bytes += char(value);
    HANDLE end;  // busy until the program has let the last client go and waits again
    while ((end = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr)) == INVALID_HANDLE_VALUE &&
           WaitNamedPipeW(name.c_str(), 10000)) {
    }
    DWORD count = 0;
    WriteFile(end, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr);
    if (line[at] == '?') {
      char reply[65536];
      while (ReadFile(end, reply, sizeof reply, &count, nullptr) && count > 0) {
        for (DWORD i = 0; i < count; ++i) std::printf("%02x", static_cast<unsigned char>(reply[i]));
      }
    }
    std::printf("\n");
    std::fflush(stdout);
    CloseHandle(end);
  }
  TerminateProcess(program, 0);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring mode = argv[1], given = FromHex(argv[2]);
  if (mode == L"fastcgi") return ServeFastCgi(argc, argv, given);
  int times = mode.size() > 4 ? _wtoi(mode.c_str() + 4) : 1;  // "cgi*N"
  DWORD code = 2;
  for (int run = 0; run < times; ++run) {
    HANDLE program = Start(argc, argv, EnvironmentBlock(given), GetStdHandle(STD_INPUT_HANDLE),
                           GetStdHandle(STD_OUTPUT_HANDLE));
    WaitForSingleObject(program, INFINITE);
    GetExitCodeProcess(program, &code);
    CloseHandle(program);
  }
  return static_cast<int>(code);
}
