// The requests around rollouts against the real ota-backend: refused rollouts and operations leave
// the rollouts, the history and the current snapshot as they were; the retry route previews the
// failed devices of a finished task; the history answers page by page.
#include "app/rollout_process_site.h"
#include "sim/sim_test_support.h"
#include "support/free_port.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

class RolloutRequestProcessTest : public CRolloutSiteTest
{
protected:
    void SetUp() override
    {
        S_SimDeviceSpec second = quickDevice("emu-2", E_ProtocolDeviceType::EMU);
        S_SimFault refuse = simFault(E_SimFaultKind::REFUSE_TARGET_LIST);
        refuse.times = 1;
        second.faults.push_back(refuse);
        startSimulator(simulator, {quickDevice("emu-1", E_ProtocolDeviceType::EMU), second});
        // emu-gone is in the topology, but nothing listens on its port.
        std::vector<S_TestNode> nodes = {S_TestNode{"emu-1", "EMU", simulator.boundPort("emu-1")},
                                         S_TestNode{"emu-2", "EMU", simulator.boundPort("emu-2")},
                                         S_TestNode{"emu-gone", "EMU", findFreeLoopbackPort()}};
        backend = std::make_unique<CUpgradeBackend>(nodes);
        ASSERT_TRUE(backend->launch()) << backend->output();
        connect();
        status = api->waitReady({"emu-1", "emu-2"});
        ASSERT_TRUE(status.is_object()) << backend->output();
        firmware = backend->writeFirmware("emu.bin", 1500);
    }
};

TEST_F(RolloutRequestProcessTest, RefusedRolloutsAndOperationsLeaveEverythingAsItWas)
{
    const S_HttpResult preview =
        api->preview(previewBody("prepared", emuTargets(status, {"emu-1"}), files()));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t prepared = preview.json["data"]["snapshot"]["upgradeNo"];
    const json targets = emuTargets(status, {"emu-1", "emu-2"});

    expectRefused(api->post("/api/v1/rollouts", ""), 400, "INVALID_REQUEST_BODY",
                  "Request body must not be empty");
    EXPECT_EQ(api->post("/api/v1/rollouts", "{").json["error"]["code"], "INVALID_REQUEST_JSON");
    struct S_Row
    {
        json body;
        std::string message;
    };
    json gone = targets;
    gone.push_back(upgradeTarget("emu-gone", "EMU", 1, "1.0.0", "emu:emu"));
    json badIndex = targets;
    badIndex[1]["componentIndex"] = 0;
    const std::vector<S_Row> rows = {
        {json::array(), "Request body must be a JSON object"},
        {{{"rolloutId", "r"}, {"targets", targets}, {"files", files()}, {"extra", 1}},
         "request contains missing or unsupported fields"},
        {{{"rolloutId", "r"}, {"targets", targets}}, "request contains missing or unsupported fields"},
        {rolloutBody("bad-id", targets, files()),
         "request.rolloutId must contain only ASCII letters, digits and underscore"},
        {rolloutBody(std::string(25, 'r'), targets, files()),
         "request.rolloutId length must be between 1 and 24 bytes"},
        {rolloutBody("r", targets, files(), {{"groupSize", {1}}}),
         "request.policy contains unsupported field 'groupSize'"},
        {rolloutBody("r", targets, files(), {{"groupSizes", {1, 0}}}),
         "request.policy.groupSizes[1] must be an integer between 1 and 1000"},
        {rolloutBody("r", targets, files(), {{"groupSizes", json::array({1.5})}}),
         "request.policy.groupSizes[0] must be an integer between 1 and 1000"},
        {rolloutBody("r", targets, files(), {{"successPercent", 0}}),
         "request.policy.successPercent must be an integer between 1 and 100"},
        {rolloutBody("r", targets, files(), {{"maxFailedDevices", "2"}}),
         "request.policy.maxFailedDevices must be an integer between 1 and 1000"},
        {rolloutBody("r", targets, files(), {{"retryRounds", 4}}),
         "request.policy.retryRounds must be an integer between 0 and 3"},
        {rolloutBody("r", targets, files(), {{"manualAdvance", 1}}),
         "request.policy.manualAdvance must be a boolean"},
        {rolloutBody("r", targets, files(), {{"startAt", -1}}),
         "request.policy.startAt must be an integer of at least 0 (milliseconds since the epoch)"},
        {rolloutBody("r", targets, files(), {{"startAt", 2000}, {"windowEndAt", 1000}}),
         "request.policy.windowEndAt must be later than request.policy.startAt"},
        {rolloutBody("r", targets, files(), {{"soakSeconds", 86401}}),
         "request.policy.soakSeconds must be an integer between 0 and 86400"},
        {rolloutBody("r", targets, files(), {{"soakSeconds", -1}}),
         "request.policy.soakSeconds must be an integer between 0 and 86400"},
        {rolloutBody("r", targets, files(), {{"soakSeconds", true}}),
         "request.policy.soakSeconds must be an integer between 0 and 86400"},
        {rolloutBody("r", targets, files(), {{"maxConcurrentPerType", json::array({2})}}),
         "request.policy.maxConcurrentPerType must be a JSON object"},
        {rolloutBody("r", targets, files(), {{"maxConcurrentPerType", {{"pcs", 2}}}}),
         "request.policy.maxConcurrentPerType contains unsupported device type 'pcs' (EMU, PCS or BMS)"},
        {rolloutBody("r", targets, files(), {{"maxConcurrentPerType", {{"EMU", 1}, {"BMS", 0}}}}),
         "request.policy.maxConcurrentPerType.BMS must be an integer between 1 and 1000"},
        {rolloutBody("r", targets, files(), {{"maxConcurrentPerType", {{"PCS", 1001}}}}),
         "request.policy.maxConcurrentPerType.PCS must be an integer between 1 and 1000"},
        {rolloutBody("r", gone, files()), "Device is not connected: emu-gone"},
        {rolloutBody("r", badIndex, files()), "targets[1].componentIndex must be between 1 and 255"},
        {rolloutBody("r", json::array(), files()), "targets must be a non-empty JSON array"},
        {rolloutBody("r", targets,
                     json::array({firmwareEntry("emu:emu", backend->directory() / "missing.bin", "2.0.0")})),
         "Firmware file does not exist: " + (backend->directory() / "missing.bin").string()},
    };
    for (const S_Row& row : rows)
    {
        expectRefused(rollouts->create(row.body), 422, "ROLLOUT_REJECTED", row.message);
    }

    const std::uint32_t rolloutNo = rollouts->createOk(rolloutBody("kept", targets, files()));
    ASSERT_NE(rolloutNo, 0u);
    expectRefused(rollouts->create(rolloutBody("kept", targets, files())), 422, "ROLLOUT_REJECTED",
                  "rolloutId is already used by another rollout: kept");
    expectRefused(api->post("/api/v1/rollouts/0/start", {}), 400, "INVALID_ROLLOUT_NO",
                  "Rollout number must be a non-zero uint32 decimal value");
    expectRefused(api->post("/api/v1/rollouts/x1/pause", {}), 400, "INVALID_ROLLOUT_NO",
                  "Rollout number must contain decimal digits only");
    expectRefused(rollouts->operate(rolloutNo + 1, "start"), 404, "ROLLOUT_NOT_FOUND",
                  "Rollout " + std::to_string(rolloutNo + 1) + " does not exist");
    for (const char* operation : {"pause", "resume"})
    {
        const S_HttpResult refused = rollouts->operate(rolloutNo, operation);
        EXPECT_EQ(refused.status, 409u);
        EXPECT_EQ(refused.json["error"]["code"], "ROLLOUT_OPERATION_REJECTED");
    }

    // Nothing but the one rollout was stored, the history holds only the prepared task, and the
    // prepared snapshot is still the one to start.
    const std::vector<json> list = rollouts->list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["status"], "READY");
    EXPECT_EQ(list[0]["rolloutId"], "kept");
    EXPECT_EQ(list[0]["policy"], json({{"groupSizes", json::array()},
                                       {"successPercent", 100},
                                       {"maxFailedDevices", 1},
                                       {"manualAdvance", false},
                                       {"startAt", 0},
                                       {"windowEndAt", 0},
                                       {"retryRounds", 0}}));
    EXPECT_EQ(rollouts->current(), json({{"active", false}, {"rollout", nullptr}}));
    const json history = api->history();
    ASSERT_EQ(history["records"].size(), 1u);
    EXPECT_EQ(history["records"][0]["upgradeNo"], prepared);
    const json current = api->current();
    EXPECT_EQ(current["status"], "PREVIEW_READY");
    EXPECT_EQ(current["currentTask"]["upgradeNo"], prepared);
}

TEST_F(RolloutRequestProcessTest, TheRetryRoutePreviewsTheFailedDevicesOfAFinishedTask)
{
    const json targets = emuTargets(status, {"emu-1", "emu-2"});
    const S_HttpResult preview = api->preview(previewBody("first_try", targets, files()));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t first = preview.json["data"]["snapshot"]["upgradeNo"];
    const std::string path = "/api/v1/upgrades/" + std::to_string(first) + "/retry";
    const json body = {{"upgradeId", "second_try"}};
    expectRefused(
        api->post(path, body.dump()), 422, "UPGRADE_PREVIEW_REJECTED",
        "Upgrade task " + std::to_string(first) + " has not finished; only a finished task can be retried");
    ASSERT_EQ(api->start().status, 202u);
    const json ended = api->waitEnded(first);
    ASSERT_TRUE(ended.is_object()) << backend->output();
    ASSERT_EQ(ended["status"], "FAILED");
    ASSERT_EQ(findDevice(ended, "emu-1")["result"], "SUCCESS");
    ASSERT_TRUE(api->waitFinalized(first).is_object());

    expectRefused(api->post("/api/v1/upgrades/0/retry", body.dump()), 400, "INVALID_UPGRADE_NO",
                  "Upgrade number must be a non-zero uint32 decimal value");
    expectRefused(api->post(path, ""), 400, "INVALID_REQUEST_BODY", "Request body must not be empty");
    expectRefused(api->post(path, json({{"upgradeId", "x"}, {"force", true}}).dump()), 422,
                  "UPGRADE_PREVIEW_REJECTED", "request contains missing or unsupported fields");
    expectRefused(api->post("/api/v1/upgrades/" + std::to_string(first + 1000) + "/retry", body.dump()), 422,
                  "UPGRADE_PREVIEW_REJECTED",
                  "Upgrade task " + std::to_string(first + 1000) + " is not in the history");
    expectRefused(api->post(path, json({{"upgradeId", "first_try"}}).dump()), 422, "UPGRADE_PREVIEW_REJECTED",
                  "UPGRADE_ID_ALREADY_EXISTS: 升级任务标识已存在，请修改后再执行");
    // The file changed since the finished task was previewed: refused, and nothing is stored.
    const std::string original = readWholeFile(firmware);
    backend->writeFirmware("emu.bin", 1500, 9);
    expectRefused(api->post(path, body.dump()), 422, "UPGRADE_PREVIEW_REJECTED",
                  "Firmware file changed since upgrade task " + std::to_string(first) +
                      " was previewed: " + std::filesystem::canonical(firmware).string());
    EXPECT_EQ(api->history()["records"].size(), 1u);
    backend->directory().writeFile("firmware/emu.bin", original);

    const S_HttpResult retried = api->post(path, body.dump());
    ASSERT_EQ(retried.status, 200u) << retried.body;
    const json snapshot = retried.json["data"]["snapshot"];
    EXPECT_EQ(snapshot["upgradeId"], "second_try");
    ASSERT_EQ(snapshot["targetCount"], 1);
    EXPECT_EQ(snapshot["targets"][0]["nodeId"], "emu-2");
    EXPECT_EQ(snapshot["files"][0]["sha256"], preview.json["data"]["snapshot"]["files"][0]["sha256"]);
    const std::uint32_t second = snapshot["upgradeNo"];
    ASSERT_EQ(api->start().status, 202u);
    const json done = api->waitEnded(second);
    ASSERT_TRUE(done.is_object()) << backend->output();
    EXPECT_EQ(done["status"], "SUCCESS");
    ASSERT_TRUE(api->waitFinalized(second).is_object());
    expectRefused(
        api->post("/api/v1/upgrades/" + std::to_string(second) + "/retry",
                  json({{"upgradeId", "third_try"}}).dump()),
        422, "UPGRADE_PREVIEW_REJECTED",
        "Upgrade task " + std::to_string(second) + " has nothing to retry: every device ended SUCCESS");
}

TEST_F(RolloutRequestProcessTest, TheHistoryAnswersPageByPage)
{
    std::vector<std::uint32_t> numbers;
    for (int i = 0; i < 5; ++i)
    {
        const S_HttpResult preview =
            api->preview(previewBody("paged_" + std::to_string(i), emuTargets(status, {"emu-1"}), files()));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        numbers.insert(numbers.begin(), preview.json["data"]["snapshot"]["upgradeNo"].get<std::uint32_t>());
    }
    const json whole = api->history();
    EXPECT_FALSE(whole.contains("nextBefore"));  // without a query the answer is as it always was
    ASSERT_EQ(whole["records"].size(), 5u);

    std::vector<std::uint32_t> paged;
    std::uint32_t before = 0;
    int pages = 0;
    do
    {
        const S_HttpResult page =
            api->get("/api/v1/upgrades/history?limit=2" +
                     (before == 0 ? std::string() : "&before=" + std::to_string(before)));
        ASSERT_EQ(page.status, 200u) << page.body;
        const json& data = page.json["data"];
        EXPECT_LE(data["records"].size(), 2u);
        EXPECT_EQ(data["recordCount"], data["records"].size());
        for (const json& record : data["records"])
        {
            paged.push_back(record["upgradeNo"]);
            EXPECT_EQ(record, findRecord(whole, record["upgradeNo"]));
        }
        before = data["nextBefore"];
        ++pages;
    } while (before != 0 && pages < 10);
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(paged, numbers);
    const json last =
        api->get("/api/v1/upgrades/history?before=" + std::to_string(numbers.back())).json["data"];
    EXPECT_EQ(last["records"], json::array());
    EXPECT_EQ(last["nextBefore"], 0);

    for (const char* query : {"limit=0", "limit=1001", "limit=ten", "before=0", "before=-5",
                              "limit=1&limit=2", "limit", "_=1765000000000&limit=0"})
    {
        const S_HttpResult refused = api->get(std::string("/api/v1/upgrades/history?") + query);
        EXPECT_EQ(refused.status, 400u) << query;
        EXPECT_EQ(refused.json["error"]["code"], "INVALID_REQUEST_QUERY") << query;
    }
    // Parameters the history does not read (a browser's cache buster) are ignored: alone they give
    // the unpaged answer, beside limit a page.
    for (const char* query : {"_=1765000000000", "order=asc&x", "&&"})
    {
        const S_HttpResult ignored = api->get(std::string("/api/v1/upgrades/history?") + query);
        EXPECT_EQ(ignored.status, 200u) << query;
        EXPECT_EQ(ignored.json["data"], whole) << query;
    }
    const json cacheBusted = api->get("/api/v1/upgrades/history?limit=2&_=1").json["data"];
    EXPECT_EQ(cacheBusted["records"].size(), 2u);
    EXPECT_NE(cacheBusted["nextBefore"], 0);
}

}  // namespace
}  // namespace ota::test
