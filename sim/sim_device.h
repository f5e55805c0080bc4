#pragma once

#include "sim/sim_after_restart_faults.h"
#include "sim/sim_conversation.h"
#include "sim/sim_counters.h"
#include "sim/sim_device_link.h"
#include "sim/sim_device_spec.h"
#include "sim/sim_fault_book.h"
#include "sim/sim_hash_worker.h"
#include "sim/sim_log.h"
#include "sim/sim_outbox.h"
#include "sim/sim_timer.h"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

namespace ota::backend
{

// One simulated EMU, PCS or BMS, put together from its parts:
// - the link (sim_device_link.h): listening socket, the one live connection, requests in order;
// - the outbox (sim_outbox.h): answers in order after the reply latency, actions behind them;
// - the conversation (sim_conversation.h): the upgrade context and every request's answer, with
//   its timed work (sim_timed_work.h) and the replies the faults bend (sim_replies.h);
// - the fault book (sim_fault_book.h): the armed faults and their firings;
// - the restart, here: off the network for rebootMs, then back with the new versions (or, for
//   the fallback restart of ROLLBACK_AFTER_RESTART, with the versions from before the upgrade);
// - the faults that strike after the upgrade restart (sim_after_restart_faults.h).
//
// Lifetimes: the device owns every part as a member and every timer belongs to one part (the
// link's retry timer, the outbox's timer, the conversation's work timer, the device's restart
// timer, the after-restart faults' timers), so no timer outlives its owner, and none runs its
// callback after it (sim_timer.h). The parts are destroyed in reverse order of declaration: the
// after-restart faults, the restart timer, the conversation, the link (closing its connection),
// the outbox, the fault book; none calls another while being destroyed. Handlers of the loop that
// may come later are guarded (sim_lifetime.h).
// Every member is used on the simulator's event loop thread only (listen() before that loop
// runs); received chunks are hashed on the simulator's hash worker.
class CSimDevice
{
public:
    CSimDevice(boost::asio::io_context& io, CSimHashWorker& hasher, S_SimDeviceSpec spec, const CSimLog& log);
    CSimDevice(const CSimDevice&) = delete;
    CSimDevice& operator=(const CSimDevice&) = delete;
    ~CSimDevice();

    // Opens, binds and listens on the device's configured endpoint (port 0: an ephemeral one).
    bool listen(std::string& error);
    void startAccepting();
    // Closes everything and cancels every timer; nothing is re-armed afterwards.
    void shutdown();

    void addFault(const S_SimFault& fault);
    void clearFaults();
    S_SimDeviceSnapshot snapshot() const;
    const std::string& nodeId() const { return m_spec.nodeId; }

private:
    // UPGRADE: the restart that RESTART_VERIFY asks for; FALLBACK: the one of a device whose new
    // firmware failed after that restart.
    enum class E_Restart : std::uint8_t
    {
        UPGRADE,
        FALLBACK,
    };

    void beginRestart(E_Restart restart);
    void finishRestart(E_Restart restart);

    const S_SimDeviceSpec m_spec;
    const CSimLog& m_log;
    S_SimDeviceCounters m_counters;
    bool m_stopped = false;
    // The device's queue on the hash worker: the conversation feeds it, the link waits for it.
    std::shared_ptr<CSimHashLane> m_hashLane;
    CSimFaultBook m_faults;
    CSimOutbox m_outbox;
    CSimDeviceLink m_link;
    CSimConversation m_conversation;
    CSimTimer m_restartTimer;
    CSimAfterRestartFaults m_afterRestart;
};

}  // namespace ota::backend
