#pragma once

#include "api/static_assets.h"

#include <string_view>

namespace ota::backend
{

// Where the console's files are served: the page itself at "/", every file at kConsolePrefix + name.
inline constexpr std::string_view kConsolePrefix = "/console/";

// The compiled-in console file a request path names, with its content type and caching, or
// nullptr. Lock-free after the first call; safe from any thread.
const S_StaticAsset* findConsoleAsset(std::string_view path);

}  // namespace ota::backend
