// Reading the request body from the forwarder's input.
#pragma once

#include <cstdint>

class CgiForwarder;

// The largest body the gateway holds in memory (the request must fit a
// signed 32-bit length with its header).
constexpr int64_t kMaxBodyLength = INT32_MAX - (1 << 20);
// The largest body it sends in pieces when streaming (a petabyte).
constexpr int64_t kMaxStreamedBodyLength = int64_t{1} << 50;

// CONTENT_LENGTH read as a decimal number: leading white space and one sign
// allowed, reading stops at the first non-digit, no number gives 0. Values
// beyond kMaxStreamedBodyLength come back as kMaxStreamedBodyLength + 1.
int64_t ParseContentLength(const char* text);

// Reads exactly `length` bytes into `buffer`, however the input splits them.
// False when the input ends first.
bool ReadBodyExactly(CgiForwarder& forwarder, char* buffer, int64_t length);

// Reads the input to its end into a new malloc'd buffer; nullptr when it
// cannot be held.
char* ReadBodyToEnd(CgiForwarder& forwarder, int64_t* length);

// Reads and drops at most `length` more bytes of the input (INT64_MAX: all
// that is left), so that a reply written without reading the body still
// reaches the browser.
void DrainInput(CgiForwarder& forwarder, int64_t length);
