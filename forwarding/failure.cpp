#include "forwarding/failure.h"

const char* FailureEvent(Failure failure) {
  switch (failure) {
    case Failure::kPathListTooLong: return "Path list too long";
    case Failure::kMethodNotToken: return "Request method is not a token";
    case Failure::kBodyEndedEarly: return "Request body ended early";
    case Failure::kBodyNotSpooled: return "Request body could not be spooled";
    case Failure::kTimeout: return "Timeout";
    case Failure::kNetworkError: return "Network error";
    case Failure::kClosedEarly: return "Connection closed";
    case Failure::kReplyHeaderTooLarge: return "Reply header too large";
    case Failure::kReplyTooLarge: return "Reply too large";
    case Failure::kSwitchedProtocols:
      return "Target switched protocols (101): not carried by a CGI gateway";
    case Failure::kBrowserGone: return "Browser closed";
    default: return nullptr;
  }
}
