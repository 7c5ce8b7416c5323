// The settings record: one per process, filled from the settings file at start
// and lent to the forwarder for the whole request.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform {
struct TlsClient;
}

// Room for the program's own path and anything derived from it.
constexpr size_t kPathBufferSize = 4096;
// Texts read from the settings file are cut to 255 characters.
constexpr size_t kSettingTextSize = 256;
// A command line is never cut: one that does not fit is not run at all.
constexpr size_t kCommandSize = 4096;
// A path list is never cut either (a cut list could allow what it was written
// to refuse): one longer than 4,095 characters fails every request.
constexpr size_t kPathListSize = 4096;
// Settings whose text was not understood, for the request log: a few lines,
// kept from the one reading of the file.
constexpr size_t kMaxSettingWarnings = 8;
constexpr size_t kSettingWarningSize = 96;

// How replies and request bodies go through ("Streaming"): held whole (0),
// streamed as they flow (1), or held while small and streamed past
// "HoldLimit" or when the reply is a live stream (absent: the default).
enum class Relay : uint8_t { kHeld, kStreamed, kAdaptive };

struct ForwardSettings {
  // The target's name as the Host line carries it: "TargetServer" as written,
  // "127.0.0.1" for the loopback names, an IPv6 address in brackets. Its
  // addresses are looked up at each connect (targetHost), never here.
  char targetName[kSettingTextSize];
  uint16_t targetPort;
  char allowedPaths[kPathListSize + 1];    // comma-separated prefixes; "" = no limit
  char forbiddenPaths[kPathListSize + 1];  // comma-separated prefixes; "" = none
  int32_t timeoutSeconds;
  uint8_t debugProcess;                   // kept, read by nothing
  uint8_t logEnabled;
  char logPath[kPathBufferSize + 8];
  FILE* logFile;                          // open only during HandleRequest

  // Settings for applications behind the gateway and for large transfers;
  // each is off by default.
  char targetServer[kSettingTextSize];  // "TargetServer" exactly as written
  uint8_t forwardOtherHeaders;          // pass unmapped HTTP_ variables on
  uint8_t addForwardedHeaders;          // X-Forwarded-For/-Host/-Proto
  uint8_t rewriteRedirects;             // Location, Content-Location, Set-Cookie
  uint8_t publicPathSet;                // "PublicPath" given (else SCRIPT_NAME)
  char publicPath[kSettingTextSize];
  int32_t connectTimeoutSeconds;        // 0: the system's own

  // Settings for an application on a shared host; each off by default.
  char targetSocket[kSettingTextSize];  // Unix domain socket path; "" = TCP
  uint8_t passAuthorization;            // the browser's Authorization as is
  char startCommand[kCommandSize];      // started when the target is not there
  int32_t startTimeoutSeconds;          // how long a start may take to accept
  // Derived from the program's path, only when there is a start command.
  char programFolder[kPathBufferSize];  // where the command runs
  char lockPath[kPathBufferSize + 8];   // one start at a time
  char startLogPath[kPathBufferSize + 16];  // the application's output
  // TLS to the target; off by default.
  uint8_t targetTls;                    // the connection to the target is TLS
  uint8_t tlsVerify;                    // chain and name checks (default on)
  char tlsCaFile[kSettingTextSize];     // PEM roots instead of the system's; "" = system
  char tlsServerName[kSettingTextSize]; // SNI and certificate name; "" = TargetServer
  // Not from the file: in FastCGI mode the process's TLS context and last
  // session, lent to each request's connection; nullptr as a CGI program,
  // where each connection makes its own.
  platform::TlsClient* tlsClient;

  // Applications as they are today: live replies, large bodies, the public
  // host, IPv6.
  Relay relay;
  int64_t holdLimit;                    // bytes held before a body flows (adaptive)
  uint8_t preserveHost;                 // the browser's Host in the Host line
  char targetHost[kSettingTextSize];    // looked up at each connect: TargetServer
                                        // without brackets; "" = loopback

  // Running a site: an access log, the gateway's own statuses and pages, the
  // application kept alive. Each off by default but StartLogLimit; files
  // named in the settings are found beside the program unless absolute.
  uint8_t accessLog;                            // one line per request
  uint8_t gatewayStatus;                        // 502/503/504 instead of 500
  char accessLogPath[kPathBufferSize + 16];
  char errorPage[kPathBufferSize + kSettingTextSize];        // "" = built-in body
  char maintenanceFile[kPathBufferSize + kSettingTextSize];  // 503 while it exists
  // For the application that StartCommand starts:
  char restartFile[kPathBufferSize + kSettingTextSize];  // touched: restart
  char environmentFile[kPathBufferSize + kSettingTextSize];  // KEY=VALUE lines
  int64_t startLogLimit;                        // bytes; 0 = no limit
  char processPath[kPathBufferSize + 8];        // its process ("" without a command)
  char backoffPath[kPathBufferSize + 16];       // its failed starts (likewise)

  // HTTP/1.1 to the target ("TargetHttp11"): 1 on, 0 off, kTargetHttp11Unset
  // while the file does not say (off as a CGI program; ApplyFastCgiDefaults
  // turns it on). Read as on only when 1.
  uint8_t targetHttp11;

  // What the file says that the gateway must not guess at.
  uint8_t diagnostics;                  // the reserved paths answered (default on)
  uint8_t pathListTooLong;              // every request fails rather than cut a list
  uint8_t settingWarningCount;
  char settingWarnings[kMaxSettingWarnings][kSettingWarningSize];
};

// "HoldLimit": 8 MiB unless set, never below what a reply header may take
// nor above what a held body may.
constexpr int64_t kDefaultHoldLimit = int64_t{8} << 20;
constexpr int64_t kMinHoldLimit = int64_t{64} << 10;
constexpr int64_t kMaxHoldLimit = int64_t{1} << 30;

constexpr uint8_t kTargetHttp11Unset = 2;

// Fills `settings` from the INI file beside the program (its path with the
// extension ".ini", section "Forward"). Never fails: absent keys take their
// defaults, an absent file gives all defaults.
void LoadForwardSettings(const char* programPath, ForwardSettings* settings);

// The defaults that differ in FastCGI mode, applied after each load: HTTP/1.1
// to the target unless the file says otherwise.
void ApplyFastCgiDefaults(ForwardSettings* settings);

// How the text of an on/off setting reads: 1/0, yes/no, true/false, on/off
// without regard to case, or a decimal number (on unless 0); anything else is
// not understood.
enum class OnOff { kOff, kOn, kNotUnderstood };
OnOff ReadOnOff(const char* text);

// Builds `programPath` with the extension of its file name replaced by
// `extension` (".ini", ".txt"); appended when the file name has none.
// Returns false when the result does not fit `size`.
bool ReplaceExtension(const char* programPath, const char* extension,
                      char* out, size_t size);
