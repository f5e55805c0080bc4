#include "firmware/upgrade_task_service.h"

#include "common/json_text.h"
#include "firmware/firmware_inspection.h"
#include "firmware/request_fields.h"

#include <vector>

namespace ota::backend
{

bool CUpgradeTaskService::setChunkSize(std::uint16_t chunkSize, std::string& error)
{
    if (chunkSize < 1 || chunkSize > kMaxChunkSize)
    {
        error = "Chunk size must be between 1 and " + std::to_string(kMaxChunkSize);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_chunkSize = chunkSize;
    error.clear();
    return true;
}

std::uint16_t CUpgradeTaskService::chunkSize() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_chunkSize;
}

void CUpgradeTaskService::setFirmwareTrust(std::shared_ptr<const CFirmwareTrust> trust)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_firmwareTrust = std::move(trust);
}

std::shared_ptr<const CFirmwareTrust> CUpgradeTaskService::firmwareTrust() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_firmwareTrust;
}

bool CUpgradeTaskService::inspectFirmware(const std::string& requestJson, std::string& responseJson,
                                          std::string& error) const
{
    responseJson.clear();
    error.clear();
    try
    {
        nlohmann::json request;
        if (!parseRequestObject(requestJson, request, error))
        {
            return false;
        }
        if (!validateExactFields(request, "request", {"files"}, error))
        {
            return false;
        }
        const std::uint16_t usedChunkSize = chunkSize();
        std::vector<S_FirmwareFileInfo> files;
        const std::shared_ptr<const CFirmwareTrust> trust = firmwareTrust();
        if (!inspectFirmwareFiles(request["files"], usedChunkSize, files, error, trust.get()))
        {
            return false;
        }
        nlohmann::json response = nlohmann::json::object();
        response["status"] = "READY";
        response["operation"] = "FIRMWARE_INSPECT";
        response["chunkSize"] = usedChunkSize;
        response["fileCount"] = files.size();
        nlohmann::json fileArray = nlohmann::json::array();
        for (const S_FirmwareFileInfo& file : files)
        {
            fileArray.push_back(firmwareFileToJson(file));
        }
        response["files"] = std::move(fileArray);
        std::string serializeError;
        if (!tryToJsonText(response, responseJson, serializeError))
        {
            responseJson.clear();
            error = "Cannot serialize firmware inspection JSON: " + serializeError;
            return false;
        }
        return true;
    }
    catch (const std::exception& exception)
    {
        responseJson.clear();
        error = std::string("Firmware inspection failed: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
