#pragma once

#include "sim/sim_fault_book.h"
#include "sim/sim_log.h"
#include "sim/sim_timer.h"

#include <boost/asio/io_context.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace ota::backend
{

// The faults that strike a while after an upgrade restart, once the device is back up with its
// new versions, so that whoever watches the device after its upgrade sees it go bad: it reports
// FAULT from then on, it falls back to its old versions (one more restart), or it leaves the
// network until the simulator stops. Each upgrade restart arms every such fault the book still
// holds, once; the fault fires (is counted, and retires by its "times") when it strikes, so one
// cleared meanwhile does not strike. Any restart cancels what has not struck yet: the reboot ends
// whatever the new firmware was about to do, and a fallback restart arms nothing.
//
// Lifetime: owned by its device; every timer is a member, so no strike runs after it is gone. The
// hooks reach back into the device, which outlives it. Used on the simulator's event loop only.
class CSimAfterRestartFaults
{
public:
    struct S_Hooks
    {
        std::function<void(std::uint8_t reasonCode)> reportFault;  // FAULT_AFTER_RESTART
        std::function<void()> rollBack;                            // ROLLBACK_AFTER_RESTART
        std::function<void()> leaveNetwork;                        // DISCONNECT_AFTER_RESTART
    };

    CSimAfterRestartFaults(boost::asio::io_context& io, std::string nodeId, const CSimLog& log,
                           CSimFaultBook& faults, S_Hooks hooks);

    // The device is back up (listening, new versions) after the restart that ends an upgrade.
    void armAfterUpgradeRestart();
    // A restart begins, or the device shuts down.
    void cancel();

private:
    void strike(std::size_t slot);

    std::string m_nodeId;
    const CSimLog& m_log;
    CSimFaultBook& m_faults;
    S_Hooks m_hooks;
    // One timer per kind, in the order of the kinds in the .cpp.
    std::array<CSimTimer, 3> m_timers;
};

}  // namespace ota::backend
