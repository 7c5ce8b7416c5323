// FastCGI mode: the web server starts the program once and hands it request
// after request over a connection.
#pragma once

#include "gateway/fastcgi/connection.h"
#include "settings/forward_settings.h"

class TargetConnection;

// Serves the requests of one connection, one at a time, until the web server
// closes it or a request did not ask to keep it. `refresh` (may be null) runs
// before each request and may update `settings`. Each request's exchange goes
// through `target` (may be null: one connection per request).
void ServeFastCgiConnection(fastcgi::Connection& connection, ForwardSettings& settings,
                            const char* version, void (*refresh)(void*), void* context,
                            TargetConnection* target);

// The program's loop in FastCGI mode: accepts connections on standard input
// for as long as the web server keeps the process. The settings file is read
// again whenever its time stamp changes. One connection to the target is kept
// from request to request while the target allows, and closed when the
// settings change.
void ServeFastCgi(const char* programPath, ForwardSettings& settings, const char* version);
