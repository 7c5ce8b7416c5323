// The optional request log: one record per request, appended to a text file
// beside the program. Callers call these only while the log is open.
#pragma once

#include <cstdio>

// The banner line and the UTC time stamp line, flushed.
void LogBanner(FILE* file);
// "\t<text>\n", flushed.
void LogEvent(const char* text, FILE* file);
// `format` filled with `prefix` and `code`, then "\n", flushed.
void LogSocketError(const char* format, const char* prefix, long code, FILE* file);

// Formats the time as "Sun Dec 06 01:17:05 2026" (24 characters, UTC) into
// `out` (at least 25 bytes). Returns false when the time cannot be converted.
bool FormatLogTime(long long secondsSinceEpoch, char* out, size_t size);
