#include "firmware/firmware_file_info.h"

#include "common/digest.h"

namespace ota::backend
{

nlohmann::json firmwareFileToJson(const S_FirmwareFileInfo& file)
{
    nlohmann::json object = nlohmann::json::object();
    object["fileNo"] = file.fileNo;
    object["fileSlotKey"] = file.fileSlotKey;
    object["filePath"] = file.filePath.string();
    object["fileName"] = file.fileName;
    object["targetVersion"] = file.targetVersion;
    object["fileSize"] = file.fileSize;
    object["chunkSize"] = file.chunkSize;
    object["totalChunks"] = file.totalChunks;
    object["sha256"] = toLowerHex(file.sha256);
    if (file.signature)
    {
        object["signature"] = {{"keyFingerprint", file.signature->keyFingerprint},
                               {"verified", file.signature->verified}};
    }
    return object;
}

}  // namespace ota::backend
