#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"

namespace ota::backend
{

// Routes of the device connections: status, frame trace, frame capture switch, status query and
// batch reconnect.
void addDeviceRoutes(CBackendApplication::S_Impl& app, S_ApiCallbacks& callbacks);

}  // namespace ota::backend
