#include <cstdint>
#include <cstdlib>

#include "base/owned_buffer.h"
#include "forwarding/body_reader.h"
#include "gateway/cgi_forwarder.h"
#include "platform/cgi_channel.h"

// The base class is a forwarder connected to nothing: no body, no variables,
// output discarded.
int32_t CgiForwarder::ReadInput(char*, int32_t) { return 0; }
int32_t CgiForwarder::WriteOutput(const char*, int32_t) { return 0; }
char* CgiForwarder::GetVariable(const char*) { return nullptr; }
void CgiForwarder::FreeVariable(char*) {}
bool CgiForwarder::VariableNameAt(int32_t, char*, int32_t) { return false; }

// A reply written without reading the body (a refused path, the information
// page, the target probe) must still reach the browser. Where standard input
// and output are one socket (Apache's mod_cgid), exiting with input unread
// makes the system reset the connection, and the web server loses the reply
// it has not read yet. So the rest of a declared body is read and dropped.
ConsoleCgiForwarder::~ConsoleCgiForwarder() {
  int64_t left = 0;
  if (const char* length = platform::FindEnvironmentVariable("CONTENT_LENGTH")) {
    left = ParseContentLength(length) - bodyBytesRead_;
  } else if (platform::FindEnvironmentVariable("HTTP_TRANSFER_ENCODING")) {
    left = INT64_MAX;  // a dechunked upload ends with the input
  }
  DrainInput(*this, left);
}

int32_t ConsoleCgiForwarder::ReadInput(char* buffer, int32_t count) {
  int32_t got = platform::ReadStandardInput(buffer, count);
  if (got > 0) bodyBytesRead_ += got;
  return got;
}

int32_t ConsoleCgiForwarder::WriteOutput(const char* buffer, int32_t count) {
  return platform::WriteStandardOutput(buffer, count);
}

char* ConsoleCgiForwarder::GetVariable(const char* name) {
  return HeapCopy(platform::FindEnvironmentVariable(name));
}

void ConsoleCgiForwarder::FreeVariable(char* text) { std::free(text); }

bool ConsoleCgiForwarder::VariableNameAt(int32_t index, char* name, int32_t size) {
  return size > 0 && platform::EnvironmentNameAt(index, name, static_cast<size_t>(size));
}
