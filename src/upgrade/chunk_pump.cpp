#include "upgrade/chunk_pump.h"

// Threads and locks: see chunk_pump.h.

#include <algorithm>

namespace ota::backend
{

CChunkPump::CChunkPump(CUpgradeExecutionService::S_Impl& engine, S_TaskRun& task, std::size_t index,
                       CFirmwareStreamCache& streams,
                       std::vector<std::pair<std::uint8_t, std::uint16_t>> files, std::uint64_t totalChunks,
                       TimePoint transferDeadline)
    : m_engine(engine),
      m_task(task),
      m_index(index),
      m_session(*task.sessions[index]),
      m_streams(streams),
      m_files(std::move(files)),
      m_totalChunks(totalChunks),
      m_transferDeadline(transferDeadline),
      m_timeout(task.options.stageTimeoutMs)
{
    while (m_fileIndex < m_files.size() && m_files[m_fileIndex].second == 0)
    {
        ++m_fileIndex;
    }
    m_session.attachChunkPump(*this);
}

CChunkPump::~CChunkPump()
{
    m_session.detachChunkPump();
}

bool CChunkPump::sendByWorker(S_Failure& failure)
{
    return sendNext(failure, true);
}

bool CChunkPump::sendNext(S_Failure& failure, bool arm)
{
    const std::uint8_t fileNo = m_files[m_fileIndex].first;
    const std::uint16_t chunkNo = m_nextChunkNo;
    // The link keeps the frame prepared after the last send; any other chunk is read now.
    const bool prepared = m_prepared && m_preparedFileNo == fileNo && m_preparedChunkNo == chunkNo;
    m_prepared = false;
    bool sent = false;
    std::uint32_t crc32 = 0;
    TimePoint asked = kNever;
    if (SteadyClock::now() >= m_transferDeadline)
    {
        failure.budgetExhausted = true;
    }
    else
    {
        S_ProtocolFileChunkHeader chunk;
        std::string error;
        if (!prepared &&
            !m_engine.readFirmwareChunk(m_task, m_index, fileNo, chunkNo, chunk, error, m_streams))
        {
            failure.text = error;
        }
        else if (SteadyClock::now() >= m_transferDeadline)
        {
            failure.budgetExhausted = true;
        }
        else
        {
            const S_EventMatch report = S_EventMatch::chunkReport(fileNo, chunkNo);
            {
                std::lock_guard<std::mutex> lock(m_session.mutex());
                S_DeviceExecutionState& shown = m_session.deviceLocked().shown;
                shown.state = "发送文件分片";
                shown.currentFileNo = fileNo;
                shown.currentChunkNo = chunkNo;
                // Drop a stale report of this chunk still waiting from an earlier attempt.
                m_session.purgeLocked(report);
                m_session.changes().progressChanged();
                m_fileNo = fileNo;
                m_chunkNo = chunkNo;
                m_linkBusy = true;  // the worker's own send: the pump leaves a quick answer to it
            }
            asked = SteadyClock::now();
            IUpgradeDeviceLink& link = *m_task.links[m_index];
            if (prepared)
            {
                crc32 = m_preparedCrc32;
                sent = link.sendPreparedChunk(m_task.upgradeNo, error);
            }
            else
            {
                sent = link.sendUpgradeFileChunk(m_task.upgradeNo, chunk, crc32, error);
            }
            if (!sent)
            {
                failure.text = "固件分片发送失败: " + error;
            }
            else if (!arm)
            {
                prepareAfter(chunkNo);
            }
        }
    }
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(m_session.mutex());
        m_linkBusy = false;
        if (sent)
        {
            m_crc32 = crc32;
            m_askedAt = asked;
            m_armed = m_armed || arm;
        }
        else if (!arm)
        {
            m_stopped = true;
            m_failure = failure;
        }
        // The worker waits for the link back (disarmed), or for the pump's failure.
        notify = !arm && (!m_armed || m_stopped);
    }
    if (notify)
    {
        m_session.condition().notify_all();
    }
    return sent;
}

void CChunkPump::prepareAfter(std::uint16_t chunkNo)
{
    std::size_t fileIndex = m_fileIndex;
    auto next = static_cast<std::uint16_t>(chunkNo + 1);
    if (next >= m_files[fileIndex].second)
    {
        next = 0;
        do
        {
            ++fileIndex;
        } while (fileIndex < m_files.size() && m_files[fileIndex].second == 0);
    }
    if (fileIndex >= m_files.size())
    {
        return;  // the chunk just sent is the last
    }
    // A chunk that cannot be read or sealed now is read again when it is due, and fails then.
    S_ProtocolFileChunkHeader chunk;
    std::string error;
    std::uint32_t crc32 = 0;
    if (m_engine.readFirmwareChunk(m_task, m_index, m_files[fileIndex].first, next, chunk, error,
                                   m_streams) &&
        m_task.links[m_index]->prepareUpgradeFileChunk(m_task.upgradeNo, chunk, crc32, error))
    {
        m_prepared = true;
        m_preparedFileNo = m_files[fileIndex].first;
        m_preparedChunkNo = next;
        m_preparedCrc32 = crc32;
    }
}

bool CChunkPump::acceptLocked(const S_ProtocolEventFileChunkReport& report)
{
    if (!report.succeeded() || report.crc32 != m_crc32)
    {
        return false;
    }
    m_engine.chunkRoundTrips.observe(SteadyClock::now() - m_askedAt);
    ++m_chunksDone;
    m_session.deviceLocked().shown.workflowProgress =
        m_totalChunks == 0 ? 55 : static_cast<std::uint8_t>(20 + (35 * m_chunksDone) / m_totalChunks);
    m_session.changes().progressChanged();
    m_nextChunkNo = static_cast<std::uint16_t>(m_chunkNo + 1);
    if (m_nextChunkNo >= m_files[m_fileIndex].second)
    {
        m_nextChunkNo = 0;
        do
        {
            ++m_fileIndex;
        } while (m_fileIndex < m_files.size() && m_files[m_fileIndex].second == 0);
    }
    return true;
}

bool CChunkPump::nextIsLastLocked() const
{
    // The chunk asked is the transfer's last one when nothing follows it.
    if (m_chunkNo + 1 < m_files[m_fileIndex].second)
    {
        return false;
    }
    return std::none_of(m_files.begin() + static_cast<std::ptrdiff_t>(m_fileIndex) + 1, m_files.end(),
                        [](const auto& file) { return file.second != 0; });
}

bool CChunkPump::takeReportLocked(const S_ProtocolEventFileChunkReport& report, TimePoint receivedAt)
{
    if (!m_armed || m_linkBusy || m_stopped || report.fileNo != m_fileNo || report.chunkNo != m_chunkNo)
    {
        return false;
    }
    // Decisions stay with the worker: abort, stop, a broken event stream, a spent budget or
    // timeout, the last chunk, a report of this chunk already queued for it, a failed report.
    const S_DeviceRuntime& device = m_session.deviceLocked();
    if (m_session.abortRequested() || m_session.stoppingOrCompletedLocked() ||
        device.shown.eventStreamFailed || receivedAt >= m_transferDeadline ||
        receivedAt > m_askedAt + m_timeout || nextIsLastLocked())
    {
        return false;
    }
    const S_EventMatch sameChunk = S_EventMatch::chunkReport(m_fileNo, m_chunkNo);
    const std::vector<S_QueuedEvent>& queue = m_session.queueLocked();
    if (std::any_of(queue.begin(), queue.end(),
                    [&](const S_QueuedEvent& queued) { return sameChunk.matches(queued.event); }) ||
        !acceptLocked(report))
    {
        return false;
    }
    m_linkBusy = true;
    return true;
}

void CChunkPump::pumpNext()
{
    S_Failure failure;
    sendNext(failure, false);
}

bool CChunkPump::acceptByWorker(const S_ProtocolEventFileChunkReport& report, std::uint8_t& fileNo,
                                std::uint16_t& chunkNo)
{
    std::lock_guard<std::mutex> lock(m_session.mutex());
    fileNo = m_fileNo;
    chunkNo = m_chunkNo;
    return acceptLocked(report);
}

CChunkPump::S_Failure CChunkPump::failure()
{
    std::lock_guard<std::mutex> lock(m_session.mutex());
    return m_failure;
}

}  // namespace ota::backend
