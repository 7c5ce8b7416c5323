// The reserved paths, which the gateway answers itself: "/~~echo" shows the
// rebuilt request, "/~~info" the product page, "/~~target" whether the target
// answers.
#pragma once

#include "gateway/forward_mode.h"

// The mode a path asks for: exactly a reserved path, case and all, or
// ModeForward.
ForwardMode ReservedMode(const char* path);
