// Each cause of failure: the status with GatewayStatus=1 (off: 500, but a
// refused path and maintenance) and the access log's word.
#include <gtest/gtest.h>

#include "gateway/failure_response.h"

namespace {

TEST(FailureResponse, EachCauseHasItsStatusAndWord) {
  const struct {
    Failure failure;
    const char* status;
    const char* outcome;
  } kRows[] = {
      {Failure::kNone, "200 OK", "forwarded"},
      {Failure::kPathRefused, "403 Forbidden", "refused"},
      {Failure::kNoMethod, "500 Internal Error", "no-method"},
      {Failure::kMethodNotToken, "500 Internal Error", "method-not-token"},
      {Failure::kBodyTooLarge, "500 Internal Error", "body-too-large"},
      {Failure::kBodyEndedEarly, "500 Internal Error", "body-ended-early"},
      {Failure::kBodyNotSpooled, "500 Internal Error", "body-not-spooled"},
      {Failure::kNoMemory, "500 Internal Error", "no-memory"},
      {Failure::kMaintenance, "503 Service Unavailable", "maintenance"},
      {Failure::kNotResolved, "502 Bad Gateway", "unresolved"},
      {Failure::kNoSocket, "500 Internal Error", "no-socket"},
      {Failure::kRefused, "502 Bad Gateway", "refused-connection"},
      {Failure::kConnectTimeout, "504 Gateway Timeout", "connect-timeout"},
      {Failure::kUnreachable, "502 Bad Gateway", "unreachable"},
      {Failure::kStartFailed, "503 Service Unavailable", "start-failed"},
      {Failure::kBackingOff, "503 Service Unavailable", "backing-off"},
      {Failure::kTls, "502 Bad Gateway", "tls"},
      {Failure::kSendFailed, "502 Bad Gateway", "send-failed"},
      {Failure::kTimeout, "504 Gateway Timeout", "timeout"},
      {Failure::kNetworkError, "502 Bad Gateway", "network-error"},
      {Failure::kClosedEarly, "502 Bad Gateway", "closed-early"},
      {Failure::kReplyHeaderTooLarge, "502 Bad Gateway", "reply-header-too-large"},
      {Failure::kReplyTooLarge, "502 Bad Gateway", "reply-too-large"},
      {Failure::kSwitchedProtocols, "502 Bad Gateway", "switched-protocols"},
      {Failure::kBrowserGone, "500 Internal Error", "browser-gone"},
  };
  for (const auto& row : kRows) {
    const FailureResponse on = RespondTo(row.failure, true);
    const FailureResponse off = RespondTo(row.failure, false);
    EXPECT_STREQ(row.status, on.status) << row.outcome;
    EXPECT_STREQ(row.outcome, on.outcome);
    EXPECT_STREQ(row.outcome, off.outcome);
    const bool kept = row.status[0] != '5' || row.failure == Failure::kMaintenance;
    EXPECT_STREQ(kept ? row.status : "500 Internal Error", off.status) << row.outcome;
  }
}

}  // namespace
