#include "gateway/reserved_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/owned_buffer.h"
#include "forwarding/request_body.h"
#include "gateway/cgi_forwarder.h"

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
const char kNotSet[] = "n/a";
const char kEchoFailure[] = "Test failed";
constexpr int32_t kEchoPiece = 1 << 16;

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

}  // namespace

ForwardMode ReservedMode(const char* path) {
  if (std::strcmp(path, "/~~echo") == 0) return ModeEcho;
  if (std::strcmp(path, "/~~info") == 0) return ModeInfo;
  if (std::strcmp(path, "/~~target") == 0) return ModeTargetTest;
  return ModeForward;
}

// The request as the target would get it, at its real length (a binary body
// included). Unless bodies are held whole, a body is copied through in pieces
// as forwarding would send it, so memory stays bounded whatever its size.
void CgiForwarder::SendEcho() {
  int32_t length = 0;
  if (settings_.relay == Relay::kHeld) {
    OwnedBuffer request(BuildRequest(&length, ModeEcho));
    if (!request || length == 0) return SendText("500 Internal Error", kEchoFailure);
    WriteTextHeader("200 OK", length);
    WriteOutput(request.get(), length);
    return;
  }
  RequestBody body;
  OwnedBuffer head(BuildRequestHead(&length, ModeEcho, &body));
  OwnedBuffer piece(static_cast<char*>(std::malloc(kEchoPiece)));
  if (!head || length == 0 || !piece) return SendText("500 Internal Error", kEchoFailure);
  WriteTextHeader("200 OK", length + body.Length());
  WriteOutput(head.get(), length);
  // A body that ends before its declared length leaves the reply short of its
  // Content-length: the browser sees it as cut.
  for (int32_t got; (got = body.Read(*this, piece.get(), kEchoPiece)) > 0;) {
    WriteOutput(piece.get(), got);
  }
}

void CgiForwarder::SendInfoPage(const char* version) {
  const char* names[] = {"SCRIPT_NAME", "SERVER_SOFTWARE", "SERVER_PROTOCOL", "GATEWAY_INTERFACE"};
  char values[5][kInfoValueSize];
  for (int i = 0; i < 4; ++i) {
    VariableCopy value(*this, names[i]);
    CopyForPage(value.IsSet() ? value.Text() : kNotSet, values[i], kInfoValueSize);
  }
  CopyForPage(version, values[4], kInfoValueSize);
  char page[kInfoPageSize];
  std::snprintf(page, sizeof page, kInfoPageFormat, values[0], values[4], values[1], values[2],
                values[3]);
  SendHtml("200 OK", page);
}

// The probe answers 200 either way; its page says how it went. Only a probe
// that could not be built fails.
Failure CgiForwarder::ProbeTarget() {
  int32_t length = 0;
  OwnedBuffer request(BuildRequest(&length, ModeTargetTest));
  if (!request) return failure_;
  int32_t replyLength = 0;
  int32_t targetStatus = 0;
  OwnedBuffer reply(ExchangeWithTarget(request.get(), length, &replyLength, &targetStatus));
  SendHtml("200 OK", reply && replyLength != 0 ? kTargetGoodPage : kTargetBadPage);
  Log().Relayed();
  return Failure::kNone;
}
