// The TCP lookup and connect, written once for both systems over the steps
// each takes its own way (connect_steps.h). Both have getaddrinfo.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
using NativeSocket = int;
#endif

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/connect_steps.h"
#include "platform/tcp.h"

namespace platform {
namespace {

static_assert(sizeof(struct sockaddr_in6) <= sizeof(TcpAddress::raw) &&
                  sizeof(struct sockaddr_in) <= sizeof(TcpAddress::raw),
              "an address of either family fits");

NativeSocket Native(SocketHandle socket) { return static_cast<NativeSocket>(socket); }

const struct sockaddr* Raw(const TcpAddress& address) {
  return reinterpret_cast<const struct sockaddr*>(address.raw);
}

// The system's lookup of `host` for `port`; nullptr when it found nothing.
// With AI_NUMERICHOST only an address is taken, without asking anyone.
struct addrinfo* LookUp(const char* host, uint16_t port, int flags) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  struct addrinfo* results = nullptr;
  if (getaddrinfo(host, service, &hints, &results) != 0) return nullptr;
  return results;
}

// An address to which nothing can be sent: a name that stands for it is
// blocked (hosts files send unwanted names there), not this machine.
bool IsUnspecified(const struct sockaddr* address) {
  static const unsigned char kZeros[16] = {};
  if (address->sa_family == AF_INET) {
    return reinterpret_cast<const struct sockaddr_in*>(address)->sin_addr.s_addr == 0;
  }
  return std::memcmp(&reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_addr, kZeros,
                     16) == 0;
}

// Appends each usable address of `results` that is not there yet.
void Keep(const struct addrinfo* results, TcpAddresses* found) {
  for (const struct addrinfo* at = results; at && found->count < TcpAddresses::kMost;
       at = at->ai_next) {
    if ((at->ai_family != AF_INET && at->ai_family != AF_INET6) ||
        at->ai_addrlen > sizeof(TcpAddress::raw) || IsUnspecified(at->ai_addr)) {
      continue;
    }
    TcpAddress address;
    std::memset(&address, 0, sizeof address);
    std::memcpy(address.raw, at->ai_addr, at->ai_addrlen);
    address.size = static_cast<int>(at->ai_addrlen);
    bool known = false;
    for (int i = 0; i < found->count; ++i) {
      known = known || (found->at[i].size == address.size &&
                        std::memcmp(found->at[i].raw, address.raw, sizeof address.raw) == 0);
    }
    if (!known) found->at[found->count++] = address;
  }
}

// Looks `host` up as `flags` say and keeps what it found.
void Add(const char* host, uint16_t port, int flags, TcpAddresses* found) {
  struct addrinfo* results = LookUp(host, port, flags);
  Keep(results, found);
  if (results) freeaddrinfo(results);
}

// ::1 and 127.0.0.1, the one the system puts first for "localhost" first.
void AddLoopback(uint16_t port, TcpAddresses* found) {
  static const unsigned char kIpv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                   0, 0, 0, 0, 0, 0, 0, 1};
  bool ipv6First = false;
  struct addrinfo* ordered = LookUp("localhost", port, 0);
  for (const struct addrinfo* at = ordered; at; at = at->ai_next) {
    if (at->ai_family == AF_INET) break;
    if (at->ai_family == AF_INET6 &&
        std::memcmp(&reinterpret_cast<const struct sockaddr_in6*>(at->ai_addr)->sin6_addr,
                    kIpv6Loopback, 16) == 0) {
      ipv6First = true;
      break;
    }
  }
  if (ordered) freeaddrinfo(ordered);
  Add(ipv6First ? "::1" : "127.0.0.1", port, AI_NUMERICHOST, found);
  Add(ipv6First ? "127.0.0.1" : "::1", port, AI_NUMERICHOST, found);
}

bool ConnectNow(SocketHandle socket, const TcpAddress& target) {
  return connect(Native(socket), Raw(target), target.size) == 0;
}

// Connects without blocking and waits for the outcome at most `timeoutSeconds`.
bool ConnectWithin(SocketHandle socket, const TcpAddress& target, int timeoutSeconds) {
  if (!SetBlocking(socket, false)) return false;
  bool connected =
      ConnectNow(socket, target) || (ConnectUnderWay() && AwaitConnect(socket, timeoutSeconds));
  long error = LastSocketError();
  SetBlocking(socket, true);
  SetLastSocketError(error);  // the caller logs the connect's own error
  return connected;
}

}  // namespace

bool LookUpTcpAddresses(const char* host, uint16_t port, TcpAddresses* found) {
  found->count = 0;
  if (host[0] == '\0') {
    // No lookup for the default, paid on every request: 127.0.0.1 first, as
    // the empty name always meant, then ::1.
    Add("127.0.0.1", port, AI_NUMERICHOST, found);
    Add("::1", port, AI_NUMERICHOST, found);
    return found->count > 0;
  }
  if (EqualsNoCase(host, "localhost")) {
    AddLoopback(port, found);
    return found->count > 0;
  }
  Add(host, port, AI_NUMERICHOST, found);
  if (found->count == 0) Add(host, port, 0, found);
  return found->count > 0;
}

bool ConnectSocket(SocketHandle socket, const TcpAddress& address, int timeoutSeconds) {
  // A blocking connect that a signal interrupts goes on by itself: it is
  // waited for, not given up on.
  bool connected = timeoutSeconds > 0 ? ConnectWithin(socket, address, timeoutSeconds)
                                      : ConnectNow(socket, address) ||
                                            (ConnectUnderWay() && AwaitConnect(socket, 0));
  if (!connected) return false;
  // The request goes out in one piece; don't hold its tail back.
  int on = 1;
  setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
  return true;
}

}  // namespace platform
