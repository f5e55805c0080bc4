#include "baseline/baseline_service.h"

#include "common/clock.h"
#include "protocol/protocol_enums.h"

#include <algorithm>

namespace ota::backend
{

namespace
{

bool hasReport(const S_CommunicationNodeStatus& status)
{
    return status.connectionState == E_DeviceConnectionState::CONNECTED && status.statusReportCount != 0;
}

std::string componentText(const S_BaselineComponent& component)
{
    return component.nodeId + " " + component.componentTypeId + "#" +
           std::to_string(component.componentIndex);
}

}  // namespace

CBaselineService::CBaselineService(Clock clock) : m_clock(std::move(clock)) {}

std::int64_t CBaselineService::now() const
{
    return m_clock ? m_clock() : currentUnixMs();
}

bool CBaselineService::open(const std::filesystem::path& databasePath, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_store.open(databasePath, error))
    {
        return false;
    }
    std::optional<S_BaselineDocument> latest;
    if (!m_store.latest(latest, error))
    {
        m_store.close();
        return false;
    }
    m_current = std::move(latest);
    if (m_current)
    {
        m_tracker.setBaseline(m_current->baselineNo, m_current->components);
    }
    return true;
}

void CBaselineService::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_store.close();
}

bool CBaselineService::checkComponents(const std::vector<S_BaselineComponent>& given,
                                       const std::vector<S_CommunicationNodeStatus>& statuses,
                                       std::vector<S_BaselineComponent>& checked, std::string& error) const
{
    if (given.empty())
    {
        error = "A baseline needs at least one component";
        return false;
    }
    std::set<S_ComponentKey> keys;
    for (std::size_t position = 0; position < given.size(); ++position)
    {
        S_BaselineComponent component = given[position];
        const std::string where = "components[" + std::to_string(position) + "]: ";
        if (std::none_of(statuses.begin(), statuses.end(),
                         [&](const S_CommunicationNodeStatus& status)
                         { return status.nodeId == component.nodeId; }))
        {
            error = where + "node " + component.nodeId + " is not a device of the topology";
            return false;
        }
        std::uint8_t type = 0;
        if (!componentTypeFromIdentifier(component.componentTypeId, type))
        {
            error = where + "unknown component type " + component.componentTypeId;
            return false;
        }
        component.componentTypeId = componentTypeIdentifier(type);
        if (component.version.empty() || component.version.size() > kMaxBaselineVersionBytes)
        {
            error = where + "version must be 1 to " + std::to_string(kMaxBaselineVersionBytes) + " bytes";
            return false;
        }
        if (!keys.insert(
                     S_ComponentKey{component.nodeId, component.componentTypeId, component.componentIndex})
                 .second)
        {
            error = where + componentText(component) + " is listed twice";
            return false;
        }
        checked.push_back(std::move(component));
    }
    return true;
}

E_BaselineCreation CBaselineService::create(const S_BaselineRequest& request,
                                            const std::vector<S_CommunicationNodeStatus>& statuses,
                                            S_BaselineDocument& created, std::vector<std::string>& missing,
                                            std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    missing.clear();
    S_BaselineDocument document;
    document.note = request.note;
    switch (request.source)
    {
        case E_BaselineSource::SITE:
            for (const S_CommunicationNodeStatus& status : statuses)
            {
                if (!hasReport(status))
                {
                    missing.push_back(status.nodeId);
                    continue;
                }
                for (const S_CommunicationComponentStatus& component : status.components)
                {
                    document.components.push_back(
                        S_BaselineComponent{status.nodeId, component.componentTypeId,
                                            component.componentIndex, component.version});
                }
            }
            if (!missing.empty() && !request.allowMissing)
            {
                error = "Devices without a reported status: ";
                for (std::size_t index = 0; index < missing.size(); ++index)
                {
                    error += (index == 0 ? "" : ", ") + missing[index];
                }
                return E_BaselineCreation::REJECTED;
            }
            if (document.components.empty())
            {
                error = "No device has reported its components";
                return E_BaselineCreation::REJECTED;
            }
            break;
        case E_BaselineSource::COMPONENTS:
            if (!checkComponents(request.components, statuses, document.components, error))
            {
                return E_BaselineCreation::REJECTED;
            }
            break;
        case E_BaselineSource::REINSTATE:
        {
            std::optional<S_BaselineDocument> earlier;
            if (!m_store.find(request.baselineNo, earlier, error))
            {
                return E_BaselineCreation::FAILED;
            }
            if (!earlier)
            {
                error = "No baseline has number " + std::to_string(request.baselineNo);
                return E_BaselineCreation::REJECTED;
            }
            document.components = std::move(earlier->components);
            break;
        }
    }
    if (request.source != E_BaselineSource::SITE)
    {
        for (const S_CommunicationNodeStatus& status : statuses)
        {
            const bool named = std::any_of(document.components.begin(), document.components.end(),
                                           [&](const S_BaselineComponent& component)
                                           { return component.nodeId == status.nodeId; });
            if (named && !hasReport(status))
            {
                missing.push_back(status.nodeId);
            }
        }
    }
    document.createdAt = now();
    if (!m_store.insert(document, error))
    {
        return E_BaselineCreation::FAILED;
    }
    m_tracker.setBaseline(document.baselineNo, document.components);
    observeLocked(statuses);
    m_current = document;
    created = std::move(document);
    return E_BaselineCreation::CREATED;
}

std::optional<S_BaselineDocument> CBaselineService::current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current;
}

bool CBaselineService::hasBaseline() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tracker.hasBaseline();
}

std::optional<std::vector<S_BaselineListEntry>> CBaselineService::list(std::uint32_t limit,
                                                                       std::int64_t before,
                                                                       std::int64_t& nextBefore,
                                                                       std::string& error) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_store.list(limit, before, nextBefore, error);
}

std::optional<S_BaselineDrift> CBaselineService::observeLocked(
    const std::vector<S_CommunicationNodeStatus>& statuses)
{
    S_BaselineDrift drift;
    m_tracker.observeAll(statuses, drift);
    if (drift.changed.empty())
    {
        return std::nullopt;
    }
    return drift;
}

std::optional<S_BaselineDrift> CBaselineService::observe(
    const std::vector<S_CommunicationNodeStatus>& statuses)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return observeLocked(statuses);
}

std::optional<S_BaselineDrift> CBaselineService::setUpgrading(std::set<S_ComponentKey> keys)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    S_BaselineDrift drift;
    m_tracker.setUpgrading(std::move(keys), drift);
    if (drift.changed.empty())
    {
        return std::nullopt;
    }
    return drift;
}

std::optional<S_BaselineReport> CBaselineService::report() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_tracker.hasBaseline())
    {
        return std::nullopt;
    }
    return S_BaselineReport{m_tracker.baselineNo(), now(), m_tracker.summary(), m_tracker.rows()};
}

std::optional<S_BaselineSummary> CBaselineService::summary() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_tracker.hasBaseline())
    {
        return std::nullopt;
    }
    return m_tracker.summary();
}

}  // namespace ota::backend
