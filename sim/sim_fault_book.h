#pragma once

#include "sim/sim_counters.h"
#include "sim/sim_fault.h"
#include "sim/sim_log.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ota::backend
{

// The faults armed on one device. A fault fires when what the device is doing matches it; one
// with "times" retires after that many firings. Every firing is counted by kind in the device's
// counters and logged. Used on the simulator's event loop only.
class CSimFaultBook
{
public:
    using Matcher = std::function<bool(const S_SimFault&)>;

    CSimFaultBook(std::string nodeId, const CSimLog& log, S_SimDeviceCounters& counters,
                  const std::vector<S_SimFault>& faults);

    void add(const S_SimFault& fault);
    void clear();

    // The first armed fault of the kind that matches (any of the kind without a matcher), fired
    // now; null when none. The pointer is valid until the next add or clear.
    const S_SimFault* fire(E_SimFaultKind kind, const Matcher& matches = {});
    // The fault fire(kind) would fire now, without firing it: for a fault that is armed at one
    // moment and strikes later. Valid until the next add or clear.
    const S_SimFault* peek(E_SimFaultKind kind) const;

private:
    struct S_Armed
    {
        S_SimFault fault;
        std::uint32_t fired = 0;

        bool retired() const { return fault.times != 0 && fired >= fault.times; }
    };

    std::string m_nodeId;
    const CSimLog& m_log;
    S_SimDeviceCounters& m_counters;
    std::vector<S_Armed> m_faults;
};

}  // namespace ota::backend
