#include "baseline/drift_tracker.h"

#include <algorithm>
#include <numeric>

namespace ota::backend
{

const char* baselineComponentStateName(E_BaselineComponentState state)
{
    switch (state)
    {
        case E_BaselineComponentState::MATCH:
            return "MATCH";
        case E_BaselineComponentState::DRIFT:
            return "DRIFT";
        case E_BaselineComponentState::MISSING:
            return "MISSING";
        case E_BaselineComponentState::UNEXPECTED:
            return "UNEXPECTED";
    }
    return "MISSING";
}

namespace
{

const S_CommunicationComponentStatus* findComponent(
    const std::vector<S_CommunicationComponentStatus>& components, const std::string& typeId,
    std::uint16_t index)
{
    for (const S_CommunicationComponentStatus& component : components)
    {
        if (component.componentIndex == index && component.componentTypeId == typeId)
        {
            return &component;
        }
    }
    return nullptr;
}

bool sameRowKey(const S_BaselineReportRow& row, const S_CommunicationComponentStatus& component)
{
    return row.componentIndex == component.componentIndex && row.componentTypeId == component.componentTypeId;
}

}  // namespace

CDriftTracker::S_Node& CDriftTracker::nodeOf(const std::string& nodeId)
{
    const auto found = m_nodeIndex.find(nodeId);
    if (found != m_nodeIndex.end())
    {
        return m_nodes[found->second];
    }
    m_nodeIndex.emplace(nodeId, m_nodes.size());
    S_Node& node = m_nodes.emplace_back();
    node.nodeId = nodeId;
    return node;
}

bool CDriftTracker::isUpgrading(const S_BaselineReportRow& row) const
{
    return !m_upgrading.empty() &&
           m_upgrading.count(S_ComponentKey{row.nodeId, row.componentTypeId, row.componentIndex}) != 0;
}

void CDriftTracker::count(const S_BaselineReportRow& row, int sign)
{
    if (row.state == E_BaselineComponentState::DRIFT && row.upgrading)
    {
        return;
    }
    std::uint64_t* counters[] = {&m_summary.match, &m_summary.drift, &m_summary.missing,
                                 &m_summary.unexpected};
    std::uint64_t& counter = *counters[static_cast<std::size_t>(row.state)];
    counter = sign > 0 ? counter + 1 : counter - 1;
}

void CDriftTracker::setBaseline(std::uint32_t baselineNo, const std::vector<S_BaselineComponent>& components)
{
    m_baselineNo = baselineNo;
    m_summary = {};
    for (S_Node& node : m_nodes)
    {
        node.rows.clear();
        node.baselineRowCount = 0;
    }
    for (const S_BaselineComponent& component : components)
    {
        S_Node& node = nodeOf(component.nodeId);
        S_BaselineReportRow row;
        row.nodeId = component.nodeId;
        row.componentTypeId = component.componentTypeId;
        row.componentIndex = component.componentIndex;
        row.expected = component.version;
        count(row, +1);  // as MISSING, until recompute() below takes it out again
        node.rows.push_back(std::move(row));
        ++node.baselineRowCount;
    }
    for (S_Node& node : m_nodes)
    {
        recompute(node, nullptr);
    }
}

void CDriftTracker::observeAll(const std::vector<S_CommunicationNodeStatus>& statuses, S_BaselineDrift& drift)
{
    ++m_pass;
    for (std::size_t position = 0; position < statuses.size(); ++position)
    {
        observe(statuses[position], position, drift);
    }
    // Only when a device has left the topology is every node looked at.
    if (m_presentCount <= statuses.size())
    {
        return;
    }
    for (S_Node& node : m_nodes)
    {
        if (node.position != SIZE_MAX && node.seenInPass != m_pass)
        {
            node.position = SIZE_MAX;
            node.connected = false;
            --m_presentCount;
            if (hasBaseline())
            {
                recompute(node, &drift);
            }
        }
    }
}

void CDriftTracker::observe(const S_CommunicationNodeStatus& status, std::size_t position,
                            S_BaselineDrift& drift)
{
    S_Node& node = nodeOf(status.nodeId);
    node.seenInPass = m_pass;
    if (node.position == SIZE_MAX && position != SIZE_MAX)
    {
        ++m_presentCount;
    }
    const bool connected = status.connectionState == E_DeviceConnectionState::CONNECTED;
    if (node.position == position && node.connected == connected &&
        node.reportCount == status.statusReportCount && node.reportedAt == status.lastStatusAt &&
        node.nodeName == status.nodeName)
    {
        return;
    }
    node.position = position;
    node.nodeName = status.nodeName;
    node.deviceType = status.protocolNodeType;
    node.connected = connected;
    node.reportCount = status.statusReportCount;
    node.reportedAt = status.lastStatusAt;
    node.components = status.components;
    if (hasBaseline())
    {
        recompute(node, &drift);
    }
}

void CDriftTracker::setUpgrading(std::set<S_ComponentKey> keys, S_BaselineDrift& drift)
{
    if (keys == m_upgrading)
    {
        return;
    }
    std::set<std::string> affected;
    for (const S_ComponentKey& key : m_upgrading)
    {
        affected.insert(key.nodeId);
    }
    for (const S_ComponentKey& key : keys)
    {
        affected.insert(key.nodeId);
    }
    m_upgrading = std::move(keys);
    if (!hasBaseline())
    {
        return;
    }
    for (const std::string& nodeId : affected)
    {
        const auto found = m_nodeIndex.find(nodeId);
        if (found != m_nodeIndex.end())
        {
            recompute(m_nodes[found->second], &drift);
        }
    }
}

void CDriftTracker::recompute(S_Node& node, S_BaselineDrift* drift)
{
    const bool reported = node.connected && node.reportCount != 0;
    std::vector<S_BaselineReportRow> rows;
    rows.reserve(node.baselineRowCount + (reported ? node.components.size() : 0));
    for (std::size_t index = 0; index < node.baselineRowCount; ++index)
    {
        S_BaselineReportRow row = node.rows[index];
        const S_CommunicationComponentStatus* component =
            node.reportCount != 0 ? findComponent(node.components, row.componentTypeId, row.componentIndex)
                                  : nullptr;
        row.reported = component != nullptr ? std::optional<std::string>(component->version) : std::nullopt;
        row.reportedAt = component != nullptr ? std::optional<std::int64_t>(node.reportedAt) : std::nullopt;
        row.state = !reported || component == nullptr     ? E_BaselineComponentState::MISSING
                    : component->version == *row.expected ? E_BaselineComponentState::MATCH
                                                          : E_BaselineComponentState::DRIFT;
        rows.push_back(std::move(row));
    }
    if (reported)
    {
        for (const S_CommunicationComponentStatus& component : node.components)
        {
            const auto baselineEnd = rows.begin() + static_cast<std::ptrdiff_t>(node.baselineRowCount);
            if (std::any_of(rows.begin(), baselineEnd,
                            [&](const S_BaselineReportRow& row) { return sameRowKey(row, component); }))
            {
                continue;
            }
            S_BaselineReportRow row;
            row.nodeId = node.nodeId;
            row.componentTypeId = component.componentTypeId;
            row.componentIndex = component.componentIndex;
            row.reported = component.version;
            row.reportedAt = node.reportedAt;
            row.state = E_BaselineComponentState::UNEXPECTED;
            rows.push_back(std::move(row));
        }
    }
    for (S_BaselineReportRow& row : rows)
    {
        row.nodeName = node.nodeName;
        row.deviceType = node.deviceType;
        row.upgrading = isUpgrading(row);
    }
    for (const S_BaselineReportRow& old : node.rows)
    {
        count(old, -1);
    }
    for (const S_BaselineReportRow& row : rows)
    {
        count(row, +1);
        if (drift == nullptr)
        {
            continue;
        }
        const auto old = std::find_if(node.rows.begin(), node.rows.end(),
                                      [&](const S_BaselineReportRow& candidate)
                                      {
                                          return candidate.componentIndex == row.componentIndex &&
                                                 candidate.componentTypeId == row.componentTypeId;
                                      });
        const bool wasDrift = old != node.rows.end() && old->drifted();
        if (old == node.rows.end() || old->state != row.state || wasDrift != row.drifted())
        {
            drift->changed.push_back(row);
            if (row.drifted() && !wasDrift)
            {
                drift->newDrift.push_back(row);
            }
        }
    }
    node.rows = std::move(rows);
    if (drift != nullptr)
    {
        drift->baselineNo = m_baselineNo;
        drift->summary = m_summary;
    }
}

std::vector<S_BaselineReportRow> CDriftTracker::rows() const
{
    std::vector<std::size_t> order(m_nodes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t left, std::size_t right)
                     { return m_nodes[left].position < m_nodes[right].position; });
    std::vector<S_BaselineReportRow> rows;
    for (const std::size_t index : order)
    {
        rows.insert(rows.end(), m_nodes[index].rows.begin(), m_nodes[index].rows.end());
    }
    return rows;
}

}  // namespace ota::backend
