#pragma once

// The rollout routes of a real backend, for the process tests (beside the upgrade routes of
// upgrade_process_site.h).
#include "app/upgrade_process_site.h"
#include "sim/sim_fault.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::test
{

class CRolloutApi
{
public:
    explicit CRolloutApi(CUpgradeApi& api) : m_api(api) {}

    S_HttpResult create(const nlohmann::json& body) { return m_api.post("/api/v1/rollouts", body.dump()); }
    // operation: start, pause, resume or cancel.
    S_HttpResult operate(std::uint32_t rolloutNo, const std::string& operation)
    {
        return m_api.post("/api/v1/rollouts/" + std::to_string(rolloutNo) + "/" + operation, {});
    }
    // The data of GET /api/v1/rollouts/current and the documents of GET /api/v1/rollouts.
    nlohmann::json current();
    std::vector<nlohmann::json> list();
    // The rollout's document once it satisfies the predicate (null when it does not in time).
    template <typename Predicate>
    nlohmann::json waitRollout(std::uint32_t rolloutNo, Predicate&& predicate,
                               std::chrono::milliseconds bound = std::chrono::seconds(60));
    // Creates the rollout (200 expected) and returns its number, 0 on failure.
    std::uint32_t createOk(const nlohmann::json& body);

private:
    nlohmann::json find(std::uint32_t rolloutNo);

    CUpgradeApi& m_api;
};

// A simulated site and a backend over it, both stopped at the end of the test (the backend must
// exit cleanly); the API clients connect once the backend runs.
class CRolloutSiteTest : public ::testing::Test
{
protected:
    void TearDown() override;
    void connect();
    // The test's firmware file for the EMU slot.
    nlohmann::json files(const std::string& targetVersion = "2.0.0") const;
    void expectRefused(const S_HttpResult& result, unsigned status, const std::string& code,
                       const std::string& message) const;

    ota::backend::CDeviceSimulator simulator;
    std::unique_ptr<CUpgradeBackend> backend;
    std::unique_ptr<CUpgradeApi> api;
    std::unique_ptr<CRolloutApi> rollouts;
    nlohmann::json status;  // the device status once the site was ready
    std::filesystem::path firmware;
};

// A simulator fault of the kind, firing every time.
ota::backend::S_SimFault simFault(ota::backend::E_SimFaultKind kind);

nlohmann::json rolloutBody(const std::string& rolloutId, const nlohmann::json& targets,
                           const nlohmann::json& files, const nlohmann::json& policy = nullptr);

// One EMU target per device at the version it reports.
nlohmann::json emuTargets(const nlohmann::json& deviceStatus, const std::vector<std::string>& nodeIds);

// The group of a rollout document, or of its devices, by number or node id.
nlohmann::json rolloutGroup(const nlohmann::json& rollout, unsigned groupNo);
nlohmann::json rolloutDevice(const nlohmann::json& rollout, const std::string& nodeId);

template <typename Predicate>
nlohmann::json CRolloutApi::waitRollout(std::uint32_t rolloutNo, Predicate&& predicate,
                                        std::chrono::milliseconds bound)
{
    nlohmann::json found;
    const bool matched = waitUntil(
        [&]
        {
            found = find(rolloutNo);
            return found.is_object() && predicate(found);
        },
        bound);
    return matched ? found : nlohmann::json(nullptr);
}

}  // namespace ota::test
