// Reading the settings file beside the program.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

// Every field, as "name=value" words.
std::string Summary(const ForwardSettings& s) {
  std::ostringstream out;
  out << "name=" << s.targetName << " host=[" << s.targetHost << "] port=" << s.targetPort << " timeout=" << s.timeoutSeconds << " allowed=["
      << s.allowedPaths << "] forbidden=[" << s.forbiddenPaths << "] debug=" << +s.debugProcess
      << " log=" << +s.logEnabled << " server=[" << s.targetServer
      << "] other=" << +s.forwardOtherHeaders << " forwarded=" << +s.addForwardedHeaders
      << " rewrite=" << +s.rewriteRedirects << " public=" << +s.publicPathSet << "["
      << s.publicPath << "] connect=" << s.connectTimeoutSeconds
      << " streaming=" << static_cast<int>(s.relay) << " hold=" << s.holdLimit
      << " preserve=" << +s.preserveHost << " http11=" << +s.targetHttp11 << " tls=" << +s.targetTls << " verify=" << +s.tlsVerify
      << " ca=[" << s.tlsCaFile << "] sni=[" << s.tlsServerName << "] socket=[" << s.targetSocket
      << "] pass=" << +s.passAuthorization << " command=[" << s.startCommand
      << "] start=" << s.startTimeoutSeconds << " lock=["
      << std::filesystem::path(s.lockPath).filename().string() << "] diagnostics="
      << +s.diagnostics << " long=" << +s.pathListTooLong << " warnings=[";
  for (int i = 0; i < s.settingWarningCount; ++i) out << (i ? "|" : "") << s.settingWarnings[i];
  std::string text = out.str() + "] ";
  std::replace(text.begin() + text.find("warnings="), text.end() - 2, ' ', '_');
  return text;
}

ForwardSettings Load(const TempFolder& folder, const std::string& program, const char* ini) {
  if (ini) folder.Write(program + ".ini", ini);
  ForwardSettings settings;
  std::memset(&settings, 0x5A, sizeof settings);  // no field may keep stale bytes
  LoadForwardSettings(folder.File(program).c_str(), &settings);
  EXPECT_EQ(nullptr, settings.logFile);
  EXPECT_EQ(folder.File(program) + ".txt", settings.logPath);
  return settings;
}

const char kNoFile[] = "<no file>";
const char kDefaults[] =
    "name=127.0.0.1 host=[] port=8080 timeout=300 allowed=[/] forbidden=[] debug=0 "
    "log=0 server=[] other=0 forwarded=0 rewrite=0 public=0[] connect=0 streaming=2 "
    "hold=8388608 preserve=0 http11=2 tls=0 verify=1 ca=[] sni=[] socket=[] pass=0 command=[] start=30 "
    "lock=[] diagnostics=1 long=0 warnings=[] ";

TEST(LoadSettings, ReadsTheForwardSection) {
  struct Case {
    std::string ini;  // kNoFile: no file
    std::string expected;  // words that must appear in the summary
  };
  const Case kCases[] = {
      {kNoFile, kDefaults},
      {"", kDefaults},
      {"TargetPort=81\n[Other]\nLog=1\nStreaming=1\n", kDefaults},
      {"[Forward]\nTargetServer=10.1.2.3\nTargetPort=81\nTimeout=45\nAllowed=/shop,/img\n"
       "Forbidden=/shop/admin\nDebugProcess=1\nLog=1\nForwardOtherHeaders=1\n"
       "AddForwardedHeaders=1\nRewriteRedirects=1\nPublicPath=/site\nConnectTimeout=5\n"
       "Streaming=1\n",
       "name=10.1.2.3 host=[10.1.2.3] port=81 timeout=45 allowed=[/shop,/img] "
       "forbidden=[/shop/admin] debug=1 log=1 server=[10.1.2.3] other=1 forwarded=1 rewrite=1 "
       "public=1[/site] connect=5 streaming=1 "},
      {"[forward]\ntargetport=81\nTIMEOUT=7\nlOg=1\n", "port=81 timeout=7 log=1 "},
      {"[Forward]\nTargetPort=70000\nLog=256\nDebugProcess=257\n", "port=4464 debug=1 log=0 "},
      {"[Forward]\nTargetPort=abc\nTimeout=\nLog=yes\nStreaming=\n",
       "port=8080 timeout=300 log=0 streaming=2 "},
      {"[Forward]\nTargetPort=81 ; test\nTimeout=-5\n", "port=81 timeout=-5 "},
      {"[Forward]\nAllowed=\nPublicPath=\n", "allowed=[] public=1[] "},
      {"; comment\r\n  [ Forward ]  \r\n# TargetPort=1\r\n  TargetPort  =  81  \r\n"
       "Allowed = \"/a, /b\"\r\nForbidden='/x'\r\nTimeout=60",
       "port=81 timeout=60 allowed=[/a, /b] forbidden=[/x] "},
      {"[Forward]\nForbidden=/x ; old\nTargetPort=81\nTargetPort=82\n",
       "port=81 forbidden=[/x ; old] "},
      {"[Forward]\nTargetServer=LocalHost\n", "name=127.0.0.1 host=[LocalHost] "},
      {"[Forward]\nTargetServer=no-such-host.invalid\n", "name=no-such-host.invalid "},
      {"[Forward]\nStreaming=2\nRewriteRedirects=0\nHoldLimit=1000\nPreserveHost=1\n",
       "rewrite=0 streaming=1 hold=65536 preserve=1 "},
      {"[Forward]\nTargetTls=1\nTlsVerify=0\nTlsCaFile=/etc/ca.pem\nTlsServerName=app.example\n",
       "port=443 tls=1 verify=0 ca=[/etc/ca.pem] sni=[app.example] "},
      {"[Forward]\nTargetTls=1\nTargetPort=8443\n", "port=8443 tls=1 verify=1 "},
      {"[Forward]\nTlsVerify=0\nTlsCaFile=/etc/ca.pem\n", "port=8080 tls=0 verify=0 ca=[/etc/ca.pem] "},
      {"[Forward]\ntargetsocket=/a.sock\nPassAuthorization=7\nStartCommand=exec node s.js\n"
       "StartTimeout=12\n",
       "socket=[/a.sock] pass=1 command=[exec node s.js] start=12 lock=[gw17.lock] "},
      {"[Forward]\nStartCommand=run\nStartTimeout=0\n", "command=[run] start=1 "},
      {"[Forward]\nStartCommand=run\nStartTimeout=99999\n", "start=3600 "},
      {"[Forward]\nStartCommand=" + std::string(5000, 'x'),  // not run at all, nor cut
       "command=[] start=30 lock=[] "},
      // Names are looked up when connecting, never here.
      {"[Forward]\nTargetServer=[::1]\n", "name=[::1] host=[::1] server=[[::1]] "},
      {"[Forward]\nTargetServer=2001:db8::1\n", "name=[2001:db8::1] host=[2001:db8::1] "},
      {"[Forward]\nTargetServer=0.0.0.0\n", "name=127.0.0.1 host=[] server=[0.0.0.0] "},
      {"[Forward]\nStreaming=0\nHoldLimit=99999999999\nTargetHttp11=0\n",
       "streaming=0 hold=1073741824 http11=0 "},
      // On/off keys: the words too; anything else keeps the safe value, and says so.
      {"[Forward]\nTargetTls=yes\nStreaming=On\nRewriteRedirects=TRUE\nPassAuthorization=off\n"
       "Diagnostics=no\nForwardOtherHeaders=-0\nPreserveHost=Yes\nAddForwardedHeaders=\n"
       "TargetHttp11=on\n",
       "tls=1 streaming=1 rewrite=1 pass=0 diagnostics=0 other=0 preserve=1 forwarded=0 "
       "http11=1 warnings=[] "},
      {"[Forward]\nTargetTls=maybe\nTlsVerify=0x\nStreaming=fast\nHoldLimit=123456\n"
       "Diagnostics=2x\nTargetHttp11=maybe\n",
       "port=443 tls=1 verify=1 streaming=2 hold=123456 diagnostics=1 http11=2 warnings=[Setting_not_"
       "understood:_TargetTls=maybe_(kept_on)|Setting_not_understood:_TlsVerify=0x_(kept_on)|"
       "Setting_not_understood:_Diagnostics=2x_(kept_on)|Setting_not_understood:_Streaming=fast_"
       "(kept_adaptive)|Setting_not_understood:_TargetHttp11=maybe_(kept_default)] "},
  };
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  int index = 0;
  for (const Case& c : kCases) {
    const char* ini = c.ini == kNoFile ? nullptr : c.ini.c_str();
    ForwardSettings settings = Load(folder, "gw" + std::to_string(index++), ini);
    std::string summary = Summary(settings);
    std::istringstream words(c.expected);
    for (std::string word; words >> word;) {
      EXPECT_NE(std::string::npos, summary.find(word + " ")) << word << " in " << summary;
    }
    // FastCGI mode speaks HTTP/1.1 unless the file says otherwise.
    const int http11 = settings.targetHttp11 == kTargetHttp11Unset ? 1 : settings.targetHttp11;
    ApplyFastCgiDefaults(&settings);
    EXPECT_EQ(http11, settings.targetHttp11);
  }
}

// A path list is kept whole up to 4,095 characters, and never cut beyond.
TEST(LoadSettings, PathListsAreNeverCut) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  const std::string fits = "/a," + std::string(4092, 'a');
  std::string ini = "[Forward]\nAllowed=" + fits + "\nTargetServer=" + std::string(300, 'h');
  ForwardSettings settings = Load(folder, "gw", ini.c_str());
  EXPECT_EQ(fits, settings.allowedPaths);
  EXPECT_EQ(0, settings.pathListTooLong);
  EXPECT_EQ(std::string(255, 'h'), settings.targetName) << "no address in its place";
  EXPECT_EQ(1, Load(folder, "gw2", ("[Forward]\nForbidden=" + fits + "/").c_str()).pathListTooLong);
}

TEST(LoadSettings, FolderWithADotDoesNotCutThePath) {
  TempFolder outer;
  ASSERT_TRUE(outer.Ok());
  ASSERT_TRUE(std::filesystem::create_directory(outer.File("example.com")));
  ForwardSettings settings = Load(outer, "example.com/nph-gw", "[Forward]\nTargetPort=81\n");
  EXPECT_EQ(81, settings.targetPort);
}

}  // namespace
