// The connection to an application on a socket file, and the start of an
// application that is not running, against listeners the test opens.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "forwarding/target_connection.h"
#include "platform/loopback_listener.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"
#include "tests/support/temp_folder.h"

namespace {

// The number in the log line that begins with `prefix`; -1 when there is none.
long CodeAfter(const std::string& log, const std::string& prefix) {
  size_t at = log.find(prefix);
  return at == std::string::npos ? -1 : std::strtol(log.c_str() + at + prefix.size(), nullptr, 10);
}

TEST(TargetSocket, ConnectsToTheSocketFileAndSendsTheRequest) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  const std::string path = folder.File("app.sock");
  platform::SocketHandle listener = platform::OpenLocalListener(path.c_str());
  ForwardSettings settings = DefaultSettings(UnusedPort());
  std::strcpy(settings.targetSocket, path.c_str());
  CapturedLog log;
  settings.logFile = log.File();
  TargetConnection connection(settings);
  if (listener == platform::kNoSocket) {
    // No Unix domain sockets here (Wine 8, Windows before 10 version 1803):
    // the log says so in its own words.
    EXPECT_FALSE(connection.Connect());
    EXPECT_EQ(0u, log.Text().find("No Unix domain socket: ")) << log.Text();
    return;
  }
  ASSERT_TRUE(connection.Connect()) << log.Text();
  const std::string request = "GET / HTTP/1.0\r\nHost: localhost\r\n\r\n";
  ASSERT_TRUE(connection.Send(request.data(), static_cast<int32_t>(request.size())));
  platform::SocketHandle accepted = platform::AcceptConnection(listener, 5000);
  ASSERT_NE(platform::kNoSocket, accepted);
  char received[256] = {};
  ASSERT_TRUE(platform::WaitForData(accepted, 5000));
  EXPECT_EQ(request, std::string(received, static_cast<size_t>(platform::ReceiveFromSocket(
                                               accepted, received, sizeof received))));
  EXPECT_EQ("\tConnected\n", log.Text());
  platform::CloseSocket(accepted);
  platform::CloseSocket(listener);
}

TEST(TargetSocket, NothingListeningTellsWhy) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  platform::SocketHandle probe = platform::OpenLocalSocket();
  if (probe == platform::kNoSocket) GTEST_SKIP() << "no Unix domain sockets on this system";
  platform::CloseSocket(probe);
  // A socket file whose server has gone (it was killed, say) stays behind.
  const std::string stale = folder.File("stale.sock");
  platform::CloseSocket(platform::OpenLocalListener(stale.c_str()));
  const struct {
    const char* name;
    std::string path;
    bool nothingListens;  // the case in which a start command would run
  } rows[] = {
      {"no socket file", folder.File("missing.sock"), true},
      {"a socket file nobody listens on", stale, true},
      {"a path too long for a socket address", folder.File(std::string(200, 'x')), false},
  };
  for (const auto& row : rows) {
    ForwardSettings settings = DefaultSettings(UnusedPort());
    std::strcpy(settings.targetSocket, row.path.c_str());
    CapturedLog log;
    settings.logFile = log.File();
    TargetConnection connection(settings);
    EXPECT_FALSE(connection.Connect()) << row.name;
    long code = CodeAfter(log.Text(), "Connection error: ");
    EXPECT_NE(-1, code) << row.name << ": " << log.Text();
    EXPECT_EQ(row.nothingListens, platform::NothingListens(code)) << row.name << ": " << code;
  }
}

// What else happens while the gateway tries to start the application.
enum class Meanwhile {
  kNothing,
  kListenOnceStarted,     // the "application" listens once the command has run
  kOtherStarterSucceeds,  // another request holds the lock; the target comes up
  kOtherStarterGivesUp,   // another request holds the lock, then lets go
};

struct StartRow {
  const char* name;
  const char* command;  // StartCommand
  int startTimeout;
  Meanwhile meanwhile;
  bool connects;
  const char* logLine;  // a line the log must have
  bool started;         // the command ran
  double maxSeconds;
};

TEST(StartCommand, StartsOnceAndWaitsForTheTarget) {
  const StartRow rows[] = {
      {"started, then accepting", "echo started> started.txt", 20, Meanwhile::kListenOnceStarted,
       true, "\tTarget started, process ", true, 10},
      {"a command that fails at once", "exit 3", 20, Meanwhile::kNothing, false,
       "\tTarget exited with code 3\n", false, 5},
      {"a command that never brings the target up", "echo started> started.txt", 1,
       Meanwhile::kNothing, false, "\tTarget exited with code 0\n\tTarget not accepting after 1 s\n",
       true, 4},
      {"another request is starting it", "echo started> started.txt", 20,
       Meanwhile::kOtherStarterSucceeds, true, "\tTarget being started by another request\n",
       false, 5},
      {"the other request gave up", "echo started> started.txt", 20,
       Meanwhile::kOtherStarterGivesUp, false, "\tTarget start by another request failed\n",
       false, 5},
      {"no start command", "", 20, Meanwhile::kNothing, false, "Connection error: ", false, 2},
  };
  for (const StartRow& row : rows) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    uint16_t port = UnusedPort();
    ForwardSettings settings = DefaultSettings(port);
    std::strcpy(settings.startCommand, row.command);
    settings.startTimeoutSeconds = row.startTimeout;
    std::strcpy(settings.programFolder, folder.File("").c_str());
    std::strcpy(settings.lockPath, folder.File("nph-gw.lock").c_str());
    std::strcpy(settings.startLogPath, folder.File("nph-gw.start.log").c_str());
    CapturedLog log;
    settings.logFile = log.File();
    const std::string marker = folder.File("started.txt");

    platform::FileLock otherRequest;
    if (row.meanwhile == Meanwhile::kOtherStarterSucceeds ||
        row.meanwhile == Meanwhile::kOtherStarterGivesUp) {
      ASSERT_EQ(platform::FileLock::kLocked, otherRequest.TryLock(settings.lockPath));
    }
    platform::SocketHandle listener = platform::kNoSocket;
    std::thread meanwhile([&] {
      if (row.meanwhile == Meanwhile::kListenOnceStarted) {
        for (int waited = 0; waited < 10000 && !std::ifstream(marker).good(); waited += 10) {
          platform::SleepMilliseconds(10);
        }
      } else {
        platform::SleepMilliseconds(300);
      }
      if (row.meanwhile == Meanwhile::kOtherStarterGivesUp) otherRequest.Unlock();
      if (row.meanwhile == Meanwhile::kListenOnceStarted ||
          row.meanwhile == Meanwhile::kOtherStarterSucceeds) {
        listener = platform::OpenLoopbackListener(&port);
      }
    });
    auto begun = std::chrono::steady_clock::now();
    TargetConnection connection(settings);
    bool connected = connection.Connect();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    meanwhile.join();
    platform::CloseSocket(listener);

    std::string text = log.Text();
    EXPECT_EQ(row.connects, connected) << row.name << "\n" << text;
    EXPECT_NE(std::string::npos, text.find(row.logLine)) << row.name << "\n" << text;
    EXPECT_EQ(row.connects, text.find("\tConnected\n") != std::string::npos) << row.name;
    EXPECT_EQ(row.started, std::ifstream(marker).good()) << row.name;
    EXPECT_LT(seconds, row.maxSeconds) << row.name;
  }
}

TEST(StartCommand, LockFileThatCannotBeUsedStartsNothing) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  ForwardSettings settings = DefaultSettings(UnusedPort());
  std::strcpy(settings.startCommand, "echo started> started.txt");
  std::strcpy(settings.programFolder, folder.File("").c_str());
  std::strcpy(settings.lockPath, folder.File("no-such-folder/nph-gw.lock").c_str());
  std::strcpy(settings.startLogPath, folder.File("nph-gw.start.log").c_str());
  CapturedLog log;
  settings.logFile = log.File();
  TargetConnection connection(settings);
  EXPECT_FALSE(connection.Connect());
  EXPECT_NE(std::string::npos, log.Text().find("\tLock file not usable: ")) << log.Text();
  platform::SleepMilliseconds(100);
  EXPECT_FALSE(std::ifstream(folder.File("started.txt")).good());
}

}  // namespace
