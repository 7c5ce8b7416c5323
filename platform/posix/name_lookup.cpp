// Host names to addresses (POSIX).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/name_lookup.h"

namespace platform {

bool ResolveIPv4(const char* hostName, uint32_t* address) {
  struct in_addr parsed;
  if (inet_pton(AF_INET, hostName, &parsed) == 1) {
    *address = ntohl(parsed.s_addr);
    return true;
  }
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(hostName, nullptr, &hints, &found) != 0 || !found) return false;
  const auto* first = reinterpret_cast<const struct sockaddr_in*>(found->ai_addr);
  *address = ntohl(first->sin_addr.s_addr);
  freeaddrinfo(found);
  return true;
}

}  // namespace platform
