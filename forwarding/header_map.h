// Which request headers travel to the target, and from which CGI variables.
#pragma once

struct HeaderRow {
  const char* header;    // HTTP header name
  const char* variable;  // CGI variable that carries it
};

constexpr int kHeaderMapRows = 50;
// Sites rely on two of these pairs as they stand: "Authorization" carries the
// user the web server authenticated (REMOTE_USER), "Proxy-Authorization" the
// browser's credentials. The hop-by-hop rows are never sent.
inline constexpr HeaderRow kHeaderMap[kHeaderMapRows] = {
    {"Accept", "HTTP_ACCEPT"},
    {"Accept-Charset", "HTTP_ACCEPT_CHARSET"},
    {"Accept-Encoding", "HTTP_ACCEPT_ENCODING"},
    {"Accept-Language", "HTTP_ACCEPT_LANGUAGE"},
    {"Accept-Ranges", "HTTP_ACCEPT_RANGES"},
    {"Age", "HTTP_AGE"},
    {"Allow", "HTTP_ALLOW"},
    {"Authorization", "REMOTE_USER"},
    {"Cache-Control", "HTTP_CACHE_CONTROL"},
    {"Connection", "HTTP_CONNECTION"},
    {"Content-Encoding", "HTTP_CONTENT_ENCODING"},
    {"Content-Language", "CONTENT_LANGUAGE"},
    {"Content-Length", "CONTENT_LENGTH"},
    {"Content-Location", "HTTP_CONTENT_LOCATION"},
    {"Content-MD5", "HTTP_CONTENT_MD5"},
    {"Content-Range", "HTTP_CONTENT_RANGE"},
    {"Content-Type", "CONTENT_TYPE"},
    {"Date", "HTTP_DATE"},
    {"ETag", "HTTP_ETAG"},
    {"Expect", "HTTP_EXPECT"},
    {"Expires", "HTTP_EXPIRES"},
    {"From", "HTTP_FROM"},
    {"Host", "SERVER_NAME"},
    {"If-Match", "HTTP_IF_MATCH"},
    {"If-Modified-Since", "HTTP_IF_MODIFIED_SINCE"},
    {"If-None-Match", "HTTP_IF_NONE_MATCH"},
    {"If-Range", "HTTP_IF_RANGE"},
    {"If-Unmodified-Since", "HTTP_IF_UNMODIFIED_SINCE"},
    {"Last-Modified", "HTTP_LAST_MODIFIED"},
    {"Location", "HTTP_LOCATION"},
    {"Max-Forwards", "HTTP_MAX_FORWARDS"},
    {"MIME-Version", "HTTP_MIME_VERSION"},
    {"Pragma", "HTTP_PRAGMA"},
    {"Proxy-Authenticate", "HTTP_PROXY_AUTHENTIFICATION"},
    {"Proxy-Authorization", "HTTP_AUTHORIZATION"},
    {"Range", "HTTP_RANGE"},
    {"Referer", "HTTP_REFERER"},
    {"Retry-After", "HTTP_RETRY_AFTER"},
    {"Server", "HTTP_SERVER"},
    {"TE", "HTTP_TE"},
    {"Trailer", "HTTP_TRAILER"},
    {"Transfer-Encoding", "HTTP_TRANSFER_ENCODING"},
    {"Upgrade", "HTTP_UPGRADE"},
    {"User-Agent", "HTTP_USER_AGENT"},
    {"Vary", "HTTP_VARY"},
    {"Via", "HTTP_VIA"},
    {"Warning", "HTTP_WARNING"},
    {"WWW-Authenticate", "HTTP_WWW_AUTHENTICATE"},
    {"Cookie", "HTTP_COOKIE"},
    {"Set-Cookie", "HTTP_SET_COOKIE"},
};

// The row whose header is `header` (spelt as the table spells it), or -1.
// Rows are named, never numbered: `constexpr int kHostRow = HeaderRowOf("Host")`
// with a static_assert that it is there.
constexpr int HeaderRowOf(const char* header) {
  for (int row = 0; row < kHeaderMapRows; ++row) {
    const char* name = kHeaderMap[row].header;
    const char* wanted = header;
    while (*name != '\0' && *name == *wanted) ++name, ++wanted;
    if (*name == *wanted) return row;
  }
  return -1;
}
