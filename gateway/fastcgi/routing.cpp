#include "gateway/fastcgi/routing.h"

#include <cstring>

namespace fastcgi {
namespace {

// Answers a record about the application rather than a request: the limits
// the web server asks for, and "unknown type" for anything else.
void AnswerManagement(Connection& connection, const Record& record) {
  if (record.header.type != kGetValues) {
    const char body[8] = {static_cast<char>(record.header.type), 0, 0, 0, 0, 0, 0, 0};
    connection.WriteRecords(kUnknownType, 0, body, sizeof body);
    return;
  }
  GrowingBuffer result;
  size_t at = 0;
  const char* name;
  const char* value;
  uint32_t nameLength, valueLength;
  while (ReadNameValue(record.content, record.header.contentLength, &at, &name, &nameLength,
                       &value, &valueLength)) {
    // One request at a time, on one connection.
    static const char* const kAnswers[][2] = {
        {"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}};
    for (const auto& answer : kAnswers) {
      if (std::strlen(answer[0]) == nameLength && std::memcmp(name, answer[0], nameLength) == 0) {
        AppendNameValue(result, answer[0], answer[1]);
      }
    }
  }
  connection.WriteRecords(kGetValuesResult, 0, result.Data(), static_cast<size_t>(result.Length()));
}

}  // namespace

bool NextRecord(Connection& connection, uint16_t activeId, Record* record) {
  for (;;) {
    if (!connection.ReadRecord(record)) return false;
    const RecordHeader& header = record->header;
    if (header.requestId == 0) {
      AnswerManagement(connection, *record);
    } else if (header.type == kBeginRequest && header.requestId != activeId) {
      if (activeId == 0) return true;
      EndRequest(connection, header.requestId, kCantMultiplex);
    } else if (activeId != 0 && header.requestId == activeId) {
      return true;
    }
  }
}

void EndRequest(Connection& connection, uint16_t requestId, uint8_t protocolStatus) {
  const char body[8] = {0, 0, 0, 0, static_cast<char>(protocolStatus), 0, 0, 0};
  connection.WriteRecords(kEndRequest, requestId, body, sizeof body);
}

}  // namespace fastcgi
