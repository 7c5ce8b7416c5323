// The allowed/forbidden path-prefix lists and the form of a path they are
// matched against.
#pragma once

// True when some entry of the comma-separated `list` is a prefix of `path`,
// letters A-Z compared without regard to case. Empty entries never match;
// blanks around an entry are not part of it. False when `path` is nullptr.
bool MatchesPathList(const char* path, const char* list);

// The form the lists judge a path in, so that no spelling a target may read
// as the same path slips past them: "\\" read as "/", ";" parameters cut from
// each segment, empty and "." segments dropped, ".." resolved (never above
// the root), a final "/" kept; a path without its leading "/" judged as the
// target gets it, with one. With `windowsNames`, also a segment's trailing
// dots and blanks dropped, as Windows drops them from names. `out` must hold
// strlen(path) + 2 bytes.
void CanonicalPath(const char* path, char* out, bool windowsNames = false);
