// Case-insensitive search and the allowed/forbidden path-prefix lists.
#pragma once

// The first occurrence of `pattern` in `text`, letters A-Z compared without
// regard to case; nullptr when there is none. An empty pattern is found at
// the start.
const char* FindNoCase(const char* text, const char* pattern);

// True when some entry of the comma-separated `list` is a prefix of `path`,
// letters A-Z compared without regard to case. Empty entries never match;
// blanks around an entry are part of it. False when `path` is nullptr.
bool MatchesPathList(const char* path, const char* list);
