#include "forwarding/environment_file.h"

#include <cstring>

#include "base/text.h"

EnvironmentLine ReadEnvironmentLine(const char** at, GrowingBuffer& entries) {
  const char* line = *at;
  if (*line == '\0') return EnvironmentLine::kEnd;
  const char* end = line + std::strcspn(line, "\n");
  *at = *end ? end + 1 : end;
  if (end > line && end[-1] == '\r') --end;
  const char* first = line;
  while (first < end && (*first == ' ' || *first == '\t')) ++first;
  if (first == end || *first == '#') return EnvironmentLine::kSkipped;
  const char* name = line;
  while (name < end && (IsAsciiLetter(*name) || *name == '_' || (IsAsciiDigit(*name) && name > line))) {
    ++name;
  }
  if (name == line || name == end || *name != '=') return EnvironmentLine::kNotUnderstood;
  entries.Append(line, static_cast<size_t>(end - line));
  entries.Append("", 1);
  return EnvironmentLine::kEntry;
}
