#include "gateway/failure_response.h"

#include <cstring>

namespace {

const char kInternalError[] = "500 Internal Error";
const char kBadGateway[] = "502 Bad Gateway";
const char kUnavailable[] = "503 Service Unavailable";
const char kGatewayTimeout[] = "504 Gateway Timeout";

// No default: a cause added to Failure without a row here does not build.
FailureResponse AsGateway(Failure failure) {
  switch (failure) {
    case Failure::kNone: return {"200 OK", "forwarded"};
    case Failure::kPathRefused: return {"403 Forbidden", "refused"};
    case Failure::kPathListTooLong: return {kInternalError, "path-list-too-long"};
    case Failure::kNoMethod: return {kInternalError, "no-method"};
    case Failure::kMethodNotToken: return {kInternalError, "method-not-token"};
    case Failure::kBodyTooLarge: return {kInternalError, "body-too-large"};
    case Failure::kBodyEndedEarly: return {kInternalError, "body-ended-early"};
    case Failure::kBodyNotSpooled: return {kInternalError, "body-not-spooled"};
    case Failure::kNoMemory: return {kInternalError, "no-memory"};
    case Failure::kMaintenance: return {kUnavailable, "maintenance"};
    case Failure::kNotResolved: return {kBadGateway, "unresolved"};
    case Failure::kNoSocket: return {kInternalError, "no-socket"};
    case Failure::kRefused: return {kBadGateway, "refused-connection"};
    case Failure::kConnectTimeout: return {kGatewayTimeout, "connect-timeout"};
    case Failure::kUnreachable: return {kBadGateway, "unreachable"};
    case Failure::kStartFailed: return {kUnavailable, "start-failed"};
    case Failure::kBackingOff: return {kUnavailable, "backing-off"};
    case Failure::kTls: return {kBadGateway, "tls"};
    case Failure::kSendFailed: return {kBadGateway, "send-failed"};
    case Failure::kTimeout: return {kGatewayTimeout, "timeout"};
    case Failure::kNetworkError: return {kBadGateway, "network-error"};
    case Failure::kClosedEarly: return {kBadGateway, "closed-early"};
    case Failure::kReplyHeaderTooLarge: return {kBadGateway, "reply-header-too-large"};
    case Failure::kReplyTooLarge: return {kBadGateway, "reply-too-large"};
    case Failure::kSwitchedProtocols: return {kBadGateway, "switched-protocols"};
    case Failure::kBadReplyHeader: return {kBadGateway, "bad-reply-header"};
    case Failure::kBrowserGone: return {kInternalError, "browser-gone"};
  }
  return {kInternalError, "failed"};  // not reached: every cause has its row
}

}  // namespace

FailureResponse RespondTo(Failure failure, bool gatewayStatus) {
  FailureResponse response = AsGateway(failure);
  if (!gatewayStatus && failure != Failure::kMaintenance && response.status[0] == '5') {
    response.status = kInternalError;
  }
  return response;
}

bool IsUnavailable(const char* status) { return std::strncmp(status, "503", 3) == 0; }
