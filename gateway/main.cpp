// The process entry: one request per run as a CGI program, or request after
// request as a FastCGI application; exit code 0 whatever happened.
#include <new>

#include "gateway/cgi_forwarder.h"
#include "gateway/fastcgi/server.h"
#include "platform/fastcgi_listener.h"
#include "platform/program.h"

namespace {

// Copies the program's version text into `version` (empty when it has none).
void GetOwnFileVersion(const char* programPath, char* version, size_t size) {
  version[0] = '\0';
  platform::GetProgramVersion(programPath, version, size);
}

}  // namespace

int main(int, char** argv) {
  // Arguments are never read as options: a web server passes the words of a
  // query without "=" as arguments.
  platform::StartProcess();
  static char programPath[kPathBufferSize];
  platform::GetProgramPath(argv[0], programPath, sizeof programPath);
  static ForwardSettings settings;
  LoadForwardSettings(programPath, &settings);
  char version[256];
  GetOwnFileVersion(programPath, version, sizeof version);
  if (platform::StandardInputIsListener()) {
    // Started by the web server as a FastCGI application: serve requests until
    // it stops the process.
    ServeFastCgi(programPath, settings, version);
  } else {
    ConsoleCgiForwarder* forwarder = new (std::nothrow) ConsoleCgiForwarder(settings);
    if (forwarder) {
      forwarder->HandleRequest(version);
      delete forwarder;
    }
  }
  platform::StopProcess();
  return 0;
}
