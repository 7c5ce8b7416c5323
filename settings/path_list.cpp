#include "settings/path_list.h"

#include <cstring>

#include "base/text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool MatchesPathList(const char* path, const char* list) {
  if (!path || !list) return false;
  bool matched = false;
  const char* entry = list;
  while (*entry != '\0') {
    const char* comma = std::strchr(entry, ',');
    size_t length = comma ? static_cast<size_t>(comma - entry) : std::strlen(entry);
    // "/admin, /secret" means "/secret", not " /secret".
    const char* start = entry;
    while (length > 0 && IsBlank(*start)) ++start, --length;
    while (length > 0 && IsBlank(start[length - 1])) --length;
    // Only a match at the very start of the path counts: the entry is a prefix.
    if (length > 0 && StartsWithNoCase(path, start, length)) matched = true;
    if (!comma) break;
    entry = comma + 1;
  }
  return matched;
}

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

void CanonicalPath(const char* path, char* out, bool windowsNames) {
  size_t used = 0;  // out holds "/segment/segment", without a final "/"
  bool finalSlash = false;
  for (const char* at = path; *at;) {
    while (IsSeparator(*at)) ++at;
    const char* segment = at;
    while (*at && !IsSeparator(*at)) ++at;
    size_t length = static_cast<size_t>(at - segment);
    const void* parameters = std::memchr(segment, ';', length);
    if (parameters) length = static_cast<size_t>(static_cast<const char*>(parameters) - segment);
    bool dots = (length == 1 && segment[0] == '.') || (length == 2 && segment[0] == '.' &&
                                                       segment[1] == '.');
    // Windows drops a name's trailing dots and blanks: "admin." is "admin".
    while (windowsNames && !dots && length > 0 &&
           (segment[length - 1] == '.' || segment[length - 1] == ' ')) {
      --length;
    }
    finalSlash = true;
    if (length == 0 || (length == 1 && segment[0] == '.')) continue;
    if (length == 2 && segment[0] == '.' && segment[1] == '.') {
      while (used > 0 && out[used - 1] != '/') --used;
      if (used > 0) --used;
      continue;
    }
    out[used++] = '/';
    std::memcpy(out + used, segment, length);
    used += length;
    finalSlash = false;
  }
  if (used == 0 || finalSlash) out[used++] = '/';
  out[used] = '\0';
}
