// A web server that frames the response itself (FastCGI) reads a CGI response
// header, not an HTTP one.
#pragma once

#include <cstddef>

#include "base/growing_buffer.h"

// Appends to `out` the CGI header that carries the HTTP response header
// `header` (status line to blank line, `length` bytes): "Status:" with the
// code and reason, the header lines but those that belong to one connection,
// one Content-Length when the header declares one, and the blank line. False
// for a header the gateway does not relay (ReplyHead::fault).
bool ReplyHeaderToCgi(const char* header, size_t length, GrowingBuffer& out);
