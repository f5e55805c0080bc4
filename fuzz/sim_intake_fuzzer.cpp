// Fuzz target: the simulator's frame intake. A simulated device (EMU, PCS or BMS) is put together
// as the simulator does it (conversation, outbox, fault book, hash worker) on a private event loop
// and handed every request decoded from the input stream, read in pseudo-random pieces, in order.
// Byte 0 picks the device type and the BMS's BCU count, byte 1 seeds the read sizes; the rest is
// the stream. A DISCONNECT of the device drops the link; the stream then goes on as a new
// connection (the device greets it again). Timed work (preparation, flashing, the restart) runs
// at once.
// Checks: everything the device writes decodes on the backend's side as device-to-backend frames of
// the device's type, without a byte discarded and without the connection being refused.

#include "protocol/device_side_codec.h"
#include "protocol/ota_v1_protocol_adapter.h"
#include "read_sizes.h"
#include "sim/sim_conversation.h"
#include "sim/sim_counters.h"
#include "sim/sim_fault_book.h"
#include "sim/sim_hash_worker.h"
#include "sim/sim_log.h"
#include "sim/sim_outbox.h"

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ota::backend;
    using ota::fuzz::CReadSizes;
    if (size < 2)
    {
        return 0;
    }
    static const char* const NODE_TYPES[] = {"EMU", "PCS", "BMS"};
    static const CSimLog log(E_SimLogLevel::QUIET);
    const std::uint8_t deviceType = static_cast<std::uint8_t>(data[0] % 3 + 1);

    S_SimDeviceSpec spec;
    spec.nodeId = "fuzz-device";
    spec.nodeName = "Fuzz device";
    spec.deviceType = deviceType;
    spec.bmsBcuCount = (data[0] & 0x80) != 0 ? 12 : 6;
    spec.timings = {0, 0, 0, 0, 1};

    // One loop and hash worker for the whole run (a thread per input would dominate its cost);
    // everything of one input is drained from the loop before it goes.
    static boost::asio::io_context io;
    static CSimHashWorker hasher(io, true);
    const std::shared_ptr<CSimHashLane> lane = hasher.createLane();
    S_SimDeviceCounters counters;
    CSimFaultBook faults(spec.nodeId, log, counters, spec.faults);
    COtaV1ProtocolAdapter backendSide(NODE_TYPES[deviceType - 1], deviceType);
    bool linked = true;
    CSimOutbox outbox(
        io, spec.timings.replyLatencyMs,
        [&](std::vector<std::uint8_t> bytes, std::uint8_t)
        {
            if (!linked)
            {
                return;
            }
            const S_ProtocolDecodeResult decoded = backendSide.decode(bytes.data(), bytes.size(), false);
            if (decoded.connectionRejected || decoded.discardedByteCount != 0 || !decoded.errors.empty())
            {
                std::abort();
            }
        },
        [&] { linked = false; });
    CSimConversation* conversationPointer = nullptr;
    CSimConversation conversation(io, spec, log, counters, faults, outbox, hasher, lane,
                                  {[&](const std::string&)
                                   {
                                       linked = false;
                                       outbox.dropBytes();
                                   },
                                   [&]
                                   {
                                       outbox.runAfterQueued(
                                           [&]
                                           {
                                               conversationPointer->beginRestart();
                                               linked = false;
                                               outbox.dropBytes();
                                               conversationPointer->finishRestart();
                                           });
                                   }});
    conversationPointer = &conversation;

    // Runs what is due, a bounded number of rounds (zero-delay work may schedule more).
    const auto settle = [&]
    {
        for (int round = 0; round < 64 && io.poll() != 0; ++round)
        {
        }
        io.restart();
    };
    CDeviceSideFrameDecoder decoder;
    const auto connect = [&]
    {
        linked = true;
        decoder = CDeviceSideFrameDecoder();
        backendSide.resetDecoder();
        conversation.onConnected();
        settle();
    };
    connect();

    CReadSizes readSizes(data[1]);
    const std::uint8_t* stream = data + 2;
    const std::size_t streamSize = size - 2;
    std::size_t offset = 0;
    while (offset < streamSize)
    {
        const std::size_t piece = std::min(readSizes.next(), streamSize - offset);
        S_DeviceSideDecodeResult decoded = decoder.decode(stream + offset, piece);
        offset += piece;
        for (S_ProtocolFrame& frame : decoded.frames)
        {
            if (!linked)
            {
                break;  // the rest of this read went with the connection
            }
            // The link holds a request until the hash worker has caught up with the chunks before it.
            while (!hasher.idle(*lane))
            {
                settle();
            }
            conversation.handleRequest(frame);
            settle();
        }
        if (!linked)
        {
            connect();
        }
    }
    conversation.stop();
    outbox.clear();
    while (!hasher.idle(*lane))
    {
        settle();
    }
    settle();
    return 0;
}
