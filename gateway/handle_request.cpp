// Decides what a request is, carries it out, and writes its one response.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/owned_buffer.h"
#include "forwarding/request_body.h"
#include "gateway/cgi_forwarder.h"
#include "gateway/failure_response.h"
#include "gateway/reserved_paths.h"
#include "log/request_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "settings/path_list.h"

namespace {

// True when the lists refuse `canonical`.
bool Refused(const char* canonical, const ForwardSettings& settings) {
  return (settings.allowedPaths[0] != '\0' && !MatchesPathList(canonical, settings.allowedPaths)) ||
         (settings.forbiddenPaths[0] != '\0' && MatchesPathList(canonical, settings.forbiddenPaths));
}

// Whether the lists let `path` through: judged on the path's canonical form,
// and on the form a Windows target reads it in (either refusing is enough).
Failure JudgePath(const char* path, const ForwardSettings& settings) {
  size_t size = std::strlen(path) + 2;
  OwnedBuffer forms(static_cast<char*>(std::malloc(2 * size)));
  if (!forms) return Failure::kNoMemory;
  CanonicalPath(path, forms.get());
  CanonicalPath(path, forms.get() + size, true);
  return Refused(forms.get(), settings) || Refused(forms.get() + size, settings)
             ? Failure::kPathRefused
             : Failure::kNone;
}

// Opens the log for this request and closes it on every way out.
class RequestLogScope {
 public:
  explicit RequestLogScope(ForwardSettings& settings) : settings_(settings) {
    if (!settings_.logEnabled) return;
    settings_.logFile = platform::OpenLogForAppending(settings_.logPath);
    if (!settings_.logFile) return;
    LogBanner(settings_.logFile);
    for (uint8_t i = 0; i < settings_.settingWarningCount; ++i) {
      LogEvent(settings_.settingWarnings[i], settings_.logFile);
    }
  }
  ~RequestLogScope() {
    if (settings_.logFile) std::fclose(settings_.logFile);
    settings_.logFile = nullptr;
  }
  RequestLogScope(const RequestLogScope&) = delete;
  RequestLogScope& operator=(const RequestLogScope&) = delete;

 private:
  ForwardSettings& settings_;
};

// The reply collected whole, then written as received (or with its redirects
// pointed at the gateway).
Failure ForwardHeld(CgiForwarder& forwarder, RequestLog log) {
  int32_t length = 0;
  OwnedBuffer request(forwarder.BuildRequest(&length, ModeForward));
  if (!request) return forwarder.LastFailure();
  int32_t replyLength = 0;
  int32_t targetStatus = 0;
  OwnedBuffer reply(forwarder.ExchangeWithTarget(request.get(), length, &replyLength,
                                                 &targetStatus));
  if (!reply) return forwarder.LastFailure();
  log.Relayed();
  int32_t rewrittenLength = 0;
  OwnedBuffer rewritten(forwarder.RewriteRedirects(reply.get(), replyLength, &rewrittenLength));
  if (rewritten) {
    forwarder.WriteOutput(rewritten.get(), rewrittenLength);
  } else {
    forwarder.WriteOutput(reply.get(), replyLength);
  }
  return Failure::kNone;
}

// Streamed replies (and adaptive ones, which are held while small) write
// themselves; only failures before the first byte still get a page of ours.
Failure ForwardStreamed(CgiForwarder& forwarder) {
  RequestBody body;
  int32_t length = 0;
  OwnedBuffer head(forwarder.BuildRequestHead(&length, ModeForward, &body));
  return head ? forwarder.StreamWithTarget(head.get(), length, body) : forwarder.LastFailure();
}

}  // namespace

void CgiForwarder::HandleRequest(const char* version) {
  const int64_t started = platform::MonotonicMilliseconds();
  RequestLogScope logScope(settings_);
  const char* outcome = Serve(version);
  if (settings_.accessLog) WriteAccessLine(outcome, platform::MonotonicMilliseconds() - started);
}

const char* CgiForwarder::Serve(const char* version) {
  ForwardMode mode = ModeForward;
  Failure failure = Failure::kNone;
  if (settings_.pathListTooLong) {
    // Cut, a list could allow what it was written to refuse: nothing passes.
    failure = Failure::kPathListTooLong;
    Log().Event(FailureEvent(failure));
  } else {
    // A request without PATH_INFO goes to "/" and is judged as "/".
    VariableCopy path(*this, "PATH_INFO");
    const char* pathText = path.IsSet() ? path.Text() : "/";
    // Switched off, the reserved paths are paths like any other.
    if (settings_.diagnostics) mode = ReservedMode(pathText);
    if (mode == ModeForward) failure = JudgePath(pathText, settings_);
  }
  // While the site is down for maintenance only the diagnostic paths work.
  if (failure == Failure::kNone && mode == ModeForward && settings_.maintenanceFile[0] != '\0' &&
      platform::FileStamp(settings_.maintenanceFile) != -1) {
    failure = Failure::kMaintenance;
  }

  if (failure == Failure::kNone) {
    switch (mode) {
      case ModeEcho:
        SendEcho();
        return "echo";
      case ModeInfo:
        SendInfoPage(version);
        return "info";
      case ModeTargetTest:
        failure = ProbeTarget();
        if (failure == Failure::kNone) return "probe";
        break;
      case ModeForward:
        failure = settings_.relay == Relay::kHeld ? ForwardHeld(*this, Log())
                                                  : ForwardStreamed(*this);
        // A reply cut short after it began to flow is logged by its cause.
        if (failure == Failure::kNone) return RespondTo(response_.cut, false).outcome;
        break;
    }
  }
  return SendFailurePage(failure);
}
