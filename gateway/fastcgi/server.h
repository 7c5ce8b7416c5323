// FastCGI mode: the web server starts the program once and hands it request
// after request over a connection.
#pragma once

#include "gateway/fastcgi/connection.h"
#include "settings/forward_settings.h"

// Serves the requests of one connection, one at a time, until the web server
// closes it or a request did not ask to keep it. `refresh` (may be null) runs
// before each request and may update `settings`.
void ServeFastCgiConnection(fastcgi::Connection& connection, ForwardSettings& settings,
                            const char* version, void (*refresh)(void*), void* context);

// The program's loop in FastCGI mode: accepts connections on standard input
// for as long as the web server keeps the process. The settings file is read
// again whenever its time stamp changes.
void ServeFastCgi(const char* programPath, ForwardSettings& settings, const char* version);
