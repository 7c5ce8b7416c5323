// The settings for present-day applications and large transfers: each is off
// when absent, so an older settings file behaves exactly as before.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

class AddedSettings : public ::testing::Test {
 protected:
  ForwardSettings Load(const std::string& ini, bool withFile = true) {
    EXPECT_TRUE(folder_.Ok());
    if (withFile) folder_.Write("nph-gw.ini", ini);
    ForwardSettings settings;
    std::memset(&settings, 0x5A, sizeof settings);  // no field may keep stale bytes
    LoadForwardSettings(folder_.File("nph-gw").c_str(), &settings);
    return settings;
  }

  static void ExpectAllOff(const ForwardSettings& settings) {
    EXPECT_EQ(0, settings.forwardOtherHeaders);
    EXPECT_EQ(0, settings.addForwardedHeaders);
    EXPECT_EQ(0, settings.rewriteRedirects);
    EXPECT_EQ(0, settings.publicPathSet);
    EXPECT_STREQ("", settings.publicPath);
    EXPECT_EQ(0, settings.connectTimeoutSeconds);
    EXPECT_EQ(0, settings.streaming);
  }

  TempFolder folder_;
};

TEST_F(AddedSettings, AbsentKeysLeaveEveryAdditionOff) {
  ExpectAllOff(Load("", false));
  ExpectAllOff(Load("[Forward]\nTargetPort=81\nTimeout=9\nLog=1\n"));
  ExpectAllOff(Load("[Other]\nStreaming=1\nPublicPath=/x\nRewriteRedirects=1\n"));
  EXPECT_STREQ("", Load("", false).targetServer);
}

TEST_F(AddedSettings, EachKeyIsRead) {
  ForwardSettings settings = Load(
      "[Forward]\n"
      "ForwardOtherHeaders=1\n"
      "AddForwardedHeaders=1\n"
      "RewriteRedirects=1\n"
      "PublicPath=/site\n"
      "ConnectTimeout=7\n"
      "Streaming=1\n");
  EXPECT_EQ(1, settings.forwardOtherHeaders);
  EXPECT_EQ(1, settings.addForwardedHeaders);
  EXPECT_EQ(1, settings.rewriteRedirects);
  EXPECT_EQ(1, settings.publicPathSet);
  EXPECT_STREQ("/site", settings.publicPath);
  EXPECT_EQ(7, settings.connectTimeoutSeconds);
  EXPECT_EQ(1, settings.streaming);
  // The settings of before are untouched by them.
  EXPECT_EQ(8080, settings.targetPort);
  EXPECT_EQ(300, settings.timeoutSeconds);
  EXPECT_STREQ("/", settings.allowedPaths);
}

TEST_F(AddedSettings, NamesIgnoreCase) {
  ForwardSettings settings = Load(
      "[FORWARD]\nforwardotherheaders=1\nADDFORWARDEDHEADERS=1\nrewriteRedirects=1\n"
      "publicpath=/p\nCONNECTTIMEOUT=3\nstreaming=1\n");
  EXPECT_EQ(1, settings.forwardOtherHeaders);
  EXPECT_EQ(1, settings.addForwardedHeaders);
  EXPECT_EQ(1, settings.rewriteRedirects);
  EXPECT_EQ(1, settings.publicPathSet);
  EXPECT_STREQ("/p", settings.publicPath);
  EXPECT_EQ(3, settings.connectTimeoutSeconds);
  EXPECT_EQ(1, settings.streaming);
}

TEST_F(AddedSettings, SwitchesAreOnForAnyNonZeroNumber) {
  for (const char* value : {"1", "2", "256", "-1", " 1 ", "1 ; on"}) {
    SCOPED_TRACE(value);
    ForwardSettings settings = Load(std::string("[Forward]\nStreaming=") + value +
                                    "\nRewriteRedirects=" + value + "\n");
    EXPECT_EQ(1, settings.streaming);
    EXPECT_EQ(1, settings.rewriteRedirects);
  }
  for (const char* value : {"0", "", "yes", "on", "00"}) {
    SCOPED_TRACE(value);
    ForwardSettings settings = Load(std::string("[Forward]\nStreaming=") + value +
                                    "\nForwardOtherHeaders=" + value + "\n");
    EXPECT_EQ(0, settings.streaming);
    EXPECT_EQ(0, settings.forwardOtherHeaders);
  }
}

TEST_F(AddedSettings, EmptyPublicPathIsToldApartFromAnAbsentOne) {
  ForwardSettings empty = Load("[Forward]\nPublicPath=\n");
  EXPECT_EQ(1, empty.publicPathSet);
  EXPECT_STREQ("", empty.publicPath);
  ForwardSettings quoted = Load("[Forward]\nPublicPath=\"\"\n");
  EXPECT_EQ(1, quoted.publicPathSet);
  EXPECT_STREQ("", quoted.publicPath);
  ForwardSettings absent = Load("[Forward]\nStreaming=1\n");
  EXPECT_EQ(0, absent.publicPathSet);
  EXPECT_STREQ("", absent.publicPath);
}

TEST_F(AddedSettings, PublicPathIsCutTo255Characters) {
  std::string path = "/" + std::string(300, 'p');
  ForwardSettings settings = Load("[Forward]\nPublicPath=" + path + "\n");
  EXPECT_EQ(1, settings.publicPathSet);
  EXPECT_EQ(path.substr(0, 255), settings.publicPath);
}

TEST_F(AddedSettings, ConnectTimeoutIsBounded) {
  EXPECT_EQ(0, Load("[Forward]\nConnectTimeout=-5\n").connectTimeoutSeconds);
  EXPECT_EQ(0, Load("[Forward]\nConnectTimeout=soon\n").connectTimeoutSeconds);
  EXPECT_EQ(0, Load("[Forward]\nConnectTimeout=0\n").connectTimeoutSeconds);
  EXPECT_EQ(86400, Load("[Forward]\nConnectTimeout=86400\n").connectTimeoutSeconds);
  EXPECT_EQ(86400, Load("[Forward]\nConnectTimeout=99999999999999999999\n").connectTimeoutSeconds);
  EXPECT_EQ(12, Load("[Forward]\nConnectTimeout = 12 ; seconds\n").connectTimeoutSeconds);
}

TEST_F(AddedSettings, TargetServerIsKeptAsWrittenBesideTheResolvedName) {
  ForwardSettings local = Load("[Forward]\nTargetServer=LocalHost\n");
  EXPECT_STREQ("LocalHost", local.targetServer);
  EXPECT_STREQ("127.0.0.1", local.targetName);
  ForwardSettings dotted = Load("[Forward]\nTargetServer=10.1.2.3\n");
  EXPECT_STREQ("10.1.2.3", dotted.targetServer);
  EXPECT_STREQ("10.1.2.3", dotted.targetName);
  ForwardSettings overlong = Load("[Forward]\nTargetServer=" + std::string(300, 'h') + "\n");
  EXPECT_EQ(std::string(255, 'h'), overlong.targetServer);
}

}  // namespace
