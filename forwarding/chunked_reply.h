// A transfer-coded reply as the one who reads it is to get it: the chunks as
// sent to a browser that reads them, their data to one that does not.
#pragma once

#include <cstdint>

#include "base/growing_buffer.h"
#include "forwarding/reply_framer.h"

// Rewrites the chunked reply held in `reply` (framed by `framer` as far as it goes):
// Content-Length goes (Transfer-Encoding overrode it, and nobody may read it
// beside the body); with `dechunk` the chunks become their data, their
// Transfer-Encoding goes too, and a `whole` reply declares the data's
// length. `*headerEnd` is where the new header ends. False when memory ran
// out.
bool ReframeHeldReply(GrowingBuffer& reply, const ReplyFramer& framer, bool dechunk, bool whole,
                      int64_t* headerEnd);
