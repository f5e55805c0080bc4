#include "sim/sim_device.h"

namespace ota::backend
{

CSimDevice::CSimDevice(boost::asio::io_context& io, CSimHashWorker& hasher, S_SimDeviceSpec spec,
                       const CSimLog& log)
    : m_spec(std::move(spec)),
      m_log(log),
      m_hashLane(hasher.createLane()),
      m_faults(m_spec.nodeId, log, m_counters, m_spec.faults),
      m_outbox(
          io, m_spec.timings.replyLatencyMs,
          [this](std::vector<std::uint8_t> bytes, std::uint8_t messageType)
          { m_link.write(std::move(bytes), messageType); },
          [this] { m_link.drop(false, "too many answers held back by the reply delay"); }),
      m_link(io, hasher, m_hashLane, m_spec, log, m_counters,
             {[this] { m_conversation.onConnected(); },
              [this](S_ProtocolFrame& frame) { m_conversation.handleRequest(frame); },
              // Frames queued for the lost link go with it; pending actions (a restart) still happen.
              [this] { m_outbox.dropBytes(); }}),
      m_conversation(io, m_spec, log, m_counters, m_faults, m_outbox, hasher, m_hashLane,
                     {[this](const std::string& why) { m_link.drop(false, why); },
                      [this] { m_outbox.runAfterQueued([this] { beginRestart(E_Restart::UPGRADE); }); }}),
      m_restartTimer(io),
      m_afterRestart(io, m_spec.nodeId, log, m_faults,
                     {[this](std::uint8_t reasonCode) { m_conversation.reportFaultFromNowOn(reasonCode); },
                      [this] { beginRestart(E_Restart::FALLBACK); },
                      [this] { m_link.leaveNetwork("gone after its restart"); }})
{
}

CSimDevice::~CSimDevice() = default;

bool CSimDevice::listen(std::string& error)
{
    return m_link.listen(error);
}

void CSimDevice::startAccepting()
{
    m_link.startAccepting();
}

void CSimDevice::shutdown()
{
    m_stopped = true;
    m_link.shutdown();
    m_outbox.clear();
    m_conversation.stop();
    m_restartTimer.cancel();
    m_afterRestart.cancel();
}

void CSimDevice::addFault(const S_SimFault& fault)
{
    m_faults.add(fault);
}

void CSimDevice::clearFaults()
{
    m_faults.clear();
}

S_SimDeviceSnapshot CSimDevice::snapshot() const
{
    S_SimDeviceSnapshot snapshot;
    snapshot.nodeId = m_spec.nodeId;
    snapshot.deviceType = m_spec.deviceType;
    snapshot.address = m_spec.address;
    snapshot.port = m_link.port();
    snapshot.listening = m_link.listening();
    snapshot.connected = m_link.connected();
    const std::optional<std::uint32_t> contextUpgradeNo = m_conversation.contextUpgradeNo();
    snapshot.upgradeContextOpen = contextUpgradeNo.has_value();
    snapshot.contextUpgradeNo = contextUpgradeNo.value_or(0);
    snapshot.lastCompletedUpgradeNo = m_conversation.lastCompletedUpgradeNo();
    snapshot.components = m_conversation.components();
    snapshot.counters = m_counters;
    return snapshot;
}

void CSimDevice::beginRestart(E_Restart restart)
{
    if (m_stopped)
    {
        return;
    }
    m_afterRestart.cancel();
    m_conversation.beginRestart();
    ++m_counters.reboots;
    if (restart == E_Restart::UPGRADE)
    {
        m_link.goOffline("restarting");
    }
    else
    {
        // A watchdog reset: nothing queued leaves any more.
        m_link.goOffline("falling back to the previous firmware", false);
    }
    m_log.event(m_spec.nodeId,
                "restarting: refusing connections for " + std::to_string(m_spec.timings.rebootMs) + " ms");
    m_restartTimer.armAfter(std::chrono::milliseconds(m_spec.timings.rebootMs),
                            [this, restart] { finishRestart(restart); });
}

void CSimDevice::finishRestart(E_Restart restart)
{
    if (restart == E_Restart::FALLBACK)
    {
        m_conversation.finishRollback();
        m_link.goOnline();
        return;
    }
    m_conversation.finishRestart();
    m_link.goOnline([this] { m_afterRestart.armAfterUpgradeRestart(); });
}

}  // namespace ota::backend
