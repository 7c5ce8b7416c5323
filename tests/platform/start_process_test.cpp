// Starting the application and the lock that keeps it to one start, on the
// real system. The commands are written so that /bin/sh and cmd.exe read them
// alike.
#include <cctype>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

// Waits for the process to end; its exit code, or -1000 when it did not end.
long WaitForExit(platform::StartedProcess* process) {
  for (int waited = 0; waited < 15000; waited += 10) {
    long code = 0;
    platform::ProcessState state = platform::CheckProcess(process, &code);
    if (state == platform::ProcessState::kExited) return code;
    if (state == platform::ProcessState::kKilled) return -2000 - code;
    platform::SleepMilliseconds(10);
  }
  return -1000;
}

// Whether `text` has a line that begins with `name` followed by "=", letters
// compared without regard to case (Windows names are).
bool HasVariable(const std::string& text, const std::string& name) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.size() > name.size() && line[name.size()] == '=') {
      bool same = true;
      for (size_t i = 0; i < name.size() && same; ++i) {
        same = std::toupper(static_cast<unsigned char>(line[i])) ==
               std::toupper(static_cast<unsigned char>(name[i]));
      }
      if (same) return true;
    }
    at = end + 1;
  }
  return false;
}

TEST(StartedApplication, GetsTheSystemsBasicsAndNothingOfTheRequest) {
  // What a web server hands a CGI program for one request.
  static char request[][48] = {
      "REQUEST_METHOD=POST",      "QUERY_STRING=secret=1",   "PATH_INFO=/admin",
      "CONTENT_LENGTH=5",         "CONTENT_TYPE=text/plain", "HTTP_AUTHORIZATION=Bearer t0k3n",
      "HTTP_COOKIE=sid=s3cr3t",   "HTTP_PROXY=http://evil.example:3128",
      "REMOTE_USER=alice",        "REMOTE_ADDR=203.0.113.9", "SCRIPT_FILENAME=/cgi-bin/nph-gw",
      "GATEWAY_INTERFACE=CGI/1.1", "SERVER_SOFTWARE=Apache",  "DOCUMENT_ROOT=/var/www"};
  for (char* variable : request) ASSERT_EQ(0, putenv(variable));
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  folder.Write("app.log", "before\n");
  platform::StartedProcess process;
  ASSERT_TRUE(platform::StartDetached("set > environment.txt && echo written",
                                      folder.File("").c_str(), folder.File("app.log").c_str(),
                                      &process))
      << platform::LastSystemError();
  EXPECT_EQ(0, WaitForExit(&process));
  platform::ReleaseProcess(&process);

  std::string environment = TempFolder::ReadText(folder.File("environment.txt"));
  ASSERT_TRUE(HasVariable(environment, "PATH")) << environment;
  for (const char* variable : request) {
    std::string name(variable, std::string(variable).find('='));
    EXPECT_FALSE(HasVariable(environment, name)) << name << " reached the application";
  }
  EXPECT_EQ(0u, TempFolder::ReadText(folder.File("app.log")).find("before\nwritten"))
      << "standard output is appended to the file";
  // "NAME=" empties the variable (POSIX) or removes it (Windows).
  for (char* variable : request) {
    variable[std::string(variable).find('=') + 1] = '\0';
    putenv(variable);
  }
}

TEST(StartedApplication, ExitCodeIsSeen) {
  const struct {
    const char* command;
    long code;
  } rows[] = {{"exit 0", 0}, {"exit 3", 3}, {"exit 127", 127}};
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  for (const auto& row : rows) {
    platform::StartedProcess process;
    ASSERT_TRUE(platform::StartDetached(row.command, folder.File("").c_str(),
                                        folder.File("app.log").c_str(), &process));
    EXPECT_EQ(row.code, WaitForExit(&process)) << row.command;
    platform::ReleaseProcess(&process);
  }
}

TEST(StartedApplication, OutputFileThatCannotBeOpenedIsReported) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  platform::StartedProcess process;
  ASSERT_TRUE(platform::StartDetached("exit 0", folder.File("").c_str(),
                                      folder.File("no-such-folder/app.log").c_str(), &process));
  EXPECT_NE(0, process.outputError);
  EXPECT_EQ(0, WaitForExit(&process)) << "started all the same, its output going nowhere";
  platform::ReleaseProcess(&process);
}

TEST(FileLock, OneHolderAtATimeUntilReleased) {
  TempFolder folder;
  ASSERT_TRUE(folder.Ok());
  const std::string path = folder.File("nph-gw.lock");
  platform::FileLock locks[2];
  enum Step { kTake, kRelease };
  const struct {
    int who;
    Step step;
    platform::FileLock::Result expected;
  } steps[] = {
      {0, kTake, platform::FileLock::kLocked},  // created when missing
      {1, kTake, platform::FileLock::kBusy},    // another holder, even in one process
      {1, kTake, platform::FileLock::kBusy},
      {0, kRelease, platform::FileLock::kLocked},
      {1, kTake, platform::FileLock::kLocked},
      {0, kTake, platform::FileLock::kBusy},
  };
  int number = 0;
  for (const auto& row : steps) {
    ++number;
    if (row.step == kRelease) {
      locks[row.who].Unlock();
      continue;
    }
    EXPECT_EQ(row.expected, locks[row.who].TryLock(path.c_str())) << "step " << number;
  }
  platform::FileLock elsewhere;
  EXPECT_EQ(platform::FileLock::kFailed,
            elsewhere.TryLock(folder.File("no-such-folder/nph-gw.lock").c_str()));
  EXPECT_EQ(platform::FileLock::kFailed, elsewhere.TryLock(folder.File("").c_str()))
      << "a folder is no lock file";
}

}  // namespace
