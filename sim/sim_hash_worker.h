#pragma once

#include "common/digest.h"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ota::backend
{

// The running SHA-256 of one received file. While chunks of its device are queued the hash
// worker owns it; the event loop reads it only once the device's lane is idle.
struct S_SimRunningDigest
{
    CSha256 sha;
    std::atomic<bool> abandoned{false};  // the upgrade context went: queued chunks are skipped
};

// The hashing backlog of one device: bytes queued or being hashed, and who to wake when it shrinks.
class CSimHashLane
{
private:
    friend class CSimHashWorker;
    std::size_t m_pendingBytes = 0;
    std::size_t m_wakeAtOrBelow = 0;
    std::function<void()> m_onShrunk;
};

// One thread hashing received chunks for every device of the simulator, so that the event loop
// answers the next chunk while the previous one is still being hashed. Each device's chunks are
// hashed in the order they were queued (one thread, one queue). Completions reach the loop only
// when a device waits for them (posted to the io_context): plain traffic never wakes the loop.
class CSimHashWorker
{
public:
    // hashAloneOnCaller: while a single device has been feeding the worker lately, its pieces
    // are hashed at once on the caller's thread whatever their size. With one device at a time
    // the loop would only wait for the next chunk meanwhile (the report is already on its way),
    // and a hand-over would cost a wake-up and a core shared with the peer.
    CSimHashWorker(boost::asio::io_context& io, bool hashAloneOnCaller);
    ~CSimHashWorker();
    CSimHashWorker(const CSimHashWorker&) = delete;
    CSimHashWorker& operator=(const CSimHashWorker&) = delete;

    std::shared_ptr<CSimHashLane> createLane();

    // Feeds data to the digest after everything queued on the lane before it. Small pieces are
    // hashed at once on the caller's thread when the lane is idle (a hand-over costs more).
    // Called from one thread only (the event loop).
    void hash(const std::shared_ptr<CSimHashLane>& lane, const std::shared_ptr<S_SimRunningDigest>& digest,
              std::vector<std::uint8_t> data);
    // True when the lane holds at most maxBytes. Otherwise false, and onShrunk is posted to the
    // io_context once it does (replacing any earlier callback of the lane).
    bool backlogAtMost(CSimHashLane& lane, std::size_t maxBytes, std::function<void()> onShrunk);
    bool idle(CSimHashLane& lane);

    // Drops queued work and joins the thread; nothing is posted afterwards. Idempotent.
    void stop();

private:
    struct S_Job
    {
        std::shared_ptr<CSimHashLane> lane;
        std::shared_ptr<S_SimRunningDigest> digest;
        std::vector<std::uint8_t> data;
    };

    void run();

    boost::asio::io_context& m_io;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<S_Job> m_jobs;
    bool m_stopping = false;
    const bool m_hashAloneOnCaller;
    const CSimHashLane* m_lastLane = nullptr;
    std::chrono::steady_clock::time_point m_sharedUntil{};
    std::thread m_thread;
};

}  // namespace ota::backend
