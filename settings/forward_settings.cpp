#include "settings/forward_settings.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "base/http_message.h"
#include "base/text.h"
#include "platform/profile.h"

namespace {

constexpr const char* kSection = "Forward";
constexpr const char* kAbsent = "\x01";
constexpr long kDefaultStartLogLimit = 1024 * 1024;
// What GetInteger gives for a key that is absent or holds no number.
constexpr long kNoNumber = LONG_MIN;

// An on/off key: `absent` when it is absent or empty, `off` or `on` when its
// text is one of the on/off words or a number (any but 0 is on); any other
// text gives `safe`, and a line for the request log saying what was kept.
template <class Value>
Value LoadSwitch(const platform::ProfileFile& profile, const char* key, Value off, Value on,
                 Value absent, Value safe, const char* kept, ForwardSettings* settings) {
  char text[64];
  profile.GetString(kSection, key, "", text, sizeof text);
  if (text[0] == '\0') return absent;
  const OnOff read = ReadOnOff(text);
  if (read != OnOff::kNotUnderstood) return read == OnOff::kOn ? on : off;
  if (settings->settingWarningCount < kMaxSettingWarnings) {
    std::snprintf(settings->settingWarnings[settings->settingWarningCount++], kSettingWarningSize,
                  "Setting not understood: %s=%.40s (kept %s)", key, text, kept);
  }
  return safe;
}

// A plain on/off key, `absent` by default and `safe` when not understood.
uint8_t LoadFlag(const platform::ProfileFile& profile, const char* key, bool absent, bool safe,
                 ForwardSettings* settings) {
  return LoadSwitch<uint8_t>(profile, key, 0, 1, absent, safe, safe ? "on" : "off", settings);
}

// The target's name: kept as written, for the lookup at each connect and for
// the Host line. The loopback names (empty, "localhost", an unspecified
// address) are named 127.0.0.1 in the Host line, as they always were; an IPv6
// address goes there in brackets.
void LoadTargetName(const platform::ProfileFile& profile, ForwardSettings* settings) {
  profile.GetString(kSection, "TargetServer", "", settings->targetServer,
                    sizeof settings->targetServer);
  const char* server = settings->targetServer;
  size_t length = std::strlen(server);
  bool bracketed = length >= 2 && server[0] == '[' && server[length - 1] == ']';
  if (bracketed) {
    std::memcpy(settings->targetHost, server + 1, length - 2);
    settings->targetHost[length - 2] = '\0';
  } else {
    CopyText(settings->targetHost, sizeof settings->targetHost, server);
  }
  const char* host = settings->targetHost;
  // The unspecified addresses mean this machine, as a connect to them does
  // on Linux.
  if (std::strcmp(host, "0.0.0.0") == 0 || std::strcmp(host, "::") == 0) {
    settings->targetHost[0] = '\0';
  }
  if (host[0] == '\0' || EqualsNoCase(host, "localhost")) {
    CopyText(settings->targetName, sizeof settings->targetName, "127.0.0.1");
  } else if (std::strchr(host, ':') && std::strlen(host) + 3 <= sizeof settings->targetName) {
    // No host name holds a ":": an IPv6 address, bracketed as in a URL.
    settings->targetName[0] = '[';
    std::strcpy(settings->targetName + 1, host);
    std::strcat(settings->targetName, "]");
  } else {
    CopyText(settings->targetName, sizeof settings->targetName, host);
  }
}

// Streaming (three ways), HoldLimit, PreserveHost and TargetHttp11.
void LoadApplicationSettings(const platform::ProfileFile& profile, ForwardSettings* settings) {
  settings->relay = LoadSwitch(profile, "Streaming", Relay::kHeld, Relay::kStreamed,
                               Relay::kAdaptive, Relay::kAdaptive, "adaptive", settings);
  long limit = profile.GetInteger(kSection, "HoldLimit", kNoNumber);
  settings->holdLimit = limit == kNoNumber    ? kDefaultHoldLimit
                        : limit < kMinHoldLimit ? kMinHoldLimit
                        : limit > kMaxHoldLimit ? kMaxHoldLimit
                                                : limit;
  settings->preserveHost = LoadFlag(profile, "PreserveHost", false, false, settings);
  settings->targetHttp11 = LoadSwitch<uint8_t>(profile, "TargetHttp11", 0, 1, kTargetHttp11Unset,
                                               kTargetHttp11Unset, "default", settings);
}

// The folder part of `path` (without its last separator); "" when it has none.
void CopyFolder(const char* path, char* out, size_t size) {
  size_t length = 0;
  for (size_t i = 0; path[i]; ++i) {
    if (path[i] == '/' || path[i] == '\\') length = i;
  }
  if (length >= size) length = 0;
  std::memcpy(out, path, length);
  out[length] = '\0';
}

// The path a setting names: as written when absolute, else in the folder of
// `programPath` (`folderLength` bytes of it, its separator after them); ""
// when the setting is empty or the path does not fit (never a cut path).
void ReadPath(const platform::ProfileFile& profile, const char* key, const char* programPath,
              size_t folderLength, char* out, size_t size) {
  char value[kSettingTextSize];
  profile.GetString(kSection, key, "", value, sizeof value);
  out[0] = '\0';
  if (value[0] == '\0') return;
  const bool absolute =
      value[0] == '/' || value[0] == '\\' || (IsAsciiLetter(value[0]) && value[1] == ':');
  const size_t prefix = absolute || folderLength == 0 ? 0 : folderLength + 1;
  const size_t length = std::strlen(value);
  if (prefix + length >= size) return;
  std::memcpy(out, programPath, prefix);
  std::memcpy(out + prefix, value, length + 1);
}

// The keys for running a site; the start's records only with a start command.
void LoadSiteSettings(const platform::ProfileFile& profile, const char* programPath,
                      ForwardSettings* settings) {
  char folder[kPathBufferSize];
  CopyFolder(programPath, folder, sizeof folder);
  const size_t folderLength = std::strlen(folder);
  settings->accessLog = LoadFlag(profile, "AccessLog", false, false, settings);
  settings->gatewayStatus = LoadFlag(profile, "GatewayStatus", false, false, settings);
  if (!ReplaceExtension(programPath, ".access.log", settings->accessLogPath,
                        sizeof settings->accessLogPath)) {
    settings->accessLog = 0;
  }
  const struct {
    const char* key;
    char* path;
    size_t size;
  } paths[] = {
      {"ErrorPage", settings->errorPage, sizeof settings->errorPage},
      {"MaintenanceFile", settings->maintenanceFile, sizeof settings->maintenanceFile},
      {"RestartFile", settings->restartFile, sizeof settings->restartFile},
      {"EnvFile", settings->environmentFile, sizeof settings->environmentFile},
  };
  for (const auto& path : paths) {
    ReadPath(profile, path.key, programPath, folderLength, path.path, path.size);
  }
  long limit = profile.GetInteger(kSection, "StartLogLimit", kDefaultStartLogLimit);
  settings->startLogLimit = limit < 0 ? kDefaultStartLogLimit : limit;
  settings->processPath[0] = '\0';
  settings->backoffPath[0] = '\0';
  if (settings->startCommand[0] == '\0') return;
  if (!ReplaceExtension(programPath, ".pid", settings->processPath,
                        sizeof settings->processPath) ||
      !ReplaceExtension(programPath, ".backoff", settings->backoffPath,
                        sizeof settings->backoffPath)) {
    settings->startCommand[0] = '\0';
  }
}

// StartCommand, StartTimeout and the files the start uses beside the program.
void LoadStartSettings(const platform::ProfileFile& profile, const char* programPath,
                       ForwardSettings* settings) {
  settings->startCommand[0] = '\0';
  settings->programFolder[0] = '\0';
  settings->lockPath[0] = '\0';
  settings->startLogPath[0] = '\0';
  settings->startTimeoutSeconds = 30;
  profile.GetString(kSection, "StartCommand", "", settings->startCommand,
                    sizeof settings->startCommand);
  long timeout = profile.GetInteger(kSection, "StartTimeout", 30);
  settings->startTimeoutSeconds =
      timeout < 1 ? 1 : timeout > 3600 ? 3600 : static_cast<int32_t>(timeout);
  if (settings->startCommand[0] == '\0') return;
  // A command that filled the buffer may have been cut: running the front
  // part of a command line could do anything.
  if (std::strlen(settings->startCommand) + 1 >= sizeof settings->startCommand ||
      !ReplaceExtension(programPath, ".lock", settings->lockPath, sizeof settings->lockPath) ||
      !ReplaceExtension(programPath, ".start.log", settings->startLogPath,
                        sizeof settings->startLogPath)) {
    settings->startCommand[0] = '\0';
    return;
  }
  CopyFolder(programPath, settings->programFolder, sizeof settings->programFolder);
}

}  // namespace

void ApplyFastCgiDefaults(ForwardSettings* settings) {
  if (settings->targetHttp11 == kTargetHttp11Unset) settings->targetHttp11 = 1;
}

OnOff ReadOnOff(const char* text) {
  static const char* const kWords[][2] = {{"no", "yes"}, {"false", "true"}, {"off", "on"}};
  for (const auto& words : kWords) {
    if (EqualsNoCase(text, words[0])) return OnOff::kOff;
    if (EqualsNoCase(text, words[1])) return OnOff::kOn;
  }
  // A number, as these keys were first read: any but 0 is on.
  const char* digits = text + (*text == '+' || *text == '-');
  if (*digits == '\0') return OnOff::kNotUnderstood;
  bool zero = true;
  for (const char* at = digits; *at; ++at) {
    if (!IsAsciiDigit(*at)) return OnOff::kNotUnderstood;
    zero = zero && *at == '0';
  }
  return zero ? OnOff::kOff : OnOff::kOn;
}

bool ReplaceExtension(const char* programPath, const char* extension, char* out,
                      size_t size) {
  // Only the file name's own "." counts: a folder such as "example.com" must
  // not swallow the rest of the path.
  size_t length = std::strlen(programPath);
  size_t nameStart = 0;
  for (size_t i = 0; i < length; ++i) {
    if (programPath[i] == '/' || programPath[i] == '\\') nameStart = i + 1;
  }
  size_t stem = length;
  for (size_t i = length; i > nameStart; --i) {
    if (programPath[i - 1] == '.') {
      stem = i - 1;
      break;
    }
  }
  size_t extensionLength = std::strlen(extension);
  if (stem + extensionLength + 1 > size) {
    if (size > 0) out[0] = '\0';
    return false;
  }
  std::memmove(out, programPath, stem);
  std::memcpy(out + stem, extension, extensionLength + 1);
  return true;
}

void LoadForwardSettings(const char* programPath, ForwardSettings* settings) {
  settings->targetPort = 8080;
  CopyText(settings->allowedPaths, sizeof settings->allowedPaths, "/");
  settings->forbiddenPaths[0] = '\0';
  settings->timeoutSeconds = 300;
  settings->debugProcess = 0;
  settings->logEnabled = 0;
  settings->logPath[0] = '\0';
  settings->logFile = nullptr;
  settings->targetServer[0] = '\0';
  settings->forwardOtherHeaders = 0;
  settings->addForwardedHeaders = 0;
  settings->rewriteRedirects = 0;
  settings->publicPathSet = 0;
  settings->publicPath[0] = '\0';
  settings->connectTimeoutSeconds = 0;
  settings->targetTls = 0;
  settings->tlsVerify = 1;
  settings->tlsCaFile[0] = '\0';
  settings->tlsServerName[0] = '\0';
  settings->settingWarningCount = 0;

  char profilePath[kPathBufferSize + 8];
  if (!ReplaceExtension(programPath, ".ini", profilePath, sizeof profilePath)) {
    profilePath[0] = '\0';
  }
  ReplaceExtension(programPath, ".txt", settings->logPath, sizeof settings->logPath);

  platform::ProfileFile profile(profilePath);
  LoadTargetName(profile, settings);
  profile.GetString(kSection, "TargetSocket", "", settings->targetSocket,
                    sizeof settings->targetSocket);

  // Integers keep the low bits that fit their field, as the Windows profile
  // functions do, so a settings file reads the same on both systems.
  // Over TLS an absent port means HTTPS's own, as an https:// address does.
  // Not understood, TLS stays on (whatever was meant, it was not a clear
  // "off"), and so do the checks.
  settings->targetTls = LoadFlag(profile, "TargetTls", false, true, settings);
  settings->targetPort = static_cast<uint16_t>(static_cast<unsigned long>(
      profile.GetInteger(kSection, "TargetPort", settings->targetTls ? DefaultPort(true) : 8080)));
  settings->tlsVerify = LoadFlag(profile, "TlsVerify", true, true, settings);
  profile.GetString(kSection, "TlsCaFile", "", settings->tlsCaFile, sizeof settings->tlsCaFile);
  profile.GetString(kSection, "TlsServerName", "", settings->tlsServerName,
                    sizeof settings->tlsServerName);
  settings->timeoutSeconds =
      static_cast<int32_t>(static_cast<uint32_t>(profile.GetInteger(kSection, "Timeout", 300)));
  profile.GetString(kSection, "Allowed", "/", settings->allowedPaths, sizeof settings->allowedPaths);
  profile.GetString(kSection, "Forbidden", "", settings->forbiddenPaths,
                    sizeof settings->forbiddenPaths);
  settings->pathListTooLong = std::strlen(settings->allowedPaths) >= kPathListSize ||
                              std::strlen(settings->forbiddenPaths) >= kPathListSize;
  settings->debugProcess =
      static_cast<uint8_t>(static_cast<unsigned long>(profile.GetInteger(kSection, "DebugProcess", 0)));
  settings->logEnabled =
      static_cast<uint8_t>(static_cast<unsigned long>(profile.GetInteger(kSection, "Log", 0)));

  settings->forwardOtherHeaders = LoadFlag(profile, "ForwardOtherHeaders", false, false, settings);
  settings->addForwardedHeaders = LoadFlag(profile, "AddForwardedHeaders", false, false, settings);
  settings->rewriteRedirects = LoadFlag(profile, "RewriteRedirects", false, false, settings);
  long connectTimeout = profile.GetInteger(kSection, "ConnectTimeout", 0);
  settings->connectTimeoutSeconds =
      connectTimeout < 0 ? 0 : connectTimeout > 86400 ? 86400 : static_cast<int32_t>(connectTimeout);
  // An empty PublicPath is a real choice (a site routed wholly to the gateway),
  // so absence is told apart by a value no setting can hold.
  profile.GetString(kSection, "PublicPath", kAbsent, settings->publicPath,
                    sizeof settings->publicPath);
  settings->publicPathSet = std::strcmp(settings->publicPath, kAbsent) != 0;
  if (!settings->publicPathSet) settings->publicPath[0] = '\0';

  settings->passAuthorization = LoadFlag(profile, "PassAuthorization", false, false, settings);
  settings->diagnostics = LoadFlag(profile, "Diagnostics", true, true, settings);
  LoadStartSettings(profile, programPath, settings);
  LoadApplicationSettings(profile, settings);
  LoadSiteSettings(profile, programPath, settings);
}
