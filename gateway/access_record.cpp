// The access log's line for the request just served ("AccessLog").
#include <initializer_list>

#include "base/growing_buffer.h"
#include "gateway/cgi_forwarder.h"
#include "log/access_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

// The request line as the browser sent it: the web server's REQUEST_URI
// where it gives one (Apache does), else put together from the script's
// path, the extra path and the query (IIS).
void AppendRequestLine(CgiForwarder& forwarder, GrowingBuffer& line) {
  VariableCopy method(forwarder, "REQUEST_METHOD");
  line.Append(method.IsSet() ? method.Text() : "-");
  line.Append(" ");
  VariableCopy uri(forwarder, "REQUEST_URI");
  if (uri.IsSet()) {
    line.Append(uri.Text());
  } else {
    for (const char* name : {"SCRIPT_NAME", "PATH_INFO"}) {
      VariableCopy part(forwarder, name);
      if (part.IsSet()) line.Append(part.Text());
    }
    VariableCopy query(forwarder, "QUERY_STRING");
    if (query.IsSet() && query.Text()[0] != '\0') {
      line.Append("?");
      line.Append(query.Text());
    }
  }
  VariableCopy protocol(forwarder, "SERVER_PROTOCOL");
  line.Append(" ");
  line.Append(protocol.IsSet() ? protocol.Text() : "-");
}

}  // namespace

void CgiForwarder::WriteAccessLine(const char* outcome, int64_t milliseconds) {
  GrowingBuffer requestLine;
  AppendRequestLine(*this, requestLine);
  VariableCopy address(*this, "REMOTE_ADDR");
  VariableCopy user(*this, "REMOTE_USER");
  VariableCopy referer(*this, "HTTP_REFERER");
  VariableCopy userAgent(*this, "HTTP_USER_AGENT");
  AccessEntry entry;
  entry.clientAddress = address.Text();
  entry.user = user.Text();
  entry.unixSeconds = (platform::WallClockMilliseconds() - milliseconds) / 1000;
  entry.requestLine = requestLine.Data();
  entry.status = response_.status;
  entry.bodyBytes = response_.bodyBytes;
  entry.referer = referer.Text();
  entry.userAgent = userAgent.Text();
  entry.milliseconds = milliseconds;
  entry.outcome = outcome;
  GrowingBuffer line;
  AppendAccessLine(entry, line);
  if (line.Failed() || requestLine.Failed() ||
      !platform::AppendToOwnFile(settings_.accessLogPath, line.Data(),
                                 static_cast<size_t>(line.Length()))) {
    Log().SocketError("%sAccess log not usable: %ld", "\t", platform::LastSystemError());
  }
}
