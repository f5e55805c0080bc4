#pragma once

#include "baseline/baseline_types.h"
#include "device/communication_node_status.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace ota::backend
{

// The state of every component of the site against one baseline, kept per device so that a
// status report recomputes only the components of the device that sent it: a device's rows are
// found through a hash of its node id, a component among its (a dozen or so) rows by a short scan.
// The summary is kept up to date with every change rather than counted again.
//
// Threads: none of its own and no lock; the owner serialises every call.
class CDriftTracker
{
public:
    // Replaces the baseline and recomputes every component from the devices' last statuses. No
    // drift is reported for the change itself: the baseline's creator has the whole report.
    void setBaseline(std::uint32_t baselineNo, const std::vector<S_BaselineComponent>& components);
    bool hasBaseline() const { return m_baselineNo != 0; }
    std::uint32_t baselineNo() const { return m_baselineNo; }

    // Every device's status, in topology order: a status that brings nothing new (the same report
    // count, connection and position) costs a look-up. A device no longer in the list (the topology
    // changed) counts as not connected. Changes are appended to drift.
    void observeAll(const std::vector<S_CommunicationNodeStatus>& statuses, S_BaselineDrift& drift);
    // One device's status; position is the device's place in the topology (the report's order).
    void observe(const S_CommunicationNodeStatus& status, std::size_t position, S_BaselineDrift& drift);
    // The components a running task targets (empty: no task runs). Changes are appended to drift.
    void setUpgrading(std::set<S_ComponentKey> keys, S_BaselineDrift& drift);

    const S_BaselineSummary& summary() const { return m_summary; }
    // Every component, the topology's devices in its order first, each device's baseline
    // components in baseline order, then the unexpected ones.
    std::vector<S_BaselineReportRow> rows() const;

private:
    struct S_Node
    {
        std::string nodeId;
        std::string nodeName;
        std::string deviceType;
        std::size_t position = SIZE_MAX;  // SIZE_MAX: not (or no longer) seen in the topology
        bool connected = false;
        std::uint64_t reportCount = 0;  // 0: never reported
        std::int64_t reportedAt = 0;
        std::vector<S_CommunicationComponentStatus> components;  // as last reported
        std::vector<S_BaselineReportRow> rows;                   // baseline rows, then unexpected
        std::size_t baselineRowCount = 0;
        std::uint64_t seenInPass = 0;
    };

    S_Node& nodeOf(const std::string& nodeId);
    // Recomputes the rows of one device; changes go to drift when it is given.
    void recompute(S_Node& node, S_BaselineDrift* drift);
    bool isUpgrading(const S_BaselineReportRow& row) const;
    void count(const S_BaselineReportRow& row, int sign);

    std::uint32_t m_baselineNo = 0;
    std::vector<S_Node> m_nodes;
    std::unordered_map<std::string, std::size_t> m_nodeIndex;
    std::set<S_ComponentKey> m_upgrading;
    std::uint64_t m_pass = 0;
    std::size_t m_presentCount = 0;  // nodes with a position
    S_BaselineSummary m_summary;
};

}  // namespace ota::backend
