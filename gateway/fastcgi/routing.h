// Which request a record belongs to. One request is served at a time on a
// connection: records about the application (management records) are
// answered as they come, and a second request meanwhile is refused.
#pragma once

#include <cstdint>

#include "gateway/fastcgi/connection.h"

namespace fastcgi {

// The next record of request `activeId` (0: the next BEGIN_REQUEST), after
// answering management records and refusing a second request meanwhile.
// False when the connection ended or broke.
bool NextRecord(Connection& connection, uint16_t activeId, Record* record);

// Ends request `requestId` with `protocolStatus`.
void EndRequest(Connection& connection, uint16_t requestId, uint8_t protocolStatus);

}  // namespace fastcgi
