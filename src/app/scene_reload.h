#pragma once

#include "app/backend_application.h"

#include <string>

namespace ota::backend
{

// POST /api/v1/scene/reload: re-reads the configured topology file and installs it with a new
// device TCP manager (the execution service rebound to it), or changes nothing at all. On success
// the response is the workspace report of the new topology with the operation "SCENE_RELOAD".
bool reloadScene(CBackendApplication::S_Impl& app, std::string& response, std::string& error);

}  // namespace ota::backend
