// TCP client sockets to a target named by a host name or an address, IPv4 or
// IPv6.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {

// One address of a target, as the system's socket calls take it.
struct TcpAddress {
  alignas(8) unsigned char raw[28];  // a sockaddr_in or sockaddr_in6
  int size;
};

// The addresses a target's name stands for, in the order to try them.
struct TcpAddresses {
  static constexpr int kMost = 8;
  TcpAddress at[kMost];
  int count = 0;
};

// Looks `host` up for `port`, now:
//  - "" stands for 127.0.0.1, then ::1 (no lookup);
//  - "localhost" (any case) stands for ::1 and 127.0.0.1, in the order the
//    system's lookup gives them for it (one it leaves out comes last);
//  - an IPv4 or IPv6 address is itself (no lookup);
//  - a name is looked up by the system (its hosts file, DNS), and its addresses
//    kept in the order given, IPv4 and IPv6; an unspecified address (a name
//    sent nowhere) is left out.
// False when nothing usable was found.
bool LookUpTcpAddresses(const char* host, uint16_t port, TcpAddresses* found);

SocketHandle OpenTcpSocket(const TcpAddress& address);
// Connects to `address`, waiting at most `timeoutSeconds` (0: as long as the
// system waits). The socket is left in blocking mode. On a timeout the error
// code is the system's "timed out".
bool ConnectSocket(SocketHandle socket, const TcpAddress& address, int timeoutSeconds);

}  // namespace platform
