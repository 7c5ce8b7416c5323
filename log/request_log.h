// The optional request log: one record per request, appended to a text file
// beside the program.
#pragma once

#include <cstddef>
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

// A time in UTC as the logs show it, computed alike on every platform for any
// year of four digits.
struct CivilTime {
  long long year;
  int month, day, hour, minute, second, weekday;  // month 1-12, weekday 0 = Sunday
};
// False when the year would not have four digits.
bool ToCivilTime(long long secondsSinceEpoch, CivilTime* time);
extern const char* const kMonthNames[12];  // "Jan" ...

// The log as a request writes to it: while it is closed (logging off, or a
// file that could not be opened) every line is dropped here, so no caller
// asks first.
class RequestLog {
 public:
  explicit RequestLog(FILE* file) : file_(file) {}

  // "\t<text>\n", flushed; nothing for no text.
  void Event(const char* text) const {
    if (file_ && text) LogEvent(text, file_);
  }
  // "\t<text><detail>\n", flushed.
  void Event(const char* text, const char* detail) const {
    if (!file_) return;
    std::fprintf(file_, "\t%s%s\n", text, detail);
    std::fflush(file_);
  }
  // `format` filled with `prefix` and `code`, then "\n", flushed.
  void SocketError(const char* format, const char* prefix, long code) const {
    if (file_) LogSocketError(format, prefix, code, file_);
  }
  // The line written just before a reply goes to the browser; not flushed on
  // its own (closing the file writes it out).
  void Relayed() const {
    if (file_) std::fputs("Reply sent back to browser\n", file_);
  }

 private:
  FILE* file_;
};
