// Which request headers travel to the target, and from which CGI variables.
#pragma once

struct HeaderRow {
  const char* header;    // HTTP header name
  const char* variable;  // CGI variable that carries it
};

constexpr int kHeaderMapRows = 50;
extern const HeaderRow kHeaderMap[kHeaderMapRows];
