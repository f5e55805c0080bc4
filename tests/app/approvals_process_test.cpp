// Approvals through the real ota-backend and the simulator: without the key every document is as
// before; with it (and access control) a created rollout and a previewed task await a second
// person's approval, the list shows both, and a rejected rollout is final.
#include "app/rollout_process_site.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

const std::string kToken = "approvals-token_0123456789abcdefghijklmnopqrstuvwxyz";
const char* const kRolloutActors[] = {"planDigest", "createdBy", "approvedBy", "rejectedBy", "rejectReason",
                                      "startedBy",  "pausedBy",  "resumedBy",  "cancelledBy"};
const char* const kTaskActors[] = {"previewedBy", "approvedBy", "startedBy", "abortedBy"};

class ApprovalsProcessTest : public CRolloutSiteTest
{
protected:
    void SetUp() override
    {
        startSimulator(simulator, {quickDevice("emu-1", E_ProtocolDeviceType::EMU)});
        backend = std::make_unique<CUpgradeBackend>(
            std::vector<S_TestNode>{S_TestNode{"emu-1", "EMU", simulator.boundPort("emu-1")}});
        firmware = backend->writeFirmware("emu.bin", 1500);
    }

    void launch()
    {
        ASSERT_TRUE(backend->launch()) << backend->output();
        connect();
        api->setHeaders({{"Authorization", "Bearer " + kToken}});
        status = api->waitReady({"emu-1"});
        ASSERT_TRUE(status.is_object()) << backend->output();
    }

    json preview(const std::string& upgradeId)
    {
        const S_HttpResult result =
            api->preview(previewBody(upgradeId, emuTargets(status, {"emu-1"}), files()));
        EXPECT_EQ(result.status, 200u) << result.body;
        return result.json["data"];
    }
};

TEST_F(ApprovalsProcessTest, CreatedRolloutsAndPreviewsAwaitAnotherPersonOnlyWhenConfigured)
{
    launch();
    const json plain =
        rollouts->create(rolloutBody("plain", emuTargets(status, {"emu-1"}), files())).json["data"];
    EXPECT_EQ(plain["status"], "READY");
    for (const char* key : kRolloutActors)
    {
        EXPECT_FALSE(plain.contains(key)) << key;
    }
    const json plainPreview = preview("plain_task");
    EXPECT_FALSE(plainPreview.contains("snapshotDigest"));
    EXPECT_FALSE(plainPreview.contains("previewedBy"));
    const json plainRecord = findRecord(api->history(), plainPreview["snapshot"]["upgradeNo"]);
    ASSERT_TRUE(plainRecord.is_object());
    for (const char* key : kTaskActors)
    {
        EXPECT_FALSE(plainRecord.contains(key)) << key;
    }
    EXPECT_EQ(api->get("/api/v1/approvals").status, 404u);
    ASSERT_EQ(backend->stop(), 0) << backend->output();

    // The same site, now with approvals and access control.
    const std::filesystem::path tokenFile = backend->directory().writeFile("secret/api-token", kToken + "\n");
    ::chmod(tokenFile.c_str(), 0600);
    backend->setConfigValue("apiAccess", {{"tokenFile", "secret/api-token"}});
    backend->setConfigValue("approvals", {{"rollouts", true}, {"starts", true}});
    launch();

    const json created =
        rollouts->create(rolloutBody("guarded", emuTargets(status, {"emu-1"}), files())).json["data"];
    const std::uint32_t rolloutNo = created["rolloutNo"];
    EXPECT_EQ(created["status"], "AWAITING_APPROVAL");
    const std::string planDigest = created["planDigest"];
    EXPECT_EQ(planDigest.size(), 64u);
    for (const char* key : kRolloutActors)
    {
        EXPECT_TRUE(created.contains(key)) << key;
    }
    const std::string number = std::to_string(rolloutNo);
    expectRefused(rollouts->operate(rolloutNo, "start"), 409, "ROLLOUT_OPERATION_REJECTED",
                  "The rollout awaits approval");
    // Every request acts as the same person here: approving one's own rollout or preview is refused.
    EXPECT_EQ(api->post("/api/v1/rollouts/" + number + "/approve", json{{"planDigest", planDigest}}.dump())
                  .json["error"]["code"],
              "SELF_APPROVAL");
    EXPECT_EQ(api->post("/api/v1/rollouts/" + number + "/approve", R"({"digest":"x"})").status, 400u);

    const json guarded = preview("guarded_task");
    const std::string snapshotDigest = guarded["snapshotDigest"];
    EXPECT_EQ(snapshotDigest.size(), 64u);
    EXPECT_TRUE(guarded["previewedBy"].is_string());
    const S_HttpResult start = api->start();
    EXPECT_EQ(start.status, 409u) << start.body;
    EXPECT_EQ(start.json["error"]["code"], "APPROVAL_REQUIRED");
    const S_HttpResult self =
        api->post("/api/v1/upgrades/preview/approve", json{{"snapshotDigest", snapshotDigest}}.dump());
    EXPECT_EQ(self.status, 403u) << self.body;
    EXPECT_EQ(self.json["error"]["code"], "SELF_APPROVAL");

    const S_HttpResult listed = api->get("/api/v1/approvals");
    ASSERT_EQ(listed.status, 200u) << listed.body;
    const json& approvals = listed.json["data"];
    ASSERT_EQ(approvals["rollouts"].size(), 1u) << listed.body;
    EXPECT_EQ(approvals["rollouts"][0]["rolloutNo"], rolloutNo);
    EXPECT_EQ(approvals["rollouts"][0]["planDigest"], planDigest);
    EXPECT_EQ(approvals["preview"]["snapshotDigest"], snapshotDigest);
    EXPECT_EQ(approvals["preview"]["snapshot"], guarded["snapshot"]);
    const json record = findRecord(api->history(), guarded["snapshot"]["upgradeNo"]);
    EXPECT_TRUE(record["previewedBy"].is_string()) << record.dump();
    EXPECT_EQ(record["approvedBy"], "");

    const S_HttpResult rejected =
        api->post("/api/v1/rollouts/" + number + "/reject", json{{"reason", "wrong firmware"}}.dump());
    ASSERT_EQ(rejected.status, 200u) << rejected.body;
    EXPECT_EQ(rejected.json["data"]["status"], "REJECTED");
    EXPECT_EQ(rejected.json["data"]["rejectReason"], "wrong firmware");
    const S_HttpResult again =
        api->post("/api/v1/rollouts/" + number + "/reject", json{{"reason", "again"}}.dump());
    EXPECT_EQ(again.status, 409u) << again.body;
    EXPECT_EQ(again.json["error"]["code"], "ROLLOUT_OPERATION_REJECTED");
    EXPECT_EQ(rollouts->operate(rolloutNo, "start").status, 409u);
    EXPECT_TRUE(api->get("/api/v1/approvals").json["data"]["rollouts"].empty());

    // The trail names the rollout of every decision, refused or not.
    const S_HttpResult audit = api->get("/api/v1/audit");
    ASSERT_EQ(audit.status, 200u) << audit.body;
    std::map<std::string, unsigned> decisions;  // "<route> <errorCode>" -> count
    for (const json& entry : audit.json["data"]["entries"])
    {
        if (entry["route"] == "/api/v1/rollouts/:rolloutNo/approve" ||
            entry["route"] == "/api/v1/rollouts/:rolloutNo/reject")
        {
            EXPECT_EQ(entry["rolloutNo"], rolloutNo) << entry.dump();
            ++decisions[entry["route"].get<std::string>() + " " + entry["errorCode"].get<std::string>()];
        }
    }
    EXPECT_EQ(decisions["/api/v1/rollouts/:rolloutNo/approve SELF_APPROVAL"], 1u);
    EXPECT_EQ(decisions["/api/v1/rollouts/:rolloutNo/reject "], 1u);
    EXPECT_EQ(decisions["/api/v1/rollouts/:rolloutNo/reject ROLLOUT_OPERATION_REJECTED"], 1u);
}

}  // namespace
}  // namespace ota::test
