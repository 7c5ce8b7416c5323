// Starting the application behind the gateway when nothing listens
// ("StartCommand").
#pragma once

#include "forwarding/failure.h"
#include "forwarding/target_socket.h"
#include "settings/forward_settings.h"

// After a connect that found nothing listening: starts the application, or
// waits for another request's start of it, until `socket` is connected to it
// (Failure::kNone) or the start has failed (Failure::kStartFailed, with the
// log saying why).
Failure StartTarget(const ForwardSettings& settings, TargetSocket& socket);

// How long a browser told the application is not there should wait before it
// asks again: what is left of a pause after failed starts, else a few
// seconds (a start under way).
int RetryAfterSeconds(const ForwardSettings& settings);
