// The connection to a socket file, and the start of an application that is
// not running, against listeners the test opens.
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "forwarding/start_records.h"
#include "forwarding/target_connection.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/local_socket.h"
#include "platform/socket.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/scripted_target.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(TargetSocket, ConnectsToTheSocketFile) {
  // Without Unix domain sockets (Wine 8, Windows before 10 version 1803) the
  // log says so in its own words.
  platform::SocketHandle probe = platform::OpenLocalSocket();
  const bool available = probe != platform::kNoSocket;
  platform::CloseSocket(probe);
  TempFolder folder;
  const std::string path = folder.File("app.sock");
  ScriptedTarget target;
  if (available) target.ListenOnFile(path).Send("HTTP/1.0 200 OK\r\n\r\nok").Start();
  ForwardSettings settings = DefaultSettings(UnusedPort());
  std::strcpy(settings.targetSocket, path.c_str());
  CapturedLog log;
  log.AttachTo(settings);
  EXPECT_EQ(available ? "HTTP/1.0 200 OK\r\n\r\nok" : kErrorPage, ServeGet(settings));
  EXPECT_NE(std::string::npos,
            log.Text().find(available ? "\tConnected\n" : "No Unix domain socket: "));
  if (available) {
    EXPECT_EQ("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", target.Received());
  }
}

// What else happens while the request tries to start the application.
enum class Meanwhile {
  kNothing, kListensOnceStarted, kPausing, kOtherStarterSucceeds, kOtherStarterGivesUp
};

TEST(StartCommand, StartsOnceAndWaitsForTheTarget) {
  const struct {
    const char* command;
    Meanwhile meanwhile;
    const char* lockFile;
    bool connects;
    const char* logLine;
    bool started;  // the command ran
    int64_t failures;  // failed starts in a row, as recorded after
  } rows[] = {
      {"echo x> started.txt", Meanwhile::kListensOnceStarted, "nph-gw.lock", true,
       "\tTarget started, process ", true, 0},
      {"exit 3", Meanwhile::kNothing, "nph-gw.lock", false, "\tTarget exited with code 3\n", false,
       1},
      {"echo x> started.txt", Meanwhile::kNothing, "nph-gw.lock", false,
       "\tTarget exited with code 0\n\tTarget not accepting after 1 s\n", true, 1},
      {"echo x> started.txt", Meanwhile::kPausing, "nph-gw.lock", false,
       "\tTarget not started: pausing after failed starts\n", false, 4},
      {"echo x> started.txt", Meanwhile::kOtherStarterSucceeds, "nph-gw.lock", true,
       "\tTarget being started by another request\n", false, 0},
      {"echo x> started.txt", Meanwhile::kOtherStarterGivesUp, "nph-gw.lock", false,
       "\tTarget start by another request failed\n", false, 0},
      {"echo x> started.txt", Meanwhile::kNothing, "missing/nph-gw.lock", false,
       "\tLock file not usable: ", false, 0},
  };
  for (const auto& row : rows) {
    TempFolder folder;
    uint16_t port = UnusedPort();
    ForwardSettings settings = DefaultSettings(port);
    std::strcpy(settings.startCommand, row.command);
    settings.startTimeoutSeconds = 1;
    std::strcpy(settings.programFolder, folder.File("").c_str());
    std::strcpy(settings.lockPath, folder.File(row.lockFile).c_str());
    std::strcpy(settings.startLogPath, folder.File("nph-gw.start.log").c_str());
    std::strcpy(settings.processPath, folder.File("nph-gw.pid").c_str());
    std::strcpy(settings.backoffPath, folder.File("nph-gw.backoff").c_str());
    if (row.meanwhile == Meanwhile::kPausing) {
      folder.Write("nph-gw.backoff",
                   "0 4 " + std::to_string(platform::WallClockMilliseconds() + 8000));
    }
    CapturedLog log;
    settings.logFile = log.File();
    const std::string marker = folder.File("started.txt");
    platform::FileLock otherRequest;
    if (row.meanwhile >= Meanwhile::kOtherStarterSucceeds) otherRequest.TryLock(settings.lockPath);
    ScriptedTarget target;
    std::thread meanwhile([&] {
      for (int waited = 0; waited < 300 || (row.meanwhile == Meanwhile::kListensOnceStarted &&
                                            waited < 5000 && !std::ifstream(marker).good());
           waited += 10) {
        platform::SleepMilliseconds(10);
      }
      if (row.meanwhile == Meanwhile::kOtherStarterGivesUp) otherRequest.Unlock();
      if (row.meanwhile == Meanwhile::kListensOnceStarted ||
          row.meanwhile == Meanwhile::kOtherStarterSucceeds) {
        target.ListenOn(port).Start();
      }
    });
    TargetConnection connection(settings);
    EXPECT_EQ(row.connects, connection.Connect() == Failure::kNone) << row.logLine;
    meanwhile.join();
    EXPECT_NE(std::string::npos, log.Text().find(row.logLine)) << log.Text();
    EXPECT_EQ(row.started, std::ifstream(marker).good()) << row.logLine;
    StartRecord record;
    ParseRecord(TempFolder::ReadText(settings.backoffPath).c_str(), &record);
    EXPECT_EQ(row.failures, record.failures) << row.logLine;
  }
}

}  // namespace
