// The settings for an application on a shared host: off when absent, the
// start command never cut, its files beside the program.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

struct Row {
  const char* name;
  std::string ini;
  const char* socket;
  int pass;
  std::string command;
  int timeout;
};

TEST(HostedAppSettings, ReadFromTheSettingsFile) {
  const std::string longCommand(5000, 'x');
  const Row rows[] = {
      {"absent", "[Forward]\nTargetPort=81\n", "", 0, "", 30},
      {"each set", "[Forward]\nTargetSocket=/home/me/app.sock\nPassAuthorization=1\n"
                   "StartCommand=umask 077; exec node server.js\nStartTimeout=12\n",
       "/home/me/app.sock", 1, "umask 077; exec node server.js", 12},
      {"names without regard to case", "[forward]\ntargetsocket=s\npassauthorization=7\n"
                                       "STARTCOMMAND=run\nstarttimeout=5\n",
       "s", 1, "run", 5},
      {"switch off, timeout without digits",
       "[Forward]\nPassAuthorization=0\nStartCommand=run\nStartTimeout=soon\n", "", 0, "run", 30},
      {"timeout at least 1", "[Forward]\nStartCommand=run\nStartTimeout=0\n", "", 0, "run", 1},
      {"timeout at most an hour", "[Forward]\nStartCommand=run\nStartTimeout=99999\n", "", 0,
       "run", 3600},
      {"a command too long to hold is not run at all",
       "[Forward]\nStartCommand=" + longCommand + "\n", "", 0, "", 30},
  };
  for (const Row& row : rows) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Write("nph-gw.ini", row.ini);
    ForwardSettings settings;
    std::memset(&settings, 0x5A, sizeof settings);  // no field may keep stale bytes
    LoadForwardSettings(folder.File("nph-gw").c_str(), &settings);
    EXPECT_STREQ(row.socket, settings.targetSocket) << row.name;
    EXPECT_EQ(row.pass, settings.passAuthorization) << row.name;
    EXPECT_EQ(row.command, settings.startCommand) << row.name;
    EXPECT_EQ(row.timeout, settings.startTimeoutSeconds) << row.name;
  }
}

TEST(HostedAppSettings, StartFilesLieBesideTheProgram) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  folder.Write("nph-shop.ini", "[Forward]\nStartCommand=run\n");
  ForwardSettings settings;
  LoadForwardSettings(folder.File("nph-shop.exe").c_str(), &settings);
  EXPECT_EQ(folder.File("nph-shop.lock"), settings.lockPath);
  EXPECT_EQ(folder.File("nph-shop.start.log"), settings.startLogPath);
  std::string program = folder.File("nph-shop.exe");
  EXPECT_EQ(program.substr(0, program.size() - std::strlen("/nph-shop.exe")),
            settings.programFolder);
}

}  // namespace
