// FastCGI mode's forwarder. Each request gets one of its own, so nothing of
// one request reaches the next.
#pragma once

#include <cstdint>

#include "base/growing_buffer.h"
#include "gateway/cgi_forwarder.h"
#include "gateway/fastcgi/connection.h"
#include "gateway/fastcgi/params.h"

// The forwarder of one FastCGI request: its variables are the request's
// PARAMS, its input the STDIN records, its output STDOUT records carrying a
// CGI response (the web server frames the HTTP response itself).
class FastCgiForwarder : public CgiForwarder {
 public:
  // `params` holds the variables as "name\0value\0" pairs; both it and
  // `connection` must outlive the forwarder.
  FastCgiForwarder(ForwardSettings& settings, fastcgi::Connection& connection, uint16_t requestId,
                   const GrowingBuffer& params);

  int32_t ReadInput(char* buffer, int32_t count) override;
  int32_t WriteOutput(const char* buffer, int32_t count) override;
  char* GetVariable(const char* name) override;
  void FreeVariable(char* text) override;
  bool VariableNameAt(int32_t index, char* name, int32_t size) override;

  // Reads what is left of the input and ends the request on the connection.
  // False when the connection is to be closed: also when a streamed reply was
  // cut short, which the request must not end as if it were whole.
  bool Finish(bool keepConnection);

 private:
  // Writes what the CGI header allows of the collected HTTP header, then
  // whatever came after it. False when the output failed.
  bool WriteHeaderWhenComplete();

  fastcgi::Connection& connection_;
  const uint16_t requestId_;
  const GrowingBuffer& params_;
  const fastcgi::ParamIndex variables_;
  const char* pending_ = nullptr;  // unread bytes of the last STDIN record
  size_t pendingLength_ = 0;
  bool inputEnded_ = false;
  bool aborted_ = false;
  GrowingBuffer head_;  // the HTTP header until its blank line has been written
  bool headerWritten_ = false;
  bool outputFailed_ = false;
};
