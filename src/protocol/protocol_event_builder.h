#pragma once

#include "protocol/protocol_event.h"
#include "protocol/protocol_frame.h"

namespace ota::backend
{

// The event of one parsed device-to-tool frame. With withHexText the frame is encoded again for
// its hexadecimal text and length. A tool-to-device frame gives an event without a body.
S_ProtocolEvent makeProtocolEvent(const S_ProtocolFrame& frame, bool withHexText);

}  // namespace ota::backend
