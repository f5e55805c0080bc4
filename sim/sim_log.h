#pragma once

#include <string_view>

namespace ota::backend
{

// QUIET: warnings, errors and start/stop lines only. NORMAL: one line per device event
// (connections, accepted requests, stage results, reboots, faults). VERBOSE: also every frame.
enum class E_SimLogLevel : unsigned char
{
    QUIET,
    NORMAL,
    VERBOSE,
};

class CSimLog
{
public:
    explicit CSimLog(E_SimLogLevel level = E_SimLogLevel::NORMAL) : m_level(level) {}

    E_SimLogLevel level() const { return m_level; }
    bool framesEnabled() const { return m_level == E_SimLogLevel::VERBOSE; }

    // "[SIM] <nodeId> <text>" on standard output (NORMAL and VERBOSE).
    void event(std::string_view nodeId, std::string_view text) const;
    // "[SIM-FRAME] <nodeId> <text>" on standard output (VERBOSE).
    void frame(std::string_view nodeId, std::string_view text) const;
    // "[WARN] <nodeId> <text>" / "[ERROR] <nodeId> <text>" on standard error (every level).
    void warn(std::string_view nodeId, std::string_view text) const;
    void error(std::string_view nodeId, std::string_view text) const;

private:
    E_SimLogLevel m_level;
};

}  // namespace ota::backend
