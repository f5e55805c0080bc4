// Fuzz target: the adapter's decode fed in arbitrary chunks. Input: byte 0 picks the node type,
// byte 1 seeds the read sizes and the hexText flag, the rest is the received stream. The
// stream is also fed to the device-side decoder.

#include "protocol/device_side_codec.h"
#include "protocol/ota_v1_protocol_adapter.h"
#include "read_sizes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ota::backend;
    using ota::fuzz::CReadSizes;
    if (size < 2)
    {
        return 0;
    }
    static const char* const NODE_TYPES[] = {"EMU", "PCS", "BMS"};
    const std::uint8_t deviceType = static_cast<std::uint8_t>(data[0] % 3 + 1);
    const bool withHexText = (data[1] & 0x80) != 0;
    COtaV1ProtocolAdapter adapter(NODE_TYPES[deviceType - 1], deviceType);
    CDeviceSideFrameDecoder deviceDecoder;
    CReadSizes readSizes(data[1]);

    const std::uint8_t* stream = data + 2;
    const std::size_t streamSize = size - 2;
    std::size_t offset = 0;
    while (offset < streamSize)
    {
        const std::size_t piece = std::min(readSizes.next(), streamSize - offset);
        const S_ProtocolDecodeResult result = adapter.decode(stream + offset, piece, withHexText);
        if (result.discardedByteCount > piece + MAX_ACCEPTED_FRAME_LENGTH ||
            adapter.bufferedByteCount() >= MAX_ACCEPTED_FRAME_LENGTH ||
            result.connectionRejected != !result.rejectionReason.empty())
        {
            __builtin_trap();
        }
        for (const auto& event : result.events)
        {
            // Every decoded event carries the body of a device-to-tool message.
            const bool bodied = event.body.index() != 0 && event.messageType() != 0;
            if (!bodied || (withHexText && event.hexText.size() != event.frameLength * 3 - 1))
            {
                __builtin_trap();
            }
        }
        const S_DeviceSideDecodeResult deviceResult = deviceDecoder.decode(stream + offset, piece);
        if (deviceDecoder.bufferedByteCount() >= MAX_ACCEPTED_FRAME_LENGTH)
        {
            __builtin_trap();
        }
        for (const auto& frame : deviceResult.frames)
        {
            if (!isToolToDeviceMessageType(frame.messageType))
            {
                __builtin_trap();
            }
        }
        // The connection manager closes a rejected connection; here the stream simply restarts.
        if (result.connectionRejected)
        {
            adapter.resetDecoder();
        }
        offset += piece;
    }
    return 0;
}
