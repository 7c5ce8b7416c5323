// The object that carries one request through the gateway.
//
// All request logic is written as its operations; its only contact with the
// web server is the four virtual primitives below. ConsoleCgiForwarder binds
// them to the process's standard streams and environment; tests bind them to
// memory.
#pragma once

#include <cstdint>

#include "forwarding/failure.h"
#include "gateway/forward_mode.h"
#include "log/request_log.h"
#include "settings/forward_settings.h"

class RequestBody;
class TargetConnection;

class CgiForwarder {
 public:
  // Borrows `settings`, which must outlive the forwarder.
  explicit CgiForwarder(ForwardSettings& settings) : settings_(settings) {}
  virtual ~CgiForwarder() = default;
  CgiForwarder(const CgiForwarder&) = delete;
  CgiForwarder& operator=(const CgiForwarder&) = delete;

  // Reads at most `count` bytes of the request body; returns the count read.
  virtual int32_t ReadInput(char* buffer, int32_t count);
  // Writes `count` bytes of the response; returns the count written.
  virtual int32_t WriteOutput(const char* buffer, int32_t count);
  // A heap copy of the CGI variable `name`, or nullptr when it is not set.
  // Hand it back to FreeVariable of the same forwarder.
  virtual char* GetVariable(const char* name);
  virtual void FreeVariable(char* text);
  // Copies the name of the `index`th CGI variable (from 0) into `name`; false
  // past the last. Only the forwarding of unmapped headers lists variables.
  virtual bool VariableNameAt(int32_t index, char* name, int32_t size);

  // Serves the request and writes exactly one response.
  void HandleRequest(const char* version);

  // Complete HTTP/1.0 responses with a text/html or text/plain body, cut at
  // its first NUL.
  void SendHtml(const char* status, const char* body);
  void SendText(const char* status, const char* body);

  // Rebuilds the HTTP/1.0 request from the CGI variables and the body.
  // Returns a malloc'd buffer (NUL after `*length` bytes) that the caller
  // frees, or nullptr with `*length` 0 (LastFailure() says why).
  char* BuildRequest(int32_t* length, ForwardMode mode);

  // Sends `request` to the target and collects its reply. Returns a malloc'd
  // buffer (NUL after `*replyLength` bytes) that the caller frees, or nullptr
  // with `*replyLength` 0 (LastFailure() says why). `*targetStatus` is the
  // reply's status code once its header has been seen.
  char* ExchangeWithTarget(const char* request, int32_t length,
                           int32_t* replyLength, int32_t* targetStatus);
  // Why the last of these operations, or BuildRequestHead, returned nullptr.
  Failure LastFailure() const { return failure_; }

  // Finds the end of the reply header, the status code and the declared
  // Content-Length in the NUL-terminated `text`; all 0 while the header is
  // incomplete. `text` is left as it is.
  void ScanReplyHeader(char* text, int32_t* headerLength, int32_t* status,
                       int32_t* bodyLength);

  // Streaming: the request's header alone, its body left in `body` to be sent
  // in pieces. Returns a malloc'd buffer or nullptr, like BuildRequest.
  char* BuildRequestHead(int32_t* length, ForwardMode mode, RequestBody* body);
  // Sends the head and the body, and relays the reply to the output as it
  // arrives. Failure::kNone once any of the reply has been relayed (a failure
  // after that ends the response short); the cause when nothing was.
  Failure StreamWithTarget(const char* head, int32_t length, RequestBody& body);

  // Exchanges go through `connection`, kept open between requests when the
  // target allows, instead of one made for each request (FastCGI mode lends
  // the process's own). It must outlive the forwarder's requests.
  void LendTargetConnection(TargetConnection* connection) { keptConnection_ = connection; }

  // From this call on the reply is relayed as it arrives (a web server that
  // buffers what the gateway writes is to pass it on at once).
  void MarkReplyFlowing() { replyFlowing_ = true; }
  bool ReplyFlowing() const { return replyFlowing_; }
  // A reply relayed in part ended short (its target failed, or the browser
  // went): a web server that frames the response itself must not present it
  // as whole.
  void MarkReplyCutShort() { replyCutShort_ = true; }
  bool ReplyCutShort() const { return replyCutShort_; }

  // True when a chunked reply is to be relayed as its data: to a web server
  // that frames the response itself, or a browser that does not read chunks
  // (SERVER_PROTOCOL below HTTP/1.1, or HTTP/2). A browser of HTTP/1.1 gets
  // the chunks as sent, and with them the end of the reply: a reply cut
  // short never passes for whole, and a live one keeps flowing.
  bool DechunksReplies();

  // When "RewriteRedirects" is on: a copy of the reply whose header sends the
  // browser to the gateway's public address instead of the target's (malloc'd,
  // NUL after `*newLength` bytes). nullptr when there is nothing to rewrite.
  char* RewriteRedirects(const char* reply, int32_t length, int32_t* newLength);

  // What the browser is sent, as the access log records it: the status, the
  // body's length, and why a reply already flowing ended short.
  struct Response {
    int32_t status = 0;
    int64_t bodyBytes = 0;
    Failure cut = Failure::kNone;
  };
  const Response& Sent() const { return response_; }

 protected:
  ForwardSettings& settings_;
  // The web server frames the response itself (FastCGI).
  bool webServerFramesResponse_ = false;

 private:
  // HandleRequest's work; returns the access log's word for how it ended.
  const char* Serve(const char* version);
  // The gateway's own page for `failure` (a refused path, or a 5xx page).
  const char* SendFailurePage(Failure failure);
  void WriteAccessLine(const char* outcome, int64_t milliseconds);
  void SendPage(const char* status, const char* headerLines, const char* body, int64_t length);
  // The log of the request being served.
  RequestLog Log() const { return RequestLog(settings_.logFile); }
  void WriteLocalHeader(const char* status, const char* contentTypeLine, int64_t bodyLength);
  void WriteTextHeader(const char* status, int64_t bodyLength);
  // The answers of the reserved paths "/~~echo", "/~~info" and "/~~target".
  void SendEcho();
  void SendInfoPage(const char* version);
  Failure ProbeTarget();

  Failure failure_ = Failure::kNone;
  Response response_;
  TargetConnection* keptConnection_ = nullptr;
  bool replyFlowing_ = false;
  bool replyCutShort_ = false;
};

// The forwarder of a real CGI run: standard input, standard output and the
// process environment.
class ConsoleCgiForwarder : public CgiForwarder {
 public:
  explicit ConsoleCgiForwarder(ForwardSettings& settings) : CgiForwarder(settings) {}
  // Reads whatever is left of a declared request body before the process ends.
  ~ConsoleCgiForwarder() override;

  int32_t ReadInput(char* buffer, int32_t count) override;
  int32_t WriteOutput(const char* buffer, int32_t count) override;
  char* GetVariable(const char* name) override;
  void FreeVariable(char* text) override;
  bool VariableNameAt(int32_t index, char* name, int32_t size) override;

 private:
  int64_t bodyBytesRead_ = 0;
};

// A copy of a CGI variable, handed back to the forwarder that made it.
class VariableCopy {
 public:
  VariableCopy() = default;
  VariableCopy(CgiForwarder& forwarder, const char* name)
      : forwarder_(&forwarder), text_(forwarder.GetVariable(name)) {}
  // A fixed text standing where a variable would: nothing to hand back, so
  // nothing can leak whatever the forwarder's FreeVariable does.
  static VariableCopy Fixed(const char* text) {
    VariableCopy copy;
    copy.text_ = const_cast<char*>(text);
    copy.owned_ = false;
    return copy;
  }

  VariableCopy(VariableCopy&& other) noexcept
      : forwarder_(other.forwarder_), text_(other.text_), owned_(other.owned_) {
    other.text_ = nullptr;
  }
  VariableCopy& operator=(VariableCopy&& other) noexcept {
    if (this != &other) {
      Release();
      forwarder_ = other.forwarder_;
      text_ = other.text_;
      owned_ = other.owned_;
      other.text_ = nullptr;
    }
    return *this;
  }
  VariableCopy(const VariableCopy&) = delete;
  VariableCopy& operator=(const VariableCopy&) = delete;
  ~VariableCopy() { Release(); }

  bool IsSet() const { return text_ != nullptr; }
  const char* Text() const { return text_; }
  void Release() {
    if (text_ && owned_) forwarder_->FreeVariable(text_);
    text_ = nullptr;
  }

 private:
  CgiForwarder* forwarder_ = nullptr;
  char* text_ = nullptr;
  bool owned_ = true;
};
