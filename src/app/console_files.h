#pragma once

#include <span>
#include <string_view>

namespace ota::backend
{

// One file of the console/ folder, compiled into the executable.
struct S_ConsoleFile
{
    std::string_view name;  // file name, no folder
    std::string_view content;
};

// Every console file, sorted by name; defined in the source CMake generates from console/.
std::span<const S_ConsoleFile> consoleFiles();

}  // namespace ota::backend
