// The gateway's own replies: complete HTTP/1.0 responses with a text/html or
// text/plain body, and the pages for requests that failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/owned_buffer.h"
#include "forwarding/target_start.h"
#include "gateway/cgi_forwarder.h"
#include "gateway/failure_response.h"
#include "platform/files.h"

namespace {

const char kForbiddenBody[] = "<H2>Forbidden</H2>";
const char kErrorBody[] = "<H2>CGI Error</H2>";
// A site's own error page is read whole for each failure; larger ones are
// not used.
constexpr int64_t kMaxErrorPage = 64 * 1024;

}  // namespace

void CgiForwarder::WriteLocalHeader(const char* status, const char* contentTypeLine,
                                    int64_t bodyLength) {
  response_.status = std::atoi(status);
  response_.bodyBytes = bodyLength;
  char line[1024];
  int length = std::snprintf(line, sizeof line, "HTTP/1.0 %s\r\n%sContent-length: %lld\r\n\r\n",
                             status, contentTypeLine, static_cast<long long>(bodyLength));
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof line) length = static_cast<int>(sizeof line - 1);
  WriteOutput(line, length);
}

void CgiForwarder::WriteTextHeader(const char* status, int64_t bodyLength) {
  WriteLocalHeader(status, "Content-Type: text/plain\r\n", bodyLength);
}

void CgiForwarder::SendPage(const char* status, const char* headerLines, const char* body,
                            int64_t length) {
  WriteLocalHeader(status, headerLines, length);
  WriteOutput(body, static_cast<int32_t>(length));
}

void CgiForwarder::SendHtml(const char* status, const char* body) {
  SendPage(status, "Content-Type: text/html\r\n", body, static_cast<int64_t>(std::strlen(body)));
}

void CgiForwarder::SendText(const char* status, const char* body) {
  int32_t bodyLength = static_cast<int32_t>(std::strlen(body));
  WriteTextHeader(status, bodyLength);
  WriteOutput(body, bodyLength);
}

// A 503 says when to come back; every 5xx page carries the site's own body
// when it has one ("ErrorPage"), else the built-in one.
const char* CgiForwarder::SendFailurePage(Failure failure) {
  const FailureResponse response = RespondTo(failure, settings_.gatewayStatus != 0);
  if (failure == Failure::kPathRefused) {
    SendHtml(response.status, kForbiddenBody);
    return response.outcome;
  }
  char headerLines[96] = "Content-Type: text/html\r\n";
  if (IsUnavailable(response.status)) {
    std::snprintf(headerLines, sizeof headerLines, "Content-Type: text/html\r\nRetry-After: %d\r\n",
                  RetryAfterSeconds(settings_));
  }
  OwnedBuffer page;
  int64_t length = -1;
  if (settings_.errorPage[0] != '\0') {
    page.reset(static_cast<char*>(std::malloc(kMaxErrorPage + 2)));
    if (page) length = platform::ReadFileStart(settings_.errorPage, page.get(), kMaxErrorPage + 2);
    if (length < 0 || length > kMaxErrorPage) {
      char event[sizeof settings_.errorPage + 32];
      std::snprintf(event, sizeof event, "Error page not usable: %s", settings_.errorPage);
      Log().Event(event);
      length = -1;
    }
  }
  if (length < 0) {
    SendPage(response.status, headerLines, kErrorBody, sizeof kErrorBody - 1);
  } else {
    SendPage(response.status, headerLines, page.get(), length);
  }
  return response.outcome;
}
