// What the program asks of the real system: its own path, the environment's
// names, starting the application and the lock that keeps it to one start.
// The command reads alike to /bin/sh and to cmd.exe.
#include <cctype>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/cgi_channel.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/process.h"
#include "platform/program.h"
#include "tests/support/temp_folder.h"

namespace {

// However the program was started (Windows reads the module's path instead), a
// path that does not fit is never handed back cut.
TEST(ProgramPath, IsWholeOrNotAtAll) {
  for (const char* argv0 : {"/usr/lib/cgi-bin/nph-gw", "./nph-gw", "nph-gw"}) {
    char whole[4096], small[8];
    EXPECT_TRUE(platform::GetProgramPath(argv0, whole, sizeof whole)) << argv0;
    EXPECT_GT(std::string(whole).size(), sizeof small) << argv0;
    EXPECT_FALSE(platform::GetProgramPath(argv0, small, sizeof small)) << argv0;
    EXPECT_STREQ("", small) << argv0;
  }
}

TEST(StartedApplication, GetsTheSystemsBasicsAndNothingOfTheRequest) {
  // What a web server hands a CGI program for one request.
  static char request[][40] = {"REQUEST_METHOD=POST", "QUERY_STRING=a=1", "PATH_INFO=/admin",
                               "CONTENT_LENGTH=5", "HTTP_AUTHORIZATION=Bearer t", "HTTP_COOKIE=s=1",
                               "HTTP_PROXY=http://evil:3128", "REMOTE_USER=alice",
                               "SCRIPT_FILENAME=/cgi-bin/gw", "GATEWAY_INTERFACE=CGI/1.1"};
  for (char* variable : request) ASSERT_EQ(0, putenv(variable));
  // The names the gateway lists end where the environment does: the last one
  // put is told once.
  std::string last;
  char name[4096];
  for (int32_t i = 0; platform::EnvironmentNameAt(i, name, sizeof name); ++i) {
    EXPECT_NE(last, name) << i;
    last = name;
  }
  TempFolder folder;
  folder.Write("app.log", "before\n");
  platform::StartedProcess process;
  ASSERT_TRUE(platform::StartDetached("set > environment.txt && echo written && exit 3",
                                      folder.File("").c_str(), folder.File("app.log").c_str(),
                                      "APP_SECRET=a b=c\0LANG=x\0", &process));
  long code = -1;
  for (int waited = 0; waited < 15000; waited += 10) {
    if (platform::CheckProcess(&process, &code) != platform::ProcessState::kRunning) break;
    platform::SleepMilliseconds(10);
  }
  platform::ReleaseProcess(&process);
  EXPECT_EQ(3, code);
  EXPECT_EQ(0u, TempFolder::ReadText(folder.File("app.log")).find("before\nwritten"))
      << "its output is appended to the file";
  // Each "NAME=" line, the name in capitals (Windows names ignore case).
  std::string seen = "\n" + TempFolder::ReadText(folder.File("environment.txt"));
  for (char& c : seen) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(std::string::npos, seen.find("\nPATH=")) << seen;
  // The entries given are added, in place of a basic one of the same name.
  EXPECT_NE(std::string::npos, seen.find("\nAPP_SECRET=")) << seen;
  EXPECT_EQ(seen.find("\nLANG="), seen.rfind("\nLANG=")) << seen;
  for (char* variable : request) {
    std::string name = std::string(variable).substr(0, std::string(variable).find('=') + 1);
    EXPECT_EQ(std::string::npos, seen.find("\n" + name)) << name << " reached the application";
    variable[name.size()] = '\0';
    putenv(variable);  // emptied (POSIX) or removed (Windows)
  }
}

// A later request finds the application by its record: that very process,
// running until it is stopped. The command waits alike in sh and cmd.exe.
TEST(StartedApplication, IsFoundByItsMarkUntilStopped) {
  TempFolder folder;
  platform::StartedProcess process;
  ASSERT_TRUE(platform::StartDetached("sleep 30 || ping -n 30 127.0.0.1 > NUL",
                                      folder.File("").c_str(), folder.File("app.log").c_str(),
                                      nullptr, &process));
  const platform::ProcessMark mark = platform::MarkOf(process);
  platform::ReleaseProcess(&process);
  platform::ProcessMark later = mark;  // the same id given to a later process
  later.mark += 1;
  EXPECT_TRUE(platform::StillRunning(mark));
  EXPECT_FALSE(platform::StillRunning(later));
  platform::StopProcessTree(mark, 2000);
  EXPECT_FALSE(platform::StillRunning(mark));
}

TEST(FileLock, OneHolderAtATimeUntilReleased) {
  TempFolder folder;
  const std::string path = folder.File("nph-gw.lock");
  platform::FileLock locks[2];
  using platform::FileLock;
  const struct {
    int who;  // -1: the first lets go
    FileLock::Result expected;
  } steps[] = {{0, FileLock::kLocked}, {1, FileLock::kBusy}, {-1, FileLock::kLocked},
               {1, FileLock::kLocked}, {0, FileLock::kBusy}};
  for (const auto& step : steps) {
    if (step.who < 0) {
      locks[0].Unlock();
    } else {
      EXPECT_EQ(step.expected, locks[step.who].TryLock(path.c_str())) << step.who;
    }
  }
  EXPECT_EQ(FileLock::kFailed, locks[0].TryLock(folder.File("missing/nph-gw.lock").c_str()));
}

}  // namespace
