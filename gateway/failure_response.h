// What the browser gets, and what the access log calls it, when a request is
// not forwarded or its reply not relayed: one row for each cause.
#pragma once

#include "forwarding/failure.h"

struct FailureResponse {
  const char* status;   // code and reason, as the status line carries them
  const char* outcome;  // the access log's word for the cause
};

// With `gatewayStatus` on, the target's failures answer as a proxy's do:
// 502 (no usable reply), 503 (the application is not there yet), 504 (time
// passed). Off, every failure but a refused path answers "500 Internal Error",
// as sites have always seen; maintenance, which a site switches on itself,
// answers 503 either way. Failure::kNone is a forwarded request.
FailureResponse RespondTo(Failure failure, bool gatewayStatus);

// Whether `status` (as RespondTo gives it) asks the browser to come back.
bool IsUnavailable(const char* status);
