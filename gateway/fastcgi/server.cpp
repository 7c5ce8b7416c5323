#include "gateway/fastcgi/server.h"

#include <new>

#include "forwarding/target_connection.h"
#include "gateway/fastcgi/fastcgi_forwarder.h"
#include "gateway/fastcgi/params.h"
#include "gateway/fastcgi/routing.h"
#include "platform/fastcgi_listener.h"
#include "platform/files.h"
#include "platform/program.h"
#include "platform/socket.h"
#include "platform/tls.h"

using fastcgi::Connection;
using fastcgi::Record;

void ServeFastCgiConnection(Connection& connection, ForwardSettings& settings, const char* version,
                            void (*refresh)(void*), void* context, TargetConnection* target) {
  for (;;) {
    Record record;
    if (!fastcgi::NextRecord(connection, 0, &record) || record.header.contentLength < 8) {
      connection.Flush();  // the answers to management records before it
      return;
    }
    const uint16_t requestId = record.header.requestId;
    const unsigned char* body = reinterpret_cast<const unsigned char*>(record.content);
    const bool keep = (body[2] & fastcgi::kKeepConnection) != 0;
    if ((body[0] << 8 | body[1]) != fastcgi::kResponderRole) {
      fastcgi::EndRequest(connection, requestId, fastcgi::kUnknownRole);
      if (!connection.Flush() || !keep) return;
      continue;
    }
    GrowingBuffer params;
    if (!fastcgi::ReadParams(connection, requestId, params)) {
      fastcgi::EndRequest(connection, requestId, fastcgi::kRequestComplete);
      if (!connection.Flush() || !keep) return;
      continue;
    }
    if (refresh) refresh(context);
    FastCgiForwarder forwarder(settings, connection, requestId, params);
    forwarder.LendTargetConnection(target);
    forwarder.HandleRequest(version);
    if (!forwarder.Finish(keep)) return;
  }
}

namespace {

// The settings file as last read, and the time stamp it had then.
struct LiveSettings {
  const char* programPath;
  ForwardSettings* settings;
  TargetConnection* target;
  char profilePath[kPathBufferSize + 8];
  int64_t stamp;
};

void RefreshSettings(void* context) {
  LiveSettings& live = *static_cast<LiveSettings*>(context);
  int64_t stamp = platform::FileStamp(live.profilePath);
  if (stamp == live.stamp) return;
  live.stamp = stamp;
  // A connection made for other settings (another target, TLS or not) is
  // not used again.
  live.target->Close();
  LoadForwardSettings(live.programPath, live.settings);
  ApplyFastCgiDefaults(live.settings);
}

}  // namespace

void ServeFastCgi(const char* programPath, ForwardSettings& settings, const char* version) {
  platform::KeepMemoryBetweenRequests();
  static LiveSettings live;
  TargetConnection target(settings);
  live.programPath = programPath;
  live.settings = &settings;
  live.target = &target;
  if (!ReplaceExtension(programPath, ".ini", live.profilePath, sizeof live.profilePath)) {
    live.profilePath[0] = '\0';
  }
  // A stamp no file has: the first request reads the file as it is then.
  live.stamp = -2;
  // One TLS context for every request of the process, and the last session.
  settings.tlsClient = platform::MakeTlsClient();
  for (;;) {
    platform::SocketHandle socket = platform::AcceptOnStandardInput();
    if (socket == platform::kNoSocket) break;
    Connection* connection = new (std::nothrow) Connection(socket);
    if (!connection) {
      platform::CloseConnection(socket);
      continue;
    }
    ServeFastCgiConnection(*connection, settings, version, RefreshSettings, &live, &target);
    delete connection;
  }
  platform::EndTlsClient(settings.tlsClient);
  settings.tlsClient = nullptr;
}
