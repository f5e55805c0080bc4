#include "device/frame_trace.h"

#include "common/json_text.h"

#include <exception>

namespace ota::backend
{

void CFrameTraceRing::append(S_FrameTraceRecord record)
{
    m_records.push_back(std::move(record));
    while (m_records.size() > FRAME_TRACE_LIMIT)
    {
        m_records.pop_front();
    }
}

std::string formatFrameHexText(const std::uint8_t* data, std::size_t size)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    if (size == 0)
    {
        return text;
    }
    text.reserve(size * 3 - 1);
    for (std::size_t i = 0; i < size; ++i)
    {
        if (i != 0)
        {
            text.push_back(' ');
        }
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

bool serializeFrameTraceRecords(bool captureEnabled, const std::vector<S_FrameTraceRecord>& records,
                                std::string& json, std::string& error)
{
    json.clear();
    error.clear();
    try
    {
        nlohmann::json items = nlohmann::json::array();
        for (const S_FrameTraceRecord& record : records)
        {
            items.push_back({{"timestamp", record.timestamp},
                             {"direction", record.direction},
                             {"deviceId", record.deviceId},
                             {"deviceName", record.deviceName},
                             {"ip", record.ip},
                             {"port", record.port},
                             {"messageType", record.messageType},
                             {"upgradeNo", record.upgradeNo},
                             {"frameLength", record.frameLength},
                             {"hexText", record.hexText},
                             {"errorSummary", record.errorSummary}});
        }
        const nlohmann::json document = {{"status", "READY"},
                                         {"enabled", captureEnabled},
                                         {"maxRecordCount", FRAME_TRACE_LIMIT},
                                         {"recordCount", records.size()},
                                         {"records", std::move(items)}};
        json = toJsonText(document);
        return true;
    }
    catch (const std::exception& exception)
    {
        json.clear();
        error = std::string("Cannot serialize frame trace: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
