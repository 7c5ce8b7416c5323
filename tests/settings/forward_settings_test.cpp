#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

// Loads the settings of a program "nph-gw" in a fresh folder, beside an
// "nph-gw.ini" holding `ini` (no file at all when `ini` is nullptr).
class LoadSettings : public ::testing::Test {
 protected:
  ForwardSettings Load(const char* ini) {
    EXPECT_TRUE(folder_.Ok());
    if (ini) folder_.Write("nph-gw.ini", ini);
    ForwardSettings settings;
    std::memset(&settings, 0x5A, sizeof settings);  // no field may keep stale bytes
    LoadForwardSettings(ProgramPath().c_str(), &settings);
    return settings;
  }
  ForwardSettings Load(const std::string& ini) { return Load(ini.c_str()); }
  std::string ProgramPath() const { return folder_.File("nph-gw"); }

  TempFolder folder_;
};

void ExpectDefaults(const ForwardSettings& settings) {
  EXPECT_STREQ("127.0.0.1", settings.targetName);
  EXPECT_EQ(kLoopbackAddress, settings.targetAddress);
  EXPECT_EQ(8080, settings.targetPort);
  EXPECT_STREQ("/", settings.allowedPaths);
  EXPECT_STREQ("", settings.forbiddenPaths);
  EXPECT_EQ(300, settings.timeoutSeconds);
  EXPECT_EQ(0, settings.debugProcess);
  EXPECT_EQ(0, settings.logEnabled);
  EXPECT_EQ(nullptr, settings.logFile);
}

TEST_F(LoadSettings, NoFileGivesTheDefaults) {
  ForwardSettings settings = Load(nullptr);
  ExpectDefaults(settings);
  EXPECT_EQ(ProgramPath() + ".txt", settings.logPath);
}

TEST_F(LoadSettings, FileWithoutTheSectionGivesTheDefaults) {
  ExpectDefaults(Load("[Other]\nTargetPort=81\nLog=1\n"));
  ExpectDefaults(Load("TargetPort=81\n"));  // a key above every section belongs to none
  ExpectDefaults(Load(""));
}

TEST_F(LoadSettings, ReadsEveryKey) {
  ForwardSettings settings = Load(
      "[Forward]\n"
      "TargetServer=10.1.2.3\n"
      "TargetPort=81\n"
      "Timeout=45\n"
      "Allowed=/shop,/img\n"
      "Forbidden=/shop/admin\n"
      "DebugProcess=1\n"
      "Log=1\n");
  // A dotted address is kept with the name as written; nothing connects to it.
  EXPECT_STREQ("10.1.2.3", settings.targetName);
  EXPECT_EQ(0x0A010203u, settings.targetAddress);
  EXPECT_EQ(81, settings.targetPort);
  EXPECT_EQ(45, settings.timeoutSeconds);
  EXPECT_STREQ("/shop,/img", settings.allowedPaths);
  EXPECT_STREQ("/shop/admin", settings.forbiddenPaths);
  EXPECT_EQ(1, settings.debugProcess);
  EXPECT_EQ(1, settings.logEnabled);
  EXPECT_EQ(nullptr, settings.logFile);
  EXPECT_EQ(ProgramPath() + ".txt", settings.logPath);
}

TEST_F(LoadSettings, NamesIgnoreCase) {
  ForwardSettings settings = Load("[forward]\ntargetport=81\nTIMEOUT=7\nlOg=1\n");
  EXPECT_EQ(81, settings.targetPort);
  EXPECT_EQ(7, settings.timeoutSeconds);
  EXPECT_EQ(1, settings.logEnabled);
}

TEST_F(LoadSettings, IntegersAreCutToTheirFieldWidth) {
  ForwardSettings settings = Load("[Forward]\nTargetPort=70000\nLog=256\nDebugProcess=257\n");
  EXPECT_EQ(4464, settings.targetPort);
  EXPECT_EQ(0, settings.logEnabled) << "Log=256 keeps the log off";
  EXPECT_EQ(1, settings.debugProcess);
  EXPECT_EQ(1, Load("[Forward]\nLog=257\n").logEnabled);
}

TEST_F(LoadSettings, IntegersWithoutDigitsTakeTheDefault) {
  ForwardSettings settings = Load("[Forward]\nTargetPort=abc\nTimeout=\nLog=yes\n");
  EXPECT_EQ(8080, settings.targetPort);
  EXPECT_EQ(300, settings.timeoutSeconds);
  EXPECT_EQ(0, settings.logEnabled);
  // Digits followed by other characters give the digits.
  EXPECT_EQ(81, Load("[Forward]\nTargetPort=81 ; the test server\n").targetPort);
  EXPECT_EQ(-5, Load("[Forward]\nTimeout=-5\n").timeoutSeconds);
}

TEST_F(LoadSettings, EmptyAllowedListIsKeptEmpty) {
  ForwardSettings settings = Load("[Forward]\nAllowed=\n");
  EXPECT_STREQ("", settings.allowedPaths);
}

TEST_F(LoadSettings, TextsAreCutTo255Characters) {
  std::string allowed = "/" + std::string(299, 'a');
  std::string forbidden = "/" + std::string(254, 'b');  // exactly 255: kept whole
  ForwardSettings settings =
      Load("[Forward]\nAllowed=" + allowed + "\nForbidden=" + forbidden + "\n");
  EXPECT_EQ(allowed.substr(0, 255), settings.allowedPaths);
  EXPECT_EQ(forbidden, settings.forbiddenPaths);
}

TEST_F(LoadSettings, BlanksCommentsAndQuotes) {
  ForwardSettings settings = Load(
      "; the gateway's target\r\n"
      "  [ Forward ]  \r\n"
      "# TargetPort=1\r\n"
      "   ; Timeout=1\r\n"
      "  TargetPort  =  81  \r\n"
      "Allowed = \"/a, /b\"\r\n"
      "Forbidden='/x'\r\n"
      "Timeout=60");  // the last line has no line end
  EXPECT_EQ(81, settings.targetPort);
  EXPECT_EQ(60, settings.timeoutSeconds);
  EXPECT_STREQ("/a, /b", settings.allowedPaths);
  EXPECT_STREQ("/x", settings.forbiddenPaths);
  // A ';' after a value is part of a text value.
  EXPECT_STREQ("/x ; old", Load("[Forward]\nForbidden=/x ; old\n").forbiddenPaths);
}

TEST_F(LoadSettings, FirstOfRepeatedKeysWins) {
  EXPECT_EQ(81, Load("[Forward]\nTargetPort=81\nTargetPort=82\n").targetPort);
}

TEST_F(LoadSettings, LoopbackNamesBecome127001) {
  for (const char* server : {"localhost", "LocalHost", "127.0.0.1", "0.0.0.0",
                             "nph-gw-no-such-host.invalid", ""}) {
    SCOPED_TRACE(server);
    ForwardSettings settings = Load(std::string("[Forward]\nTargetServer=") + server + "\n");
    EXPECT_STREQ("127.0.0.1", settings.targetName);
    EXPECT_EQ(kLoopbackAddress, settings.targetAddress);
  }
}

TEST_F(LoadSettings, OverlongServerNameFallsBackToLoopback) {
  ForwardSettings settings = Load("[Forward]\nTargetServer=" + std::string(300, 'h') + "\n");
  EXPECT_STREQ("127.0.0.1", settings.targetName);
  EXPECT_EQ(kLoopbackAddress, settings.targetAddress);
}

TEST_F(LoadSettings, FolderWithADotDoesNotCutThePath) {
  TempFolder outer;
  ASSERT_TRUE(outer.Ok());
  std::string folder = outer.File("example.com");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  std::string program = folder + "/nph-gw";
  {
    std::ofstream ini(program + ".ini", std::ios::binary);
    ini << "[Forward]\nTargetPort=81\n";
  }
  ForwardSettings settings;
  LoadForwardSettings(program.c_str(), &settings);
  EXPECT_EQ(81, settings.targetPort);
  EXPECT_EQ(program + ".txt", settings.logPath);
}

TEST_F(LoadSettings, TooLongProgramPathGivesDefaultsAndNoLog) {
  std::string program = "/" + std::string(kPathBufferSize + 100, 'p');
  ForwardSettings settings;
  LoadForwardSettings(program.c_str(), &settings);
  ExpectDefaults(settings);
  EXPECT_STREQ("", settings.logPath);
}

// --- The paths beside the program -------------------------------------------

std::string Replaced(const char* path, const char* extension, size_t size = 512) {
  std::string out(size, '#');
  if (!ReplaceExtension(path, extension, &out[0], size)) return "<failed:" + std::string(out.c_str()) + ">";
  return out.c_str();
}

TEST(ReplaceExtension, WindowsProgramPath) {
  EXPECT_EQ("C:\\web\\scripts\\nph-gw.ini", Replaced("C:\\web\\scripts\\nph-gw.exe", ".ini"));
  EXPECT_EQ("C:\\web\\scripts\\nph-gw.txt", Replaced("C:\\web\\scripts\\nph-gw.exe", ".txt"));
  EXPECT_EQ("C:\\web.d\\nph-gw.ini", Replaced("C:\\web.d\\nph-gw", ".ini"));
}

TEST(ReplaceExtension, PosixProgramPath) {
  EXPECT_EQ("/home/u/example.com/cgi-bin/nph-gw.ini",
            Replaced("/home/u/example.com/cgi-bin/nph-gw", ".ini"));
  EXPECT_EQ("/srv/cgi-bin/nph-gw.v2.txt", Replaced("/srv/cgi-bin/nph-gw.v2.exe", ".txt"));
  EXPECT_EQ("nph-gw.ini", Replaced("nph-gw", ".ini"));
}

TEST(ReplaceExtension, ResultThatDoesNotFitFails) {
  const char* path = "/cgi-bin/nph-gw";  // 15 characters; with ".ini" 19, plus the NUL 20
  EXPECT_EQ("/cgi-bin/nph-gw.ini", Replaced(path, ".ini", 20));
  EXPECT_EQ("<failed:>", Replaced(path, ".ini", 19));
  EXPECT_EQ("<failed:>", Replaced(path, ".ini", 1));
}

}  // namespace
