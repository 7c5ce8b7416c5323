#include "log/access_log.h"

#include <cstdio>

#include "log/request_log.h"

void AppendLogItem(const char* text, GrowingBuffer& out) {
  static const char kHex[] = "0123456789abcdef";
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(text); *at; ++at) {
    char escaped[4] = {'\\', static_cast<char>(*at), 0, 0};
    size_t length = 2;
    switch (*at) {
      case '\b': escaped[1] = 'b'; break;
      case '\n': escaped[1] = 'n'; break;
      case '\r': escaped[1] = 'r'; break;
      case '\t': escaped[1] = 't'; break;
      case '\v': escaped[1] = 'v'; break;
      case '"':
      case '\\': break;
      default:
        if (*at >= 0x20 && *at < 0x7f) {
          out.Append(escaped + 1, 1);
          continue;
        }
        escaped[1] = 'x';
        escaped[2] = kHex[*at >> 4];
        escaped[3] = kHex[*at & 15];
        length = 4;
    }
    out.Append(escaped, length);
  }
}

namespace {

// An item that may be missing: "-" in its place, as web servers log it; an
// empty user shows as "" so that it is not read as none.
void AppendItemOrDash(const char* text, GrowingBuffer& out) {
  if (!text) return out.Append("-");
  if (!*text) return out.Append("\"\"");
  AppendLogItem(text, out);
}

void AppendQuoted(const char* text, GrowingBuffer& out) {
  out.Append("\"");
  AppendLogItem(text ? text : "-", out);
  out.Append("\"");
}

}  // namespace

void AppendAccessLine(const AccessEntry& entry, GrowingBuffer& out) {
  AppendItemOrDash(entry.clientAddress, out);
  out.Append(" - ");
  AppendItemOrDash(entry.user, out);
  CivilTime time;
  char text[64];
  if (!ToCivilTime(entry.unixSeconds, &time)) time = CivilTime{1970, 1, 1, 0, 0, 0, 4};
  std::snprintf(text, sizeof text, " [%02d/%s/%04lld:%02d:%02d:%02d +0000] ", time.day,
                kMonthNames[time.month - 1], time.year, time.hour, time.minute, time.second);
  out.Append(text);
  AppendQuoted(entry.requestLine, out);
  std::snprintf(text, sizeof text, " %d ", static_cast<int>(entry.status));
  out.Append(text);
  if (entry.bodyBytes > 0) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(entry.bodyBytes));
    out.Append(text);
  } else {
    out.Append("-");
  }
  out.Append(" ");
  AppendQuoted(entry.referer, out);
  out.Append(" ");
  AppendQuoted(entry.userAgent, out);
  std::snprintf(text, sizeof text, " %lld ", static_cast<long long>(entry.milliseconds));
  out.Append(text);
  out.Append(entry.outcome);
  out.Append("\n");
}
