// The INI reading rules, over a text already in memory. Used where the system
// has no profile functions of its own.
#pragma once

#include <cstddef>

namespace platform {

// Finds `key` in `section` of the INI `text`. Section and key names match
// without regard to ASCII case; the first matching key of the first matching
// section wins. Lines are split at LF (a CR before it is dropped); blanks
// around names and values are ignored; lines beginning with ';' or '#' are
// comments; a value in matching double or single quotes loses the quotes.
// Sets `value` and `valueLength` and returns true when the key is present.
bool FindProfileValue(const char* text, size_t length, const char* section,
                      const char* key, const char** value, size_t* valueLength);

// Copies the `length` bytes of `value` into `out` (`size` bytes, at least 1),
// cut to `size` - 1 characters, as the profile functions cut what they read.
void CopyProfileValue(const char* value, size_t length, char* out, size_t size);

// Reads a decimal integer: blanks, then an optional sign, then digits, up to
// the first other character. Returns false when there are no digits. Values
// beyond the range of long are clamped.
bool ParseProfileInteger(const char* value, size_t length, long* result);

}  // namespace platform
