// The application's environment file ("EnvFile"): KEY=VALUE lines added to
// the clean environment it is started with, so that secrets stay out of the
// command line. Nothing is interpreted: no quotes, no "export", no
// variables; the value is the rest of the line as it stands.
#pragma once

#include "base/growing_buffer.h"

enum class EnvironmentLine { kEntry, kSkipped, kNotUnderstood, kEnd };

// Reads the line at `*at` (its end LF or CR LF) and moves past it. A blank
// line or one whose first non-blank is "#" is skipped; a name of letters,
// digits and "_" (not beginning with a digit) followed by "=" is an entry,
// appended to `entries` as "KEY=VALUE" and a NUL; anything else is not
// understood.
EnvironmentLine ReadEnvironmentLine(const char** at, GrowingBuffer& entries);
