#include "gateway/fastcgi/fastcgi_forwarder.h"

#include <cstdlib>
#include <cstring>

#include "base/http_message.h"
#include "base/owned_buffer.h"
#include "forwarding/body_reader.h"
#include "forwarding/reply_scanner.h"
#include "gateway/fastcgi/cgi_response_header.h"
#include "gateway/fastcgi/params.h"
#include "gateway/fastcgi/routing.h"

using fastcgi::Connection;
using fastcgi::Record;

FastCgiForwarder::FastCgiForwarder(ForwardSettings& settings, Connection& connection,
                                   uint16_t requestId, const GrowingBuffer& params)
    : CgiForwarder(settings), connection_(connection), requestId_(requestId), params_(params),
      variables_(params) {
  webServerFramesResponse_ = true;
}

int32_t FastCgiForwarder::ReadInput(char* buffer, int32_t count) {
  while (pendingLength_ == 0) {
    if (inputEnded_ || aborted_) return 0;
    Record record;
    if (!fastcgi::NextRecord(connection_, requestId_, &record)) {
      inputEnded_ = true;
    } else if (record.header.type == fastcgi::kAbortRequest) {
      aborted_ = true;
    } else if (record.header.type == fastcgi::kStdin) {
      inputEnded_ = record.header.contentLength == 0;
      pending_ = record.content;
      pendingLength_ = record.header.contentLength;
    }
  }
  size_t take =
      static_cast<size_t>(count) < pendingLength_ ? static_cast<size_t>(count) : pendingLength_;
  std::memcpy(buffer, pending_, take);
  pending_ += take;
  pendingLength_ -= take;
  return static_cast<int32_t>(take);
}

bool FastCgiForwarder::WriteHeaderWhenComplete() {
  int64_t end = 0;
  for (;;) {
    ReplyHead head;
    ScanReplyHead(head_.Data(), head_.Length(), &head);
    if (head.fault) return false;
    end = head.headerLength;
    if (end == 0) return head_.Length() <= kMaxReplyHeader && !head_.Failed();
    // Interim replies are the web server's to make.
    if (!IsInterim(head.status)) break;
    std::memmove(head_.Data(), head_.Data() + end, static_cast<size_t>(head_.Length() - end));
    head_.CutTo(head_.Length() - end);
  }
  GrowingBuffer cgi;
  if (!ReplyHeaderToCgi(head_.Data(), static_cast<size_t>(end), cgi)) return false;
  headerWritten_ = true;
  return connection_.WriteRecords(fastcgi::kStdout, requestId_, cgi.Data(),
                                  static_cast<size_t>(cgi.Length())) &&
         (head_.Length() == end ||
          connection_.WriteRecords(fastcgi::kStdout, requestId_, head_.Data() + end,
                                   static_cast<size_t>(head_.Length() - end)));
}

int32_t FastCgiForwarder::WriteOutput(const char* buffer, int32_t count) {
  if (count <= 0 || outputFailed_ || aborted_) return 0;
  size_t rest = static_cast<size_t>(count);
  // Only as much as a header may take is collected (dropped interim replies
  // make room again): a held reply's body goes out from where it is, not from
  // a second copy.
  while (!headerWritten_ && !outputFailed_ && rest > 0) {
    size_t room = static_cast<size_t>(kMaxReplyHeader + 4 - head_.Length());
    size_t take = rest < room ? rest : room;
    head_.Append(buffer, take);
    buffer += take;
    rest -= take;
    outputFailed_ = !WriteHeaderWhenComplete();
    if (headerWritten_) head_ = GrowingBuffer();
  }
  if (!outputFailed_ && rest > 0) {
    outputFailed_ = !connection_.WriteRecords(fastcgi::kStdout, requestId_, buffer, rest);
  }
  // A flowing reply reaches the browser as it arrives; a held one leaves
  // with the end of the request, in as few sends as it takes.
  if (ReplyFlowing() && headerWritten_ && !outputFailed_) outputFailed_ = !connection_.Flush();
  return outputFailed_ ? 0 : count;
}

char* FastCgiForwarder::GetVariable(const char* name) {
  return HeapCopy(variables_.Find(name));
}

void FastCgiForwarder::FreeVariable(char* text) { std::free(text); }

bool FastCgiForwarder::VariableNameAt(int32_t index, char* name, int32_t size) {
  return fastcgi::ParamNameAt(params_, index, name, size);
}

bool FastCgiForwarder::Finish(bool keepConnection) {
  // Ended normally, a reply cut short would look whole to the browser, or
  // keep it waiting for the rest: the connection closes without the end of
  // the request, and the web server drops the browser's connection.
  if (ReplyCutShort()) {
    connection_.Flush();
    return false;
  }
  DrainInput(*this, INT64_MAX);
  if (!aborted_) connection_.WriteRecords(fastcgi::kStdout, requestId_, nullptr, 0);
  fastcgi::EndRequest(connection_, requestId_, fastcgi::kRequestComplete);
  return connection_.Flush() && keepConnection;
}
