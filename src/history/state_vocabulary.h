#pragma once

#include <string_view>

namespace ota::backend
{

// Statuses a history record can carry.
inline bool isFinalStatus(std::string_view status)
{
    return status == "SUCCESS" || status == "FAILED" || status == "ABORTED" || status == "STOPPED";
}

inline bool isKnownRecordStatus(std::string_view status)
{
    return status == "PREVIEW_READY" || status == "RUNNING" || status == "ABORTING" || isFinalStatus(status);
}

// Order of task statuses for the monotonic contract; 0 means the status has no level.
inline int statusLevel(std::string_view status)
{
    if (status == "RUNNING")
    {
        return 1;
    }
    if (status == "ABORTING")
    {
        return 2;
    }
    return isFinalStatus(status) ? 3 : 0;
}

// Order of the device workflow stages by their operator-facing names; 0 means no stage.
inline int stageLevel(std::string_view stage)
{
    constexpr std::string_view kStages[] = {"连接与状态同步", "状态已同步", "升级准备", "文件传输",
                                            "文件接收确认",   "固件烧写",   "重启验证"};
    for (int index = 0; index < 7; ++index)
    {
        if (stage == kStages[index])
        {
            return index + 1;
        }
    }
    return 0;
}

}  // namespace ota::backend
