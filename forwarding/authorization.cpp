#include "forwarding/authorization.h"

#include <utility>

#include "forwarding/header_map.h"

namespace {

constexpr int kAuthorizationRow = 7;
constexpr int kProxyAuthorizationRow = 34;

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
