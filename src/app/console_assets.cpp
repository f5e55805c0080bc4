#include "app/console_assets.h"

#include "app/console_files.h"

#include <map>
#include <string>

namespace ota::backend
{
namespace
{

std::string_view contentTypeOf(std::string_view name)
{
    static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml; charset=utf-8"},
        {".png", "image/png"},
        {".json", "application/json; charset=utf-8"},
    };
    for (const auto& [extension, type] : kTypes)
    {
        if (name.ends_with(extension))
        {
            return type;
        }
    }
    return "application/octet-stream";
}

using AssetMap = std::map<std::string, S_StaticAsset, std::less<>>;

AssetMap buildAssets()
{
    // The file names carry no version, so a browser must ask again after a backend upgrade
    // instead of mixing a cached old script with a new page; on loopback that costs nothing.
    constexpr std::string_view kCacheControl = "no-cache";
    AssetMap assets;
    for (const S_ConsoleFile& file : consoleFiles())
    {
        const S_StaticAsset asset{contentTypeOf(file.name), kCacheControl, file.content};
        assets.emplace(std::string(kConsolePrefix) + std::string(file.name), asset);
        if (file.name == "index.html")
        {
            assets.emplace("/", asset);
        }
    }
    return assets;
}

}  // namespace

const S_StaticAsset* findConsoleAsset(std::string_view path)
{
    static const AssetMap assets = buildAssets();
    const auto found = assets.find(path);
    return found == assets.end() ? nullptr : &found->second;
}

}  // namespace ota::backend
