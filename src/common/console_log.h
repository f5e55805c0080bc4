#pragma once

#include <mutex>
#include <string_view>

namespace ota::backend
{

// Every console line of the process goes through these helpers: one line per event, the
// bracketed tag already part of the text, flushed at once. A text with embedded "\n" is
// written as one multi-part output under the process-wide console mutex.
std::mutex& consoleMutex();

// Standard output: [INIT], [INFO], [READY], [STOP], [HTTP] and other informational lines.
void consoleOut(std::string_view line);

// Standard error: [ERROR], [WARN], [FATAL] and other failure lines.
void consoleErr(std::string_view line);

}  // namespace ota::backend
