// Where the credential rows of the header map take their values.
#pragma once

#include "gateway/cgi_forwarder.h"
#include "settings/forward_settings.h"

// The value of the header map's `row` for this request: the row's variable.
// As the gateway has always done, "Authorization" carries the user the web
// server authenticated (REMOTE_USER) and "Proxy-Authorization" the browser's
// credentials. With "PassAuthorization" on, the browser's credentials go out
// as "Authorization" (from HTTP_AUTHORIZATION, or REDIRECT_HTTP_AUTHORIZATION
// after a rewrite) and not also as "Proxy-Authorization".
VariableCopy HeaderRowValue(CgiForwarder& forwarder, const ForwardSettings& settings, int row);
