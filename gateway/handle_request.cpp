// Decides what a request is, carries it out, and writes its one response.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway/cgi_forwarder.h"
#include "base/owned_buffer.h"
#include "log/request_log.h"
#include "platform/platform.h"
#include "settings/path_list.h"

namespace {

const char kInfoPageFormat[] =
    "<HTML><HEAD><TITLE>Information</TITLE></HEAD>\r\n<BODY>\r\n"
    "<H2>Product information</H2><BR>\r\n"
    "<B>Script name:</B> %s (%s)<BR>\r\n"
    "<B>Server software:</B> %s<BR>\r\n"
    "<B>Server protocol:</B> %s<BR>\r\n"
    "<B>Gateway interface:</B> %s<BR>\r\n"
    "<BR>\r\n</BODY></HTML>\r\n";
const char kTargetGoodPage[] =
    "<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Good:</B> "
    "target server reached.</BODY></HTML>";
const char kTargetBadPage[] =
    "<HTML><HEAD><TITLE>Target (backend) test</TITLE><HEAD><BODY><B>Bad:</B> "
    "target server not reached.</BODY></HTML>";
const char kForbiddenBody[] = "<H2>Forbidden</H2>";
const char kErrorBody[] = "<H2>CGI Error</H2>";
const char kNotSet[] = "n/a";

constexpr size_t kInfoPageSize = 4096;
// Each value on the information page is cut to this, so the page always fits.
constexpr size_t kInfoValueSize = 512;

// Copies `text` for the information page, cut to fit, with the characters
// that mean something in HTML escaped.
void CopyForPage(const char* text, char* out, size_t size) {
  size_t used = 0;
  for (const char* at = text; *at; ++at) {
    const char* entity = nullptr;
    switch (*at) {
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '&': entity = "&amp;"; break;
      case '"': entity = "&quot;"; break;
      default: break;
    }
    size_t length = entity ? std::strlen(entity) : 1;
    if (used + length >= size) break;
    std::memcpy(out + used, entity ? entity : at, length);
    used += length;
  }
  out[used] = '\0';
}

ForwardMode ReservedMode(const char* path) {
  if (std::strcmp(path, "/~~echo") == 0) return ModeEcho;
  if (std::strcmp(path, "/~~info") == 0) return ModeInfo;
  if (std::strcmp(path, "/~~target") == 0) return ModeTargetTest;
  return ModeForward;
}

// True when the lists refuse `canonical`.
bool Refused(const char* canonical, const ForwardSettings& settings) {
  return (settings.allowedPaths[0] != '\0' && !MatchesPathList(canonical, settings.allowedPaths)) ||
         (settings.forbiddenPaths[0] != '\0' && MatchesPathList(canonical, settings.forbiddenPaths));
}

// 200 when the lists let `path` through, 403 when they refuse it; judged on
// the path's canonical form, and on the form a Windows target reads it in
// (either refusing is enough). 500 when there is no memory to judge it.
int PathListStatus(const char* path, const ForwardSettings& settings) {
  size_t size = std::strlen(path) + 2;
  OwnedBuffer forms(static_cast<char*>(std::malloc(2 * size)));
  if (!forms) return 500;
  CanonicalPath(path, forms.get());
  CanonicalPath(path, forms.get() + size, true);
  return Refused(forms.get(), settings) || Refused(forms.get() + size, settings) ? 403 : 200;
}

// Opens the log for this request and closes it on every way out.
class RequestLogScope {
 public:
  explicit RequestLogScope(ForwardSettings& settings) : settings_(settings) {
    if (!settings_.logEnabled) return;
    settings_.logFile = platform::OpenLogForAppending(settings_.logPath);
    if (settings_.logFile) LogBanner(settings_.logFile);
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

void SendInfoPage(CgiForwarder& forwarder, const char* version) {
  const char* names[] = {"SCRIPT_NAME", "SERVER_SOFTWARE", "SERVER_PROTOCOL", "GATEWAY_INTERFACE"};
  char values[5][kInfoValueSize];
  for (int i = 0; i < 4; ++i) {
    VariableCopy value(forwarder, names[i]);
    CopyForPage(value.IsSet() ? value.Text() : kNotSet, values[i], kInfoValueSize);
  }
  CopyForPage(version, values[4], kInfoValueSize);
  char page[kInfoPageSize];
  std::snprintf(page, sizeof page, kInfoPageFormat, values[0], values[4], values[1], values[2],
                values[3]);
  forwarder.SendHtml("200 OK", page);
}

}  // namespace

void CgiForwarder::HandleRequest(const char* version) {
  int status = 200;
  ForwardMode mode = ModeForward;
  RequestLogScope logScope(settings_);

  {
    // A request without PATH_INFO goes to "/" and is judged as "/".
    VariableCopy path(*this, "PATH_INFO");
    const char* pathText = path.IsSet() ? path.Text() : "/";
    mode = ReservedMode(pathText);
    if (mode == ModeForward) status = PathListStatus(pathText, settings_);
  }

  if (mode == ModeEcho) {
    SendEcho();
    return;
  }
  if (mode == ModeInfo) {
    SendInfoPage(*this, version);
    return;
  }

  if (status == 200 && mode == ModeForward && settings_.streaming) {
    // Streamed replies write themselves; only failures before the first byte
    // still get a page of ours.
    RequestBody body;
    int32_t length = 0;
    OwnedBuffer head(BuildRequestHead(&length, mode, &body));
    status = head && length != 0 ? StreamWithTarget(head.get(), length, body) : 500;
    if (status != 200) SendHtml("500 Internal Error", kErrorBody);
    return;
  }

  OwnedBuffer request;
  OwnedBuffer reply;
  int32_t replyLength = 0;
  if (status == 200) {
    int32_t length = 0;
    request.reset(BuildRequest(&length, mode));
    if (!request || length == 0) status = 500;
    if (status == 200) {
      int32_t targetStatus = 0;
      reply.reset(ExchangeWithTarget(request.get(), length, &replyLength, &targetStatus));
      if (!reply || replyLength == 0) status = 500;
      if (mode == ModeTargetTest) {
        // The probe answers 200 either way; its page says how it went.
        status = 200;
        SendHtml("200 OK", reply && replyLength != 0 ? kTargetGoodPage : kTargetBadPage);
      }
    }
  }

  if (status == 200) {
    if (settings_.logFile) std::fputs("Reply sent back to browser\n", settings_.logFile);
    if (mode == ModeForward) {
      int32_t rewrittenLength = 0;
      OwnedBuffer rewritten(RewriteRedirects(reply.get(), replyLength, &rewrittenLength));
      if (rewritten) {
        WriteOutput(rewritten.get(), rewrittenLength);
      } else {
        WriteOutput(reply.get(), replyLength);
      }
    }
  } else if (status == 403) {
    SendHtml("403 Forbidden", kForbiddenBody);
  } else {
    SendHtml("500 Internal Error", kErrorBody);
  }
}
