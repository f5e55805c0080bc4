#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ota::backend
{

// Why route callbacks do not run on the I/O threads
// -------------------------------------------------
// The two I/O threads accept connections, read requests, write answers and send every event of
// the WebSocket stream. Some callbacks are slow and queue on one application mutex: scene reload,
// firmware inspection and upgrade preview digest firmware files (up to gigabytes), and start,
// abort and the history routes wait for whichever of those holds the mutex. Run on the I/O
// threads, one preview plus one request waiting for it would hold both, and health, every other
// route, every socket and the event stream would stall with them.
//
// So the I/O threads only parse, check and write, and hand each matched route's callback to one of
// two lanes, each a FIFO served by its own thread:
// - the operation lane takes the routes that take the upgrade-operation mutex or digest files; they
//   would serialise on that mutex anyway, so one thread for all of them costs nothing;
// - the quick lane takes every other route (health, status, frames, ...), which answer from
//   memory and must stay prompt however long an operation runs.
// A slow operation therefore delays only the operations queued behind it.
//
// A third lane, the record lane, writes the audit entries of POST requests refused before they
// could run (no token, a foreign origin, ...) and runs the login and logout routes, which anyone
// may send and which are audited too. Each entry is a durable database write; a flood of such
// requests must not hold up health and /metrics on the quick lane.
enum class E_CallbackLane
{
    Quick,
    Operation,
    Record,
    // A fourth lane takes the firmware uploads, each as long as its client takes to send the
    // file: on the operation lane one slow upload would hold up every abort and start.
    Upload,
};

// The callback lanes. A job runs on its lane's thread, after every job submitted to that
// lane before it, and never at the same time as another job of the same lane.
class CCallbackLanes
{
public:
    using Job = std::function<void()>;

    CCallbackLanes() = default;
    ~CCallbackLanes();
    CCallbackLanes(const CCallbackLanes&) = delete;
    CCallbackLanes& operator=(const CCallbackLanes&) = delete;

    // Starts the lane threads; throws std::system_error when one cannot be created (call stop then).
    void start();

    // Queues a job; false once stop has begun (the job is then destroyed without running).
    bool submit(E_CallbackLane lane, Job job);

    // Jobs queued that have not started yet, over all lanes.
    std::size_t waitingCount() const;

    // Drops the jobs that have not started, waits for the running ones and joins the threads.
    // Idempotent. Must not be called from a job.
    void stop() noexcept;

private:
    struct S_Lane
    {
        mutable std::mutex mutex;
        std::condition_variable wake;
        std::deque<Job> jobs;
        bool stopping = false;
        std::thread thread;
    };

    static void run(S_Lane& lane);
    S_Lane& laneOf(E_CallbackLane lane);

    std::array<S_Lane, 4> m_lanes;
};

}  // namespace ota::backend
