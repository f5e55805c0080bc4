#include "sim/sim_log.h"

#include "common/console_log.h"

#include <string>

namespace ota::backend
{
namespace
{

std::string compose(std::string_view tag, std::string_view nodeId, std::string_view text)
{
    std::string line;
    line.reserve(tag.size() + nodeId.size() + text.size() + 2);
    line.append(tag).append(" ").append(nodeId).append(" ").append(text);
    return line;
}

}  // namespace

void CSimLog::event(std::string_view nodeId, std::string_view text) const
{
    if (m_level != E_SimLogLevel::QUIET)
    {
        consoleOut(compose("[SIM]", nodeId, text));
    }
}

void CSimLog::frame(std::string_view nodeId, std::string_view text) const
{
    if (m_level == E_SimLogLevel::VERBOSE)
    {
        consoleOut(compose("[SIM-FRAME]", nodeId, text));
    }
}

void CSimLog::warn(std::string_view nodeId, std::string_view text) const
{
    consoleErr(compose("[WARN]", nodeId, text));
}

void CSimLog::error(std::string_view nodeId, std::string_view text) const
{
    consoleErr(compose("[ERROR]", nodeId, text));
}

}  // namespace ota::backend
