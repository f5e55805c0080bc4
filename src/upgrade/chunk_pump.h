#pragma once

// The transfer loop of one device as a small state machine that whichever thread has the reply can
// advance: stop-and-wait, one chunk outstanding, each answered by its chunk report.
//
// Threads: the device's worker owns the pump. It sends the first chunk (and any chunk after a
// report it handled itself), then waits on the session with the pump (S_EventWait::pump). A
// matching, successful report of a chunk that is not the last one is taken by the pump on the
// thread that delivered it (the device link's I/O thread): verified, counted, and the next chunk
// read and sent right there, without waking the worker. After such a send the pump reads the chunk
// after it and has the link seal its frame while the device works, so the next report's turn is
// the send alone. Everything else is the worker's: the last
// chunk's report, a failed or mismatching report, a report while abort or stop was raised or the
// budget is spent, a failure of the pump's own read or send (the wait returns
// WAIT_PUMP_STOPPED), and the per-chunk timeout, which the wait counts from the pump's last send.
//
// The link: exactly one thread uses the device's link at a time. `linkBusy` says a thread has it;
// it is claimed and given back under the session's lock, and the link itself is used without it.
// The pump claims it only while armed; the worker disarms it whenever its wait returns and then
// waits until a send in progress gave the link back, so the worker never shares the link, the
// firmware descriptors or the chunk's frame with the pump's thread.
//
// Locks: every field below is guarded by the device session's mutex; the pump takes no lock of its
// own. Reading the file and sending happen with no lock held; the order is the session's (its
// mutex, then the publisher's leaf), and the transport's own locks are never taken under it.

#include "upgrade/upgrade_execution_impl.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ota::backend
{

class CChunkPump final : public IChunkPump
{
public:
    // Why the transfer cannot go on; the worker reports it.
    struct S_Failure
    {
        bool budgetExhausted = false;
        std::string text;  // otherwise: an internal error
    };

    // Attaches itself to the device's session; the files as (fileNo, chunk count) in sending order.
    CChunkPump(CUpgradeExecutionService::S_Impl& engine, S_TaskRun& task, std::size_t index,
               CFirmwareStreamCache& streams, std::vector<std::pair<std::uint8_t, std::uint16_t>> files,
               std::uint64_t totalChunks, TimePoint transferDeadline);
    // Detaches, with the link back.
    ~CChunkPump() override;
    CChunkPump(const CChunkPump&) = delete;
    CChunkPump& operator=(const CChunkPump&) = delete;

    // ---- the worker, holding the link (no lock held)
    // A chunk is left to send.
    bool hasNext() const { return m_fileIndex < m_files.size(); }
    // Sends the next chunk and arms the pump; false with the failure.
    bool sendByWorker(S_Failure& failure);
    // The report of the chunk asked last, as the worker's wait returned it: verified and counted.
    // False: it failed or its CRC-32 differs (fileNo and chunkNo name the chunk).
    bool acceptByWorker(const S_ProtocolEventFileChunkReport& report, std::uint8_t& fileNo,
                        std::uint16_t& chunkNo);
    // After WAIT_PUMP_STOPPED: what stopped it.
    S_Failure failure();

    // ---- IChunkPump (see device_session.h)
    bool takeReportLocked(const S_ProtocolEventFileChunkReport& report, TimePoint receivedAt) override;
    void pumpNext() override;
    S_EventMatch replyMatchLocked() const override { return S_EventMatch::chunkReport(m_fileNo, m_chunkNo); }
    TimePoint askedAtLocked() const override { return m_askedAt; }
    bool stoppedLocked() const override { return m_stopped; }
    bool linkBusyLocked() const override { return m_linkBusy; }
    void disarmLocked() override { m_armed = false; }

private:
    // With the link held and no lock: reads and sends the next chunk (m_fileIndex, m_nextChunkNo),
    // which becomes the one asked; gives the link back.
    bool sendNext(S_Failure& failure, bool arm);
    // With the link held, after the pump sent chunkNo: reads the chunk after it and has the link
    // seal it, so that its report's turn is only the send.
    void prepareAfter(std::uint16_t chunkNo);
    // With the lock: a successful report with the right CRC-32 of the chunk asked: counted, and
    // the position moves on.
    bool acceptLocked(const S_ProtocolEventFileChunkReport& report);
    bool nextIsLastLocked() const;

    CUpgradeExecutionService::S_Impl& m_engine;
    S_TaskRun& m_task;
    const std::size_t m_index;
    CDeviceSession& m_session;
    CFirmwareStreamCache& m_streams;  // used by whoever holds the link
    // Whoever holds the link: the chunk whose frame the link keeps sealed, not yet sent.
    bool m_prepared = false;
    std::uint8_t m_preparedFileNo = 0;
    std::uint16_t m_preparedChunkNo = 0;
    std::uint32_t m_preparedCrc32 = 0;
    const std::vector<std::pair<std::uint8_t, std::uint16_t>> m_files;
    const std::uint64_t m_totalChunks;
    const TimePoint m_transferDeadline;
    const std::chrono::milliseconds m_timeout;

    // (session mutex)
    std::size_t m_fileIndex = 0;  // the next chunk to send: file position and chunk number
    std::uint16_t m_nextChunkNo = 0;
    std::uint8_t m_fileNo = 0;  // the chunk asked last
    std::uint16_t m_chunkNo = 0;
    std::uint32_t m_crc32 = 0;
    TimePoint m_askedAt = kNever;
    std::uint64_t m_chunksDone = 0;
    bool m_armed = false;
    bool m_linkBusy = false;
    bool m_stopped = false;
    S_Failure m_failure;
};

}  // namespace ota::backend
