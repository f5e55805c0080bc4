// Fuzz target: the configuration file's text through every check of the loader. Relative paths
// resolve against a fixed folder; no key or token file is read here (that happens at start-up).
// Checks: a refused text leaves the record untouched and says why; an accepted one holds values
// within their ranges and a loopback host.

#include "app/backend_config.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ota::backend;
    if (size > kMaxConfigFileBytes)
    {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    S_BackendConfig config;
    config.httpPort = 1;
    std::string error;
    if (!parseBackendConfigText(text, "/opt/site/config/ota-backend.json", config, error))
    {
        if (error.empty() || config.httpPort != 1 || !config.httpHost.empty())
        {
            std::abort();
        }
        return 0;
    }
    const bool sane = error.empty() && (config.httpHost == "127.0.0.1" || config.httpHost == "::1") &&
                      config.httpPort != 0 && config.deviceConcurrency >= 1 &&
                      config.deviceConcurrency <= 1000 && config.chunkSize >= 1 &&
                      config.chunkSize <= 32768 && config.configPath.is_absolute() &&
                      (config.topologyFile.empty() || config.topologyFile.is_absolute()) &&
                      (!config.apiAccess || config.apiAccess->tokenFile.is_absolute());
    if (!sane)
    {
        std::abort();
    }
    if (config.firmwareSignature)
    {
        const std::size_t keys = config.firmwareSignature->publicKeyFiles.size();
        if (keys < 1 || keys > 16)
        {
            std::abort();
        }
    }
    return 0;
}
