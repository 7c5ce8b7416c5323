// The whole exchange with a target that sends the fuzzer's bytes and closes.
//
// A loopback listener thread plays the target: it reads the request, sends the
// input (in pieces, with short pauses), then closes or resets. The gateway
// side runs ExchangeWithTarget with a 1 s timeout.
//
// Input: a control byte (bits 0-4 the piece size in 64-byte steps, 0 for one
// piece; bit 5 pauses 1 ms between pieces; bit 6 resets instead of closing;
// bit 7 asks with HEAD), then the reply.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/fuzz_check.h"
#include "gateway/owned.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/fake_forwarder.h"

namespace {

const char kGet[] = "GET /fuzz HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const char kHead[] = "HEAD /fuzz HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

struct Script {
  std::string reply;
  size_t piece = 0;
  bool pause = false;
  bool reset = false;
};

// One target for the whole run; it serves one connection per input.
class Target {
 public:
  Target() {
    platform::StartProcess();
    listener_ = platform::OpenLoopbackListener(&port_);
    FUZZ_CHECK(listener_ != platform::kNoSocket, "a loopback listener");
    std::thread(&Target::Serve, this).detach();  // lives as long as the process
  }
  uint16_t Port() const { return port_; }

  void Play(const Script& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = script;
    pending_ = true;
    done_ = false;
    changed_.notify_all();
  }
  // Waits until the connection of the last Play has been served.
  void Finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return done_; });
  }

 private:
  void Serve() {
    for (;;) {
      Script script;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return pending_; });
        script = script_;
        pending_ = false;
      }
      platform::SocketHandle socket = platform::AcceptConnection(listener_, 5000);
      if (socket != platform::kNoSocket) {
        ServeOne(socket, script);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      changed_.notify_all();
    }
  }

  static void ServeOne(platform::SocketHandle socket, const Script& script) {
    // The request has no body: read up to its blank line.
    std::string request;
    char buffer[512];
    while (request.find("\r\n\r\n") == std::string::npos && platform::WaitForData(socket, 2000)) {
      int32_t got = platform::ReceiveFromSocket(socket, buffer, sizeof buffer);
      if (got <= 0) break;
      request.append(buffer, static_cast<size_t>(got));
    }
    size_t sent = 0;
    size_t piece = script.piece == 0 ? script.reply.size() : script.piece;
    while (sent < script.reply.size()) {
      size_t take = script.reply.size() - sent;
      if (take > piece) take = piece;
      int32_t put = platform::SendOnSocket(socket, script.reply.data() + sent, static_cast<int32_t>(take));
      if (put <= 0) break;  // the gateway had all it wanted and left
      sent += static_cast<size_t>(put);
      if (script.pause && sent < script.reply.size()) platform::SleepMilliseconds(1);
    }
    if (script.reset) {
      platform::ResetAndClose(socket);
    } else {
      platform::CloseSocket(socket);
    }
  }

  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  Script script_;
  bool pending_ = false;
  bool done_ = true;
};

Target& TheTarget() {
  static Target* target = new Target();  // never destroyed: its thread outlives main
  return *target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Script script;
  script.piece = static_cast<size_t>(data[0] & 0x1F) * 64;
  script.pause = (data[0] & 0x20) != 0;
  script.reset = (data[0] & 0x40) != 0;
  const bool head = (data[0] & 0x80) != 0;
  script.reply.assign(reinterpret_cast<const char*>(data + 1), size - 1);

  Target& target = TheTarget();
  ForwardSettings settings = DefaultSettings(target.Port());
  settings.timeoutSeconds = 1;
  FakeForwarder forwarder(settings);
  const char* request = head ? kHead : kGet;
  int32_t replyLength = -1, status = -1;

  target.Play(script);
  auto start = std::chrono::steady_clock::now();
  OwnedBuffer reply(forwarder.ExchangeWithTarget(request, static_cast<int32_t>(std::strlen(request)),
                                                 &replyLength, &status));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  target.Finish();

  FUZZ_CHECK(forwarder.output.empty() && forwarder.reads == 0, "the exchange touches no CGI stream");
  if (reply) {
    FUZZ_CHECK(replyLength > 0, "a reply has bytes");
    FUZZ_CHECK(static_cast<size_t>(replyLength) <= script.reply.size(), "no more than was sent");
    FUZZ_CHECK(std::memcmp(reply.get(), script.reply.data(), static_cast<size_t>(replyLength)) == 0,
               "the reply is relayed byte for byte");
    FUZZ_CHECK(reply.get()[replyLength] == '\0', "a NUL follows the reply");
  } else {
    FUZZ_CHECK(replyLength == 0, "no reply, no length");
  }
  // The target always closes, so no exchange may sit out its timeout.
  FUZZ_CHECK(seconds < 5.0, "a closed connection ends the exchange");
  return 0;
}
