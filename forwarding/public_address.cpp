// The gateway's public address for this request, where "RewriteRedirects"
// points the redirects and cookies of the target's reply.
#include <cstring>

#include "forwarding/redirect_rewriter.h"
#include "forwarding/request_parts.h"
#include "gateway/cgi_forwarder.h"

char* CgiForwarder::RewriteRedirects(const char* reply, int32_t length, int32_t* newLength) {
  *newLength = 0;
  if (!settings_.rewriteRedirects) return nullptr;
  VariableCopy https(*this, "HTTPS");
  VariableCopy host(*this, "HTTP_HOST");
  VariableCopy scriptName;
  if (!settings_.publicPathSet) scriptName = VariableCopy(*this, "SCRIPT_NAME");
  const char* prefix = settings_.publicPathSet ? settings_.publicPath
                       : scriptName.IsSet()    ? scriptName.Text()
                                               : "";
  bool secure = IsHttpsOn(https.Text());
  PublicAddress address;
  address.scheme = secure ? "https" : "http";
  address.host = host.IsSet() ? host.Text() : nullptr;
  // A trailing "/" on the prefix would double the one every target path has.
  char trimmedPrefix[kSettingTextSize + kPathBufferSize];
  size_t prefixLength = std::strlen(prefix);
  if (prefixLength >= sizeof trimmedPrefix) prefixLength = sizeof trimmedPrefix - 1;
  while (prefixLength > 0 && prefix[prefixLength - 1] == '/') --prefixLength;
  std::memcpy(trimmedPrefix, prefix, prefixLength);
  trimmedPrefix[prefixLength] = '\0';
  address.prefix = trimmedPrefix;
  address.targetNames[0] = settings_.targetServer;
  address.targetNames[1] = settings_.targetName;
  address.targetNames[2] = settings_.targetTls ? settings_.tlsServerName : "";
  address.targetPort = settings_.targetPort;
  address.targetTls = settings_.targetTls != 0;
  return RewriteReplyHeader(reply, length, address, newLength);
}
