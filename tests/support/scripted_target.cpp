#include "tests/support/scripted_target.h"

#include <cstdlib>

#include "tests/support/loopback_listener.h"

namespace {

// Reads until the request's header and declared body have arrived, or the
// peer stops sending for a while.
std::string ReadOneRequest(platform::SocketHandle socket) {
  std::string request;
  char piece[65536];
  size_t expected = 0;
  for (;;) {
    if (!platform::WaitForData(socket, 2000)) break;
    int32_t got = platform::ReceiveFromSocket(socket, piece, sizeof piece);
    if (got <= 0) break;
    request.append(piece, static_cast<size_t>(got));
    size_t headerEnd = request.find("\r\n\r\n");
    if (headerEnd == std::string::npos) continue;
    if (expected == 0) {
      expected = headerEnd + 4;
      size_t length = request.find("\nContent-Length: ");
      if (length != std::string::npos && length < headerEnd) {
        expected += std::strtoul(request.c_str() + length + 17, nullptr, 10);
      }
    }
    if (request.size() >= expected) break;
  }
  return request;
}

}  // namespace

ScriptedTarget::ScriptedTarget() { listener_ = platform::OpenLoopbackListener(&port_); }

ScriptedTarget::~ScriptedTarget() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable()) thread_.join();
  platform::CloseSocket(listener_);
}

ScriptedTarget& ScriptedTarget::Send(const std::string& bytes) {
  steps_.push_back({Step::kSend, bytes, 0});
  return *this;
}
ScriptedTarget& ScriptedTarget::Pause(int milliseconds) {
  steps_.push_back({Step::kPause, "", milliseconds});
  return *this;
}
ScriptedTarget& ScriptedTarget::Close() {
  steps_.push_back({Step::kClose, "", 0});
  return *this;
}
ScriptedTarget& ScriptedTarget::Reset() {
  steps_.push_back({Step::kReset, "", 0});
  return *this;
}
ScriptedTarget& ScriptedTarget::Hold() {
  hold_ = true;
  return *this;
}
ScriptedTarget& ScriptedTarget::DontRead() {
  read_ = false;
  return *this;
}

void ScriptedTarget::Start(int connections) {
  thread_ = std::thread([this, connections] { Serve(connections); });
}

std::string ScriptedTarget::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int ScriptedTarget::Connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void ScriptedTarget::Serve(int connections) {
  for (int served = 0; served < connections;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    platform::SocketHandle socket = platform::AcceptConnection(listener_, 50);
    if (socket == platform::kNoSocket) continue;
    ++served;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    if (read_) {
      std::string request = ReadOneRequest(socket);
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += request;
    }
    bool closed = false;
    for (const Step& step : steps_) {
      if (step.kind == Step::kSend) {
        size_t sent = 0;
        while (sent < step.bytes.size()) {
          int32_t put = platform::SendOnSocket(socket, step.bytes.data() + sent,
                                               static_cast<int32_t>(step.bytes.size() - sent));
          if (put <= 0) break;
          sent += static_cast<size_t>(put);
        }
      } else if (step.kind == Step::kPause) {
        platform::SleepMilliseconds(step.milliseconds);
      } else if (step.kind == Step::kClose) {
        platform::CloseSocket(socket);
        closed = true;
        break;
      } else {
        platform::ResetAndClose(socket);
        closed = true;
        break;
      }
    }
    if (closed) continue;
    while (hold_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) break;
      }
      platform::SleepMilliseconds(20);
    }
    platform::CloseSocket(socket);
  }
}

uint16_t UnusedPort() {
  uint16_t port = 0;
  platform::SocketHandle listener = platform::OpenLoopbackListener(&port);
  platform::CloseSocket(listener);
  return port;
}
