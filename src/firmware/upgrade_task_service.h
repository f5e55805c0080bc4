#pragma once

#include "firmware/firmware_file_info.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace ota::backend
{

// The upgrade task service: firmware inspection now; the preview and its immutable task snapshot
// are added beside it (their own source files) and share the state mutex and the chunk size.
class CUpgradeTaskService
{
public:
    CUpgradeTaskService() = default;
    CUpgradeTaskService(const CUpgradeTaskService&) = delete;
    CUpgradeTaskService& operator=(const CUpgradeTaskService&) = delete;

    // 1..32768 bytes; any other value leaves the chunk size unchanged.
    bool setChunkSize(std::uint16_t chunkSize, std::string& error);
    std::uint16_t chunkSize() const;

    // POST /api/v1/firmware/inspect: checks and digests the request's files and returns the
    // report as JSON text. Stores nothing. On false only the error is set.
    bool inspectFirmware(const std::string& requestJson, std::string& responseJson, std::string& error) const;

private:
    // Guards the chunk size (and, with the preview, the current snapshot and the last upgrade
    // number). Held only briefly; never while files are read.
    mutable std::mutex m_stateMutex;
    std::uint16_t m_chunkSize = kDefaultChunkSize;
};

}  // namespace ota::backend
