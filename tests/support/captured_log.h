// A request log in a file of its own whose contents the test can read back:
// written directly through File(), or by a request once AttachTo() has
// pointed the settings at it.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

class CapturedLog {
 public:
  CapturedLog() : path_(folder_.File("nph-gw.txt")) {}
  ~CapturedLog() {
    if (file_) std::fclose(file_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  FILE* File() {
    if (!file_) file_ = std::fopen(path_.c_str(), "a");
    return file_;
  }
  void AttachTo(ForwardSettings& settings) const {
    settings.logEnabled = 1;
    std::strcpy(settings.logPath, path_.c_str());
  }
  // Everything written so far, line ends as "\n" on every platform.
  std::string Text() const {
    if (file_) std::fflush(file_);
    return TempFolder::ReadText(path_);
  }

 private:
  TempFolder folder_;
  std::string path_;
  FILE* file_ = nullptr;
};
