// The settings for an application on a shared host: off when absent, and a
// start command is never cut.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(HostedAppSettings, ReadFromTheSettingsFile) {
  const struct {
    std::string ini;
    const char* socket;
    int pass;
    std::string command;
    int timeout;
  } rows[] = {
      {"TargetPort=81\n", "", 0, "", 30},
      {"targetsocket=/a.sock\nPassAuthorization=7\nStartCommand=exec node s.js\nStartTimeout=12\n",
       "/a.sock", 1, "exec node s.js", 12},
      {"StartCommand=run\nStartTimeout=0\n", "", 0, "run", 1},
      {"StartCommand=run\nStartTimeout=99999\n", "", 0, "run", 3600},
      {"StartCommand=" + std::string(5000, 'x') + "\n", "", 0, "", 30},  // not run at all
  };
  for (const auto& row : rows) {
    TempFolder folder;
    folder.Write("nph-gw.ini", "[Forward]\n" + row.ini);
    ForwardSettings settings;
    std::memset(&settings, 0x5A, sizeof settings);  // no field may keep stale bytes
    LoadForwardSettings(folder.File("nph-gw").c_str(), &settings);
    EXPECT_STREQ(row.socket, settings.targetSocket) << row.ini;
    EXPECT_EQ(row.pass, settings.passAuthorization) << row.ini;
    EXPECT_EQ(row.command, settings.startCommand) << row.ini.substr(0, 40);
    EXPECT_EQ(row.timeout, settings.startTimeoutSeconds) << row.ini;
    EXPECT_EQ(row.command.empty() ? "" : folder.File("nph-gw.lock"), settings.lockPath);
  }
}

}  // namespace
