// What the Windows side of the platform seam decides for itself: the module
// path, the version resource, the profile functions' edge cases and encodings,
// Windows Sockets' error codes, the log's text mode and where spool files live.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/program.h"
#include "platform/socket.h"
#include "platform/tcp.h"
#include "tests/support/scripted_target.h"
#include "tests/support/temp_folder.h"

namespace {

// No socket call works before the socket library is started; the program's
// entry starts it, so the tests do too, once for the whole run.
class SocketLibrary : public ::testing::Environment {
  void SetUp() override { platform::StartProcess(); }
  void TearDown() override { platform::StopProcess(); }
};
const ::testing::Environment* const kSocketLibrary =
    ::testing::AddGlobalTestEnvironment(new SocketLibrary);

TEST(Win32Program, PathIsTheModulesAndVersionComesFromItsResource) {
  char own[MAX_PATH];
  ASSERT_TRUE(platform::GetProgramPath("argv0", own, sizeof own));
  const std::string path = own, folder = path.substr(0, path.rfind('\\'));
  EXPECT_EQ("\\unit_tests.exe", path.substr(folder.size())) << "whatever argv[0] says";
  const std::string gateway = folder.substr(0, folder.rfind('\\')) + "\\nph-gw.exe";
  const auto version = [&](const std::string& program, size_t room) {
    platform::GetProgramVersion(program.c_str(), own, room);
    return std::string(own);
  };
  EXPECT_EQ(NPH_GW_VERSION_TEXT, version(gateway, sizeof own));
  EXPECT_EQ(std::string(NPH_GW_VERSION_TEXT, 3), version(gateway, 4)) << "cut to the room given";
  EXPECT_EQ("", version(path, sizeof own)) << "no version resource";
}

// What the settings tests, which run here too, cannot show of the profile
// functions: a settings file as UTF-16 with its mark holds any text, an ANSI
// one its code page's (1252 here), and UTF-8 without a mark is read as ANSI;
// a number beyond 32 bits keeps its low bits, as the fields do.
TEST(Win32Profile, TextBeyondAsciiComesOutAsUtf8AndNumbersKeepTheirLow32Bits) {
  const std::wstring wide = L"\xfeff[F]\r\nT=/caf\u00e9/\u4e2d\r\n";  // wchar_t: UTF-16 LE here
  const std::pair<std::string, std::string> files[] = {
      {std::string(reinterpret_cast<const char*>(wide.data()), 2 * wide.size()),
       "/caf\xc3\xa9/\xe4\xb8\xad"},
      {"[F]\r\nT=/caf\xe9\r\n", "/caf\xc3\xa9"},
      {"[F]\r\nT=/caf\xc3\xa9\r\n", "/caf\xc3\x83\xc2\xa9"}};
  TempFolder folder;
  for (const auto& [bytes, expected] : files) {
    folder.Write("nph-gw.ini", bytes);
    char text[32];
    platform::ProfileFile(folder.File("nph-gw.ini").c_str()).GetString("F", "T", "", text, 32);
    EXPECT_EQ(expected, text);
  }
  folder.Write("nph-gw.ini", "[F]\r\nG=4294967297\r\n");
  EXPECT_EQ(1, platform::ProfileFile(folder.File("nph-gw.ini").c_str()).GetInteger("f", "g", 5));
}

TEST(Win32Sockets, FailuresCarryWinsocksOwnCodes) {
  EXPECT_EQ(platform::kWouldBlock, platform::NormalizeErrorCode(WSAEWOULDBLOCK));
  for (bool reset : {false, true}) {
    // A target that resets while a send waits for room ends the send at once;
    // one that stops reading, once the socket's own bound has passed.
    uint16_t port;
    platform::TcpAddresses loopback;
    {
      ScriptedTarget target;
      target.DontRead();
      if (reset) target.Pause(200).Reset();
      if (!reset) target.Hold();
      port = target.Start().Port();
      ASSERT_TRUE(platform::LookUpTcpAddresses("127.0.0.1", port, &loopback));
      platform::SocketHandle socket = platform::OpenTcpSocket(loopback.at[0]);
      ASSERT_TRUE(platform::ConnectSocket(socket, loopback.at[0], 1));
      platform::SetSendTimeout(socket, reset ? 30 : 1);
      const std::string block(1 << 20, 'x');
      const auto started = std::chrono::steady_clock::now();
      int32_t sent = 0;
      for (int round = 0; round < 256 && sent >= 0; ++round) {
        sent = platform::SendOnSocket(socket, block.data(), static_cast<int32_t>(block.size()));
      }
      const long code = platform::LastSocketError();
      EXPECT_EQ(-1, sent);
      EXPECT_TRUE(reset ? code == WSAECONNRESET || code == WSAECONNABORTED : code == WSAETIMEDOUT)
          << code;
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
      platform::CloseSocket(socket);
    }
    // Nothing listens there now: refused, in Winsock's words.
    platform::SocketHandle socket = platform::OpenTcpSocket(loopback.at[0]);
    EXPECT_FALSE(platform::ConnectSocket(socket, loopback.at[0], 0));
    EXPECT_EQ(WSAECONNREFUSED, platform::LastSocketError());
    platform::CloseSocket(socket);
  }
}

TEST(Win32Files, LogIsTextAndSpoolFileIsBinaryInTheTempFolderUntilClosed) {
  TempFolder folder;
  FILE* log = platform::OpenLogForAppending(folder.File("nph-gw.txt").c_str());
  ASSERT_NE(nullptr, log);
  std::fputs("one\ntwo\n", log);
  std::fclose(log);
  EXPECT_EQ("one\r\ntwo\r\n", TempFolder::Read(folder.File("nph-gw.txt")));

  char temp[MAX_PATH + 1];
  ASSERT_NE(0u, GetTempPathA(sizeof temp, temp));
  const auto Names = [&temp] {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp))
      names.insert(entry.path().string());
    return names;
  };
  const std::set<std::string> before = Names();
  FILE* spool = platform::OpenTemporaryFile();
  ASSERT_NE(nullptr, spool);
  EXPECT_EQ(before.size() + 1, Names().size()) << "one new file in " << temp;
  const std::string bytes("a\nb\r\n\x1a\0c", 8);
  char back[16] = {};
  EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), spool));
  std::rewind(spool);
  EXPECT_EQ(bytes, std::string(back, std::fread(back, 1, sizeof back, spool))) << "as written";
  std::fclose(spool);
  EXPECT_EQ(before, Names()) << "gone once closed";
}

}  // namespace
