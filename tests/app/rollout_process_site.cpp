#include "app/rollout_process_site.h"

namespace ota::test
{

using json = nlohmann::json;

json CRolloutApi::current()
{
    const S_HttpResult result = m_api.get("/api/v1/rollouts/current");
    return result.status == 200u ? result.json["data"] : json(nullptr);
}

std::vector<json> CRolloutApi::list()
{
    const S_HttpResult result = m_api.get("/api/v1/rollouts");
    if (result.status != 200u)
    {
        return {};
    }
    return result.json["data"]["rollouts"].get<std::vector<json>>();
}

json CRolloutApi::find(std::uint32_t rolloutNo)
{
    for (const json& rollout : list())
    {
        if (rollout["rolloutNo"] == rolloutNo)
        {
            return rollout;
        }
    }
    return nullptr;
}

std::uint32_t CRolloutApi::createOk(const json& body)
{
    const S_HttpResult result = create(body);
    EXPECT_EQ(result.status, 200u) << result.body;
    return result.status == 200u ? result.json["data"]["rolloutNo"].get<std::uint32_t>() : 0u;
}

void CRolloutSiteTest::TearDown()
{
    if (backend)
    {
        EXPECT_EQ(backend->stop(), 0) << backend->output();
    }
    simulator.stop();
}

void CRolloutSiteTest::connect()
{
    api = std::make_unique<CUpgradeApi>(backend->port());
    rollouts = std::make_unique<CRolloutApi>(*api);
}

json CRolloutSiteTest::files(const std::string& targetVersion) const
{
    return json::array({firmwareEntry("emu:emu", firmware, targetVersion)});
}

void CRolloutSiteTest::expectRefused(const S_HttpResult& result, unsigned status, const std::string& code,
                                     const std::string& message) const
{
    EXPECT_EQ(result.status, status) << result.body;
    EXPECT_EQ(result.json["error"]["code"], code) << result.body;
    EXPECT_EQ(result.json["error"]["message"], message) << result.body;
}

ota::backend::S_SimFault simFault(ota::backend::E_SimFaultKind kind)
{
    ota::backend::S_SimFault fault;
    fault.kind = kind;
    return fault;
}

json rolloutBody(const std::string& rolloutId, const json& targets, const json& files, const json& policy)
{
    json body = {{"rolloutId", rolloutId}, {"targets", targets}, {"files", files}};
    if (!policy.is_null())
    {
        body["policy"] = policy;
    }
    return body;
}

json emuTargets(const json& deviceStatus, const std::vector<std::string>& nodeIds)
{
    json targets = json::array();
    for (const std::string& nodeId : nodeIds)
    {
        targets.push_back(
            upgradeTarget(nodeId, "EMU", 1, reportedVersion(deviceStatus, nodeId, "EMU", 1), "emu:emu"));
    }
    return targets;
}

json rolloutGroup(const json& rollout, unsigned groupNo)
{
    for (const json& group : rollout["groups"])
    {
        if (group["groupNo"] == groupNo)
        {
            return group;
        }
    }
    return nullptr;
}

json rolloutDevice(const json& rollout, const std::string& nodeId)
{
    for (const json& device : rollout["devices"])
    {
        if (device["nodeId"] == nodeId)
        {
            return device;
        }
    }
    return nullptr;
}

}  // namespace ota::test
