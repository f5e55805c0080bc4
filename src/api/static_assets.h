#pragma once

#include <functional>
#include <string_view>

namespace ota::backend
{

// A file the API server hands out as it is (the operator console's page, scripts and styles).
// The views point at storage that outlives the server, such as data compiled into the executable.
struct S_StaticAsset
{
    std::string_view contentType;   // the full Content-Type value, charset included for text
    std::string_view cacheControl;  // the Cache-Control value
    std::string_view body;
};

// Finds the asset a request path names, or nullptr. Runs on the I/O threads for every path that
// no API route takes, so it must be quick, must not block and must be safe from several threads.
using StaticAssetLookup = std::function<const S_StaticAsset*(std::string_view path)>;

}  // namespace ota::backend
