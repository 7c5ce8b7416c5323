// A log stream for the code under test whose contents the test can read back.
#pragma once

#include <cstdio>
#include <string>

class CapturedLog {
 public:
  CapturedLog() : file_(std::tmpfile()) {}
  ~CapturedLog() {
    if (file_) std::fclose(file_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  FILE* File() const { return file_; }

  // Everything written so far.
  std::string Text() const {
    std::string text;
    if (!file_) return text;
    std::fflush(file_);
    long end = std::ftell(file_);
    std::rewind(file_);
    char piece[4096];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file_)) > 0) text.append(piece, got);
    std::fseek(file_, end, SEEK_SET);
    return text;
  }

 private:
  FILE* file_;
};
