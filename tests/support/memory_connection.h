// The web server's side of a FastCGI connection, in memory: the input handed
// over in pieces of at most `piece` bytes, what the program sends read back as
// records.
#pragma once

#include <algorithm>
#include <string>

#include "gateway/fastcgi/connection.h"

class MemoryConnection : public fastcgi::Connection {
 public:
  MemoryConnection(std::string input, size_t piece) : input_(std::move(input)), piece_(piece) {}
  // STDOUT of each request joined, other records as "<type>:<id>:<content>;",
  // and what was sent after the last whole record.
  std::string out, records, rest;

 protected:
  int32_t Receive(char* buffer, int32_t count) override {
    size_t take = std::min({input_.size() - at_, piece_, static_cast<size_t>(count)});
    input_.copy(buffer, take, at_);
    at_ += take;
    return static_cast<int32_t>(take);
  }
  int32_t Send(const char* data, int32_t count) override {
    for (rest.append(data, count); rest.size() >= 8;) {
      size_t length = static_cast<unsigned char>(rest[4]) << 8 | static_cast<unsigned char>(rest[5]);
      size_t whole = 8 + length + static_cast<unsigned char>(rest[6]);
      if (rest.size() < whole) break;
      std::string content = rest.substr(8, length);
      if (rest[1] == 6) {
        out += content;
      } else {
        records += std::to_string(rest[1]) + ":" + std::to_string(rest[3]) + ":" + content + ";";
      }
      rest.erase(0, whole);
    }
    return count;
  }

 private:
  std::string input_;
  size_t at_ = 0, piece_;
};
