#include "device/device_tcp_manager_impl.h"

#include "common/console_log.h"
#include "common/utf8.h"

namespace ota::backend
{

void logDeviceLine(E_DeviceLogLevel level, const std::string& message)
{
    const std::string_view tag = level == E_DeviceLogLevel::ERROR  ? "[ERROR] "
                                 : level == E_DeviceLogLevel::WARN ? "[WARN] "
                                                                   : "[INFO] ";
    std::string line;
    line.reserve(tag.size() + message.size());
    line += tag;
    line += message;
    if (level == E_DeviceLogLevel::ERROR)
    {
        consoleErr(line);
    }
    else
    {
        consoleOut(line);
    }
}

void logTransferSummary(const std::string& summary)
{
    if (!summary.empty())
    {
        logDeviceLine(E_DeviceLogLevel::INFO, summary);
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
