// Host names to addresses (Win32).
#include <cstring>

#include "platform/name_lookup.h"
#include "platform/win32/system.h"

namespace platform {

bool ResolveIPv4(const char* hostName, uint32_t* address) {
  unsigned long dotted = inet_addr(hostName);
  // INADDR_NONE is also the answer for a text that is no address at all.
  if (dotted != INADDR_NONE || std::strcmp(hostName, "255.255.255.255") == 0) {
    *address = ntohl(dotted);
    return true;
  }
  const struct hostent* host = gethostbyname(hostName);
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list ||
      !host->h_addr_list[0]) {
    return false;
  }
  uint32_t first;
  std::memcpy(&first, host->h_addr_list[0], sizeof first);
  *address = ntohl(first);
  return true;
}

}  // namespace platform
