// Host names to addresses.
#pragma once

#include <cstdint>

namespace platform {

// Resolves a host name or dotted address to its first IPv4 address, in host
// byte order. Returns false when it cannot be resolved.
bool ResolveIPv4(const char* hostName, uint32_t* address);

}  // namespace platform
