// Starting the application behind the gateway when nothing listens
// ("StartCommand"), again after a deploy ("RestartFile"), and not again for a
// while after starts that failed.
#pragma once

#include "forwarding/failure.h"
#include "forwarding/target_socket.h"
#include "settings/forward_settings.h"

// After a connect that found nothing listening, or (`restart`) before any
// connect when RestartDue: starts the application, or waits for another
// request's start of it, until `socket` is connected to it (Failure::kNone);
// else Failure::kStartFailed, or Failure::kBackingOff while failed starts
// keep it from being started, with the log saying why.
Failure StartTarget(const ForwardSettings& settings, TargetSocket& socket, bool restart = false);

// True when the restart file has been touched since the application that runs
// was started (never when there is no restart file, or no application of
// ours).
bool RestartDue(const ForwardSettings& settings);

// How long a browser told the application is not there should wait before it
// asks again: what is left of a pause after failed starts, else a few
// seconds (a start under way).
int RetryAfterSeconds(const ForwardSettings& settings);
