#include "forwarding/authorization.h"

#include <utility>

#include "forwarding/header_map.h"

namespace {

constexpr int kAuthorizationRow = HeaderRowOf("Authorization");
constexpr int kProxyAuthorizationRow = HeaderRowOf("Proxy-Authorization");
static_assert(kAuthorizationRow >= 0 && kProxyAuthorizationRow >= 0,
              "the credential rows are in the map");

}  // namespace

VariableCopy HeaderRowValue(CgiForwarder& forwarder, const ForwardSettings& settings, int row) {
  if (settings.passAuthorization) {
    if (row == kProxyAuthorizationRow) return VariableCopy();
    if (row == kAuthorizationRow) {
      VariableCopy browsers(forwarder, "HTTP_AUTHORIZATION");
      return browsers.IsSet() ? std::move(browsers)
                              : VariableCopy(forwarder, "REDIRECT_HTTP_AUTHORIZATION");
    }
  }
  return VariableCopy(forwarder, kHeaderMap[row].variable);
}
