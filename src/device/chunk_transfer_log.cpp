#include "device/chunk_transfer_log.h"

#include <algorithm>

namespace ota::backend
{

std::string CChunkTransferLog::summaryLine(const std::string& nodeId, const char* outcome) const
{
    return std::string("File transfer ") + outcome + ": " + nodeId +
           ", upgradeNo=" + std::to_string(m_upgradeNo) + ", fileNo=" + std::to_string(m_fileNo) +
           ", chunkFrames=" + std::to_string(m_chunkFrames) + "/" + std::to_string(m_totalChunks) +
           ", chunkBytes=" + std::to_string(m_chunkBytes) +
           ", reportFrames=" + std::to_string(m_reportFrames) +
           ", reportBytes=" + std::to_string(m_reportBytes);
}

void CChunkTransferLog::interrupt(const std::string& nodeId, std::string& summary)
{
    summary.clear();
    if (m_running)
    {
        summary = summaryLine(nodeId, "stopped");
        m_running = false;
    }
}

void CChunkTransferLog::chunkNotSent(const std::string& nodeId, std::uint64_t frameBytes,
                                     std::string& summary)
{
    if (m_running && m_chunkFrames > 0)
    {
        --m_chunkFrames;
        m_chunkBytes -= std::min(m_chunkBytes, frameBytes);
    }
    interrupt(nodeId, summary);
}

bool CChunkTransferLog::chunkSent(const std::string& nodeId, std::uint32_t upgradeNo, std::uint8_t fileNo,
                                  std::uint16_t chunkNo, std::uint16_t totalChunks, std::uint64_t frameBytes,
                                  std::string& summary)
{
    summary.clear();
    if (m_running && (m_upgradeNo != upgradeNo || m_fileNo != fileNo))
    {
        interrupt(nodeId, summary);
    }
    const bool first = !m_running;
    if (first)
    {
        m_running = true;
        m_upgradeNo = upgradeNo;
        m_fileNo = fileNo;
        m_chunkFrames = 0;
        m_chunkBytes = 0;
        m_reportFrames = 0;
        m_reportBytes = 0;
    }
    m_totalChunks = totalChunks;
    ++m_chunkFrames;
    m_chunkBytes += frameBytes;
    return first || chunkNo + 1u >= totalChunks;
}

bool CChunkTransferLog::chunkReportReceived(const std::string& nodeId, std::uint32_t upgradeNo,
                                            std::uint8_t fileNo, std::uint16_t chunkNo, bool succeeded,
                                            std::uint64_t frameBytes, std::string& summary)
{
    summary.clear();
    if (!m_running || m_upgradeNo != upgradeNo || m_fileNo != fileNo)
    {
        return true;  // not part of a transfer this node runs: unusual, so it keeps its line
    }
    const bool first = m_reportFrames == 0;
    ++m_reportFrames;
    m_reportBytes += frameBytes;
    if (!succeeded)
    {
        summary = summaryLine(nodeId, "stopped");
        m_running = false;
        return true;
    }
    if (chunkNo + 1u >= m_totalChunks)
    {
        summary = summaryLine(nodeId, "ended");
        m_running = false;
        return true;
    }
    return first;
}

}  // namespace ota::backend
