#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace ota::backend
{

// How a streamed request body ended, when it did not end whole.
enum class E_StreamedBodyFault
{
    NONE,
    TOO_LARGE,  // more bytes came than the route takes
    BROKEN,     // the client went away, stalled past the timeout, or sent malformed HTTP
};

// A request body handed from the connection that reads it to the callback that consumes it, a
// few pieces at a time, so that a body of gigabytes never sits in memory. The connection supplies
// pieces on its I/O thread and never blocks; the callback reads on its lane and waits for them.
// When the queue is full the connection stops reading from the socket until the callback has
// taken a piece and calls resume: the client is slowed down to the pace of the disk.
//
// Thread-safe; shared by the connection and the callback.
class CStreamedBody
{
public:
    // resume is called on the reading thread, outside the lock, when the supplier was told to
    // wait and there is room again.
    CStreamedBody(std::size_t maxQueuedPieces, std::function<void()> resume);

    // Supplier side. supply answers whether the supplier may read the next piece at once.
    bool supply(std::vector<std::uint8_t> piece);
    void end();
    void fail(E_StreamedBodyFault fault);
    // A buffer of a piece the reader is done with, to be filled again (empty when none is spare).
    std::vector<std::uint8_t> spare();

    // Reader side: points data at the next piece, which stays valid until the next call (no copy
    // is made); the count, 0 at the end of the body, negative when it failed (see fault()). Blocks
    // until a piece, the end or a failure is there.
    std::ptrdiff_t next(const std::uint8_t*& data);
    // The reader stops reading: whatever is left of the body is not wanted.
    void abandon();

    bool isComplete() const;  // the supplier ended it and the reader has taken every byte
    bool isAbandoned() const;
    E_StreamedBodyFault fault() const;

private:
    const std::size_t m_maxQueued;
    const std::function<void()> m_resume;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::vector<std::uint8_t>> m_pieces;
    std::vector<std::uint8_t> m_reading;  // the piece the reader holds
    std::vector<std::vector<std::uint8_t>> m_spare;
    bool m_ended = false;
    bool m_abandoned = false;
    bool m_supplierWaiting = false;
    E_StreamedBodyFault m_fault = E_StreamedBodyFault::NONE;
};

}  // namespace ota::backend
