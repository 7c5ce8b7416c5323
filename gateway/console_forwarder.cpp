#include <cstdlib>
#include <cstring>

#include "gateway/cgi_forwarder.h"
#include "platform/platform.h"

// The base class is a forwarder connected to nothing: no body, no variables,
// output discarded.
int32_t CgiForwarder::ReadInput(char*, int32_t) { return 0; }
int32_t CgiForwarder::WriteOutput(const char*, int32_t) { return 0; }
char* CgiForwarder::GetVariable(const char*) { return nullptr; }
void CgiForwarder::FreeVariable(char*) {}
bool CgiForwarder::VariableNameAt(int32_t, char*, int32_t) { return false; }

int32_t ConsoleCgiForwarder::ReadInput(char* buffer, int32_t count) {
  return platform::ReadStandardInput(buffer, count);
}

int32_t ConsoleCgiForwarder::WriteOutput(const char* buffer, int32_t count) {
  return platform::WriteStandardOutput(buffer, count);
}

char* ConsoleCgiForwarder::GetVariable(const char* name) {
  const char* value = platform::FindEnvironmentVariable(name);
  if (!value) return nullptr;
  size_t size = std::strlen(value) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, value, size);
  return copy;
}

void ConsoleCgiForwarder::FreeVariable(char* text) { std::free(text); }

bool ConsoleCgiForwarder::VariableNameAt(int32_t index, char* name, int32_t size) {
  return size > 0 && platform::EnvironmentNameAt(index, name, static_cast<size_t>(size));
}
