// The web server's side of a FastCGI connection, in memory: the input handed
// over in pieces of at most `piece` bytes, what the program sends kept whole.
#pragma once

#include <algorithm>
#include <string>

#include "gateway/fastcgi/connection.h"

class MemoryConnection : public fastcgi::Connection {
 public:
  MemoryConnection(std::string input, size_t piece) : input_(std::move(input)), piece_(piece) {}
  std::string sent;

 protected:
  int32_t Receive(char* buffer, int32_t count) override {
    size_t take = std::min({input_.size() - at_, piece_, static_cast<size_t>(count)});
    input_.copy(buffer, take, at_);
    at_ += take;
    return static_cast<int32_t>(take);
  }
  int32_t Send(const char* data, int32_t count) override {
    sent.append(data, static_cast<size_t>(count));
    return count;
  }

 private:
  std::string input_;
  size_t at_ = 0, piece_;
};
