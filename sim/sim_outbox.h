#pragma once

#include "sim/sim_timer.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace ota::backend
{

// A device's output, in order: every entry leaves the reply latency (plus any extra delay of its
// own) after it was made, and none overtakes one made before it. An entry is bytes to write
// and/or an action to run once everything before it has been written (a restart after its ACK).
// Bytes are handed to the writer; without a connection the writer drops them.
//
// Lifetime: owned by its device; its one timer is a member, so nothing of it runs after the
// outbox is gone. Used on the simulator's event loop only.
class CSimOutbox
{
public:
    using Writer = std::function<void(std::vector<std::uint8_t> bytes, std::uint8_t messageType)>;

    // onOverflow: too many entries are held back (the peer keeps asking while the answers wait
    // out their delay); the device drops its connection, which must call dropBytes().
    CSimOutbox(boost::asio::io_context& io, std::uint32_t replyLatencyMs, Writer writer,
               std::function<void()> onOverflow);
    CSimOutbox(const CSimOutbox&) = delete;
    CSimOutbox& operator=(const CSimOutbox&) = delete;

    // messageType 0: raw bytes (garbage), not counted as a frame.
    void send(std::vector<std::uint8_t> bytes, std::uint8_t messageType, std::uint32_t extraDelayMs = 0);
    void runAfterQueued(std::function<void()> action);
    // The connection is gone: bytes queued for it go with it; the actions still run in turn.
    void dropBytes();
    // Shutdown: drops everything and stops the timer.
    void clear();

private:
    struct S_Entry
    {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
        std::uint8_t messageType = 0;
        std::function<void()> action;
    };

    void enqueue(S_Entry entry, std::uint32_t extraDelayMs);
    void flush();
    void armTimer();
    void deliver(S_Entry& entry);

    const std::uint32_t m_replyLatencyMs;
    Writer m_writer;
    std::function<void()> m_onOverflow;
    std::deque<S_Entry> m_entries;
    CSimTimer m_timer;
};

}  // namespace ota::backend
