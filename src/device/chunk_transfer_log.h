#pragma once

#include <cstdint>
#include <string>

namespace ota::backend
{

// Which frames of a file transfer get their console line. Every frame sent and every event
// received is logged, except file chunks and chunk reports: a 1 MiB file in 10 KiB chunks is 200
// of those per device, and a site of 1,000 devices would write most of a million lines, enough for
// a journal's rate limit to drop warnings and errors with them. Of a file transfer (one file of one
// upgrade to one device) only the first and the last chunk and the first and the last report get
// their line, and one summary line with the frame and byte counts follows when the transfer ends
// (the report of its last chunk) or stops (a failed report, another frame sent, a failed
// submission, the connection's end). One per node, under the node's lock; nodeId names the node in
// the summary line.
class CChunkTransferLog
{
public:
    // A chunk frame is about to go out. Entered before the write, so that the device's report of it
    // (which the receiving thread may see before the write returns) finds the transfer running.
    // True when it gets its line; `summary` is set when it stopped the transfer before (a chunk of
    // another file or upgrade), to be written first.
    bool chunkSent(const std::string& nodeId, std::uint32_t upgradeNo, std::uint8_t fileNo,
                   std::uint16_t chunkNo, std::uint16_t totalChunks, std::uint64_t frameBytes,
                   std::string& summary);
    // A chunk report came in. True when it gets its line; `summary` is set when it ended or
    // stopped the transfer, to be written after that line.
    bool chunkReportReceived(const std::string& nodeId, std::uint32_t upgradeNo, std::uint8_t fileNo,
                             std::uint16_t chunkNo, bool succeeded, std::uint64_t frameBytes,
                             std::string& summary);
    // The chunk entered last did not go out (the write failed or the connection changed): it
    // leaves the counts, and a running transfer stops; `summary` is set when there was one.
    void chunkNotSent(const std::string& nodeId, std::uint64_t frameBytes, std::string& summary);
    // Another frame went out, a submission failed or the connection ended: a running transfer
    // stops; `summary` is set when there was one.
    void interrupt(const std::string& nodeId, std::string& summary);

    bool transferRunning() const { return m_running; }

private:
    std::string summaryLine(const std::string& nodeId, const char* outcome) const;

    bool m_running = false;
    std::uint32_t m_upgradeNo = 0;
    std::uint8_t m_fileNo = 0;
    std::uint16_t m_totalChunks = 0;
    std::uint64_t m_chunkFrames = 0;
    std::uint64_t m_chunkBytes = 0;
    std::uint64_t m_reportFrames = 0;
    std::uint64_t m_reportBytes = 0;
};

}  // namespace ota::backend
