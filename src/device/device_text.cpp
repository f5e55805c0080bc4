#include "device/device_tcp_manager_impl.h"

#include "common/console_log.h"
#include "common/utf8.h"

namespace ota::backend
{

void logDeviceLine(std::string_view level, const std::string& message)
{
    std::string line;
    line.reserve(level.size() + message.size() + 3);
    line += '[';
    line += level;
    line += "] ";
    line += message;
    if (level == "ERROR")
    {
        consoleErr(line);
    }
    else
    {
        consoleOut(line);
    }
}

std::string toValidUtf8(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
    {
        const std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0)
        {
            result += "\xEF\xBF\xBD";  // U+FFFD replacement character
            ++i;
            continue;
        }
        result.append(text.substr(i, length));
        i += length;
    }
    return result;
}

}  // namespace ota::backend
