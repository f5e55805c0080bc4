#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ota::backend
{

// One traced frame or error.
struct S_FrameTraceRecord
{
    std::int64_t timestamp = 0;
    std::string direction;     // "RX", "TX" or "ERROR"
    std::string deviceId;
    std::string deviceName;
    std::string ip;
    std::uint16_t port = 0;
    std::string messageType;   // message name, "PROTOCOL_ERROR" or "UNKNOWN"
    std::uint32_t upgradeNo = 0;
    std::uint64_t frameLength = 0;
    std::string hexText;       // only while capture was on
    std::string errorSummary;  // empty for normal frames

    bool operator==(const S_FrameTraceRecord&) const = default;
};

inline constexpr std::size_t FRAME_TRACE_LIMIT = 1000;

// The last FRAME_TRACE_LIMIT records in arrival order. Not locked: the manager guards it with its
// state mutex.
class CFrameTraceRing
{
public:
    void append(S_FrameTraceRecord record);
    void clear() { m_records.clear(); }
    std::size_t size() const { return m_records.size(); }
    std::vector<S_FrameTraceRecord> copy() const { return {m_records.begin(), m_records.end()}; }

private:
    std::deque<S_FrameTraceRecord> m_records;
};

// "5A 5A 01": upper-case two-digit bytes separated by single spaces.
std::string formatFrameHexText(const std::uint8_t* data, std::size_t size);

// The frame trace document of GET /api/v1/devices/frames.
bool serializeFrameTraceRecords(bool captureEnabled, const std::vector<S_FrameTraceRecord>& records,
                                std::string& json, std::string& error);

}  // namespace ota::backend
