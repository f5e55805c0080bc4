#include "sim/sim_fault_book.h"

namespace ota::backend
{

CSimFaultBook::CSimFaultBook(std::string nodeId, const CSimLog& log, S_SimDeviceCounters& counters,
                             const std::vector<S_SimFault>& faults)
    : m_nodeId(std::move(nodeId)), m_log(log), m_counters(counters)
{
    for (const S_SimFault& fault : faults)
    {
        m_faults.push_back({fault, 0});
    }
}

void CSimFaultBook::add(const S_SimFault& fault)
{
    m_faults.push_back({fault, 0});
    m_log.event(m_nodeId, "fault armed: " + describeSimFault(fault));
}

void CSimFaultBook::clear()
{
    m_faults.clear();
    m_log.event(m_nodeId, "faults cleared");
}

const S_SimFault* CSimFaultBook::fire(E_SimFaultKind kind, const Matcher& matches)
{
    for (S_Armed& armed : m_faults)
    {
        if (!armed.retired() && armed.fault.kind == kind && (!matches || matches(armed.fault)))
        {
            ++armed.fired;
            ++m_counters.faultsFired[static_cast<std::size_t>(kind)];
            m_log.event(m_nodeId, "fault fired: " + describeSimFault(armed.fault));
            return &armed.fault;
        }
    }
    return nullptr;
}

const S_SimFault* CSimFaultBook::peek(E_SimFaultKind kind) const
{
    for (const S_Armed& armed : m_faults)
    {
        if (!armed.retired() && armed.fault.kind == kind)
        {
            return &armed.fault;
        }
    }
    return nullptr;
}

}  // namespace ota::backend
