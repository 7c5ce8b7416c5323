// The CGI channel: the request body on standard input, the response on
// standard output, the request's variables in the environment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

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

}  // namespace platform
