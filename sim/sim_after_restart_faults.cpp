#include "sim/sim_after_restart_faults.h"

namespace ota::backend
{
namespace
{

constexpr std::array<E_SimFaultKind, 3> AFTER_RESTART_KINDS = {
    E_SimFaultKind::FAULT_AFTER_RESTART,
    E_SimFaultKind::ROLLBACK_AFTER_RESTART,
    E_SimFaultKind::DISCONNECT_AFTER_RESTART,
};

}  // namespace

CSimAfterRestartFaults::CSimAfterRestartFaults(boost::asio::io_context& io, std::string nodeId,
                                               const CSimLog& log, CSimFaultBook& faults, S_Hooks hooks)
    : m_nodeId(std::move(nodeId)),
      m_log(log),
      m_faults(faults),
      m_hooks(std::move(hooks)),
      m_timers{CSimTimer(io), CSimTimer(io), CSimTimer(io)}
{
}

void CSimAfterRestartFaults::armAfterUpgradeRestart()
{
    for (std::size_t slot = 0; slot < AFTER_RESTART_KINDS.size(); ++slot)
    {
        const S_SimFault* fault = m_faults.peek(AFTER_RESTART_KINDS[slot]);
        if (fault == nullptr)
        {
            continue;
        }
        m_log.event(m_nodeId, "fault pending after restart: " + describeSimFault(*fault));
        m_timers[slot].armAfter(std::chrono::milliseconds(fault->delayMs), [this, slot] { strike(slot); });
    }
}

void CSimAfterRestartFaults::cancel()
{
    for (CSimTimer& timer : m_timers)
    {
        timer.cancel();
    }
}

void CSimAfterRestartFaults::strike(std::size_t slot)
{
    const E_SimFaultKind kind = AFTER_RESTART_KINDS[slot];
    const S_SimFault* fault = m_faults.fire(kind);
    if (fault == nullptr)
    {
        return;  // the faults were cleared since the restart armed it
    }
    switch (kind)
    {
        case E_SimFaultKind::FAULT_AFTER_RESTART:
            m_hooks.reportFault(effectiveReasonCode(*fault));
            break;
        case E_SimFaultKind::ROLLBACK_AFTER_RESTART:
            m_hooks.rollBack();
            break;
        default:
            m_hooks.leaveNetwork();
            break;
    }
}

}  // namespace ota::backend
