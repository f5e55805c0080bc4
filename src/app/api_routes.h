#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"

namespace ota::backend
{

// The sixteen route callbacks of the application, in the order the API server takes them.
S_ApiCallbacks buildApiCallbacks(CBackendApplication::S_Impl& app);

}  // namespace ota::backend
