#pragma once

#include "app/backend_config.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace ota::backend
{

// Owns every service for the life of the process and runs start-up, the main loop and shutdown.
class CBackendApplication
{
public:
    CBackendApplication();
    ~CBackendApplication();
    CBackendApplication(const CBackendApplication&) = delete;
    CBackendApplication& operator=(const CBackendApplication&) = delete;

    bool initialize(const std::filesystem::path& configPath, const std::filesystem::path& topologyOverride,
                    std::string& error);
    // Starts the services, serves until SIGINT/SIGTERM, stops everything; the process exit code.
    int run();
    // Stops whatever was started, in reverse dependency order; safe on a partly started application.
    void shutdown();
    // POST /api/v1/scene/reload: installs the re-read topology file with a new device TCP manager,
    // or changes nothing (app/scene_reload.h).
    bool reloadScene(std::string& response, std::string& error);

    // The owned state; complete only inside the application layer (application_state.h).
    struct S_Impl;

private:
    std::unique_ptr<S_Impl> m_impl;
};

}  // namespace ota::backend
