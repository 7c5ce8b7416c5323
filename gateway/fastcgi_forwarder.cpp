#include "gateway/fastcgi_forwarder.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/http_message.h"
#include "base/owned_buffer.h"
#include "forwarding/body_reader.h"
#include "gateway/cgi_response_header.h"
#include "platform/platform.h"

namespace {

using fastcgi::Connection;
using fastcgi::Record;

// Bounds the variables of one request, as web servers bound request headers.
constexpr int64_t kMaxParams = 1 << 20;

void EndRequest(Connection& connection, uint16_t requestId, uint8_t protocolStatus) {
  const char body[8] = {0, 0, 0, 0, static_cast<char>(protocolStatus), 0, 0, 0};
  connection.WriteRecords(fastcgi::kEndRequest, requestId, body, sizeof body);
}

// Answers a record about the application rather than a request: the limits
// the web server asks for, and "unknown type" for anything else.
void AnswerManagement(Connection& connection, const Record& record) {
  if (record.header.type != fastcgi::kGetValues) {
    const char body[8] = {static_cast<char>(record.header.type), 0, 0, 0, 0, 0, 0, 0};
    connection.WriteRecords(fastcgi::kUnknownType, 0, body, sizeof body);
    return;
  }
  GrowingBuffer result;
  size_t at = 0;
  const char* name;
  const char* value;
  uint32_t nameLength, valueLength;
  while (fastcgi::ReadNameValue(record.content, record.header.contentLength, &at, &name,
                                &nameLength, &value, &valueLength)) {
    // One request at a time, on one connection.
    static const char* const kAnswers[][2] = {
        {"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}};
    for (const auto& answer : kAnswers) {
      if (std::strlen(answer[0]) == nameLength && std::memcmp(name, answer[0], nameLength) == 0) {
        fastcgi::AppendNameValue(result, answer[0], answer[1]);
      }
    }
  }
  connection.WriteRecords(fastcgi::kGetValuesResult, 0, result.Data(),
                          static_cast<size_t>(result.Length()));
}

// The next record of request `activeId` (0: the next BEGIN_REQUEST), after
// answering management records and refusing a second request meanwhile.
bool NextRecord(Connection& connection, uint16_t activeId, Record* record) {
  for (;;) {
    if (!connection.ReadRecord(record)) return false;
    const fastcgi::RecordHeader& header = record->header;
    if (header.requestId == 0) {
      AnswerManagement(connection, *record);
    } else if (header.type == fastcgi::kBeginRequest && header.requestId != activeId) {
      if (activeId == 0) return true;
      EndRequest(connection, header.requestId, fastcgi::kCantMultiplex);
    } else if (activeId != 0 && header.requestId == activeId) {
      return true;
    }
  }
}

}  // namespace

FastCgiForwarder::FastCgiForwarder(ForwardSettings& settings, Connection& connection,
                                   uint16_t requestId, const GrowingBuffer& params)
    : CgiForwarder(settings), connection_(connection), requestId_(requestId), params_(params) {}

int32_t FastCgiForwarder::ReadInput(char* buffer, int32_t count) {
  while (pendingLength_ == 0) {
    if (inputEnded_ || aborted_) return 0;
    Record record;
    if (!NextRecord(connection_, requestId_, &record)) {
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
    end = FindHeaderEnd(head_.Data(), head_.Length(), BlankLine::kCrLfOrBareLf);
    if (end == 0) return head_.Length() <= kMaxReplyHeader && !head_.Failed();
    // Interim replies are the web server's to make.
    int64_t status = 0;
    if (!ReadStatusCode(head_.Data(), head_.Data() + end, &status) || !IsInterim(status)) break;
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
  // A streamed reply reaches the browser as it arrives; a held one leaves
  // with the end of the request, in as few sends as it takes.
  if (settings_.streaming && headerWritten_ && !outputFailed_) outputFailed_ = !connection_.Flush();
  return outputFailed_ ? 0 : count;
}

const char* FastCgiForwarder::FindParam(const char* name) const {
  const char* at = params_.Data();
  const char* end = at + params_.Length();
  while (at < end) {
    const char* value = at + std::strlen(at) + 1;
    if (std::strcmp(at, name) == 0) return value;
    at = value + std::strlen(value) + 1;
  }
  return nullptr;
}

char* FastCgiForwarder::GetVariable(const char* name) { return HeapCopy(FindParam(name)); }

void FastCgiForwarder::FreeVariable(char* text) { std::free(text); }

bool FastCgiForwarder::VariableNameAt(int32_t index, char* name, int32_t size) {
  if (index < 0 || size <= 0) return false;
  const char* at = params_.Data();
  const char* end = at + params_.Length();
  for (int32_t i = 0; at < end; ++i) {
    size_t length = std::strlen(at);
    if (i == index) {
      if (length >= static_cast<size_t>(size)) length = 0;
      std::memcpy(name, at, length);
      name[length] = '\0';
      return true;
    }
    at += length + 1;
    at += std::strlen(at) + 1;
  }
  return false;
}

bool FastCgiForwarder::Finish(bool keepConnection) {
  DrainInput(*this, INT64_MAX);
  if (!aborted_) connection_.WriteRecords(fastcgi::kStdout, requestId_, nullptr, 0);
  EndRequest(connection_, requestId_, fastcgi::kRequestComplete);
  return connection_.Flush() && keepConnection;
}

namespace {

// Collects the request's PARAMS stream as "name\0value\0" pairs. False when
// the request was aborted, the stream is malformed or too large, or the
// connection failed.
bool ReadParams(Connection& connection, uint16_t requestId, GrowingBuffer& params) {
  GrowingBuffer stream;
  for (;;) {
    Record record;
    if (!NextRecord(connection, requestId, &record)) return false;
    if (record.header.type == fastcgi::kAbortRequest) return false;
    if (record.header.type != fastcgi::kParams) continue;
    if (record.header.contentLength == 0) break;
    stream.Append(record.content, record.header.contentLength);
    if (stream.Failed() || stream.Length() > kMaxParams) return false;
  }
  size_t at = 0;
  const char* name;
  const char* value;
  uint32_t nameLength, valueLength;
  while (fastcgi::ReadNameValue(stream.Data(), static_cast<size_t>(stream.Length()), &at, &name,
                                &nameLength, &value, &valueLength)) {
    params.Append(name, nameLength);
    params.Append("", 1);
    params.Append(value, valueLength);
    params.Append("", 1);
  }
  return at == static_cast<size_t>(stream.Length()) && !params.Failed();
}

}  // namespace

void ServeFastCgiConnection(Connection& connection, ForwardSettings& settings, const char* version,
                            void (*refresh)(void*), void* context) {
  for (;;) {
    Record record;
    if (!NextRecord(connection, 0, &record) || record.header.contentLength < 8) return;
    const uint16_t requestId = record.header.requestId;
    const unsigned char* body = reinterpret_cast<const unsigned char*>(record.content);
    const bool keep = (body[2] & fastcgi::kKeepConnection) != 0;
    if ((body[0] << 8 | body[1]) != fastcgi::kResponderRole) {
      EndRequest(connection, requestId, fastcgi::kUnknownRole);
      if (!connection.Flush() || !keep) return;
      continue;
    }
    GrowingBuffer params;
    if (!ReadParams(connection, requestId, params)) {
      EndRequest(connection, requestId, fastcgi::kRequestComplete);
      if (!connection.Flush() || !keep) return;
      continue;
    }
    if (refresh) refresh(context);
    FastCgiForwarder forwarder(settings, connection, requestId, params);
    forwarder.HandleRequest(version);
    if (!forwarder.Finish(keep)) return;
  }
}

namespace {

// The settings file as last read, and the time stamp it had then.
struct LiveSettings {
  const char* programPath;
  ForwardSettings* settings;
  char profilePath[kPathBufferSize + 8];
  int64_t stamp;
};

void RefreshSettings(void* context) {
  LiveSettings& live = *static_cast<LiveSettings*>(context);
  int64_t stamp = platform::FileStamp(live.profilePath);
  if (stamp == live.stamp) return;
  live.stamp = stamp;
  LoadForwardSettings(live.programPath, live.settings);
}

}  // namespace

void ServeFastCgi(const char* programPath, ForwardSettings& settings, const char* version) {
  static LiveSettings live;
  live.programPath = programPath;
  live.settings = &settings;
  if (!ReplaceExtension(programPath, ".ini", live.profilePath, sizeof live.profilePath)) {
    live.profilePath[0] = '\0';
  }
  // A stamp no file has: the first request reads the file as it is then.
  live.stamp = -2;
  for (;;) {
    platform::SocketHandle socket = platform::AcceptOnStandardInput();
    if (socket == platform::kNoSocket) return;
    Connection* connection = new (std::nothrow) Connection(socket);
    if (!connection) {
      platform::CloseSocket(socket);
      continue;
    }
    ServeFastCgiConnection(*connection, settings, version, RefreshSettings, &live);
    delete connection;
  }
}
