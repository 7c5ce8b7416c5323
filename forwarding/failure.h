// Why a request was not forwarded, or its reply not relayed. Each step of the
// request that can fail says so by returning one (Failure::kNone when it did
// not fail); where an operation's signature is a buffer or nullptr, the
// forwarder keeps the cause beside it (CgiForwarder::LastFailure).
// HandleRequest turns it into the response (gateway/failure_response.h: one
// row for each cause).
#pragma once

#include <cstdint>

enum class Failure : uint8_t {
  kNone,
  // The request.
  kPathRefused,      // the path lists refuse the path
  kPathListTooLong,  // a path list longer than the gateway holds: nothing is judged by it
  kNoMethod,         // no REQUEST_METHOD
  kMethodNotToken,   // a method that could change the request line
  kBodyTooLarge,     // a body larger than the gateway holds
  kBodyEndedEarly,   // the body ended before its declared length
  kBodyNotSpooled,   // a body of unknown length found no temporary file
  kNoMemory,
  kMaintenance,      // the site is down for maintenance ("MaintenanceFile")
  // Reaching the target.
  kNotResolved,      // the target's name stands for no address
  kNoSocket,
  kRefused,          // nothing listens there
  kConnectTimeout,
  kUnreachable,      // any other reason the connect failed
  kStartFailed,      // the application could not be started ("StartCommand")
  kBackingOff,       // it failed at its last starts: not started again yet
  kTls,              // the TLS handshake failed
  kSendFailed,
  // The reply.
  kTimeout,          // the target took longer than "Timeout"
  kNetworkError,     // the connection failed while the reply was awaited
  kClosedEarly,      // the target closed before the reply was whole
  kReplyHeaderTooLarge,
  kReplyTooLarge,
  kSwitchedProtocols,  // 101: another protocol, which a CGI gateway cannot carry
  kBadReplyHeader,   // a header the gateway and the web server could read two ways
  kBrowserGone,      // the browser stopped taking the reply
};

// The request log's event line for `failure`, where it writes one; nullptr for
// the failures whose line, with the system's error code, is written where
// they happen, and for those that leave none.
const char* FailureEvent(Failure failure);
