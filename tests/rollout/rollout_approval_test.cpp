// A rollout awaiting a second person's approval: the plan's digest, who may approve or reject it,
// what it refuses meanwhile, and that its status and actors survive a restart.
#include "rollout/rollout_approval.h"
#include "common/acting_user.h"
#include "rollout/rollout_service.h"
#include "rollout/rollout_test_support.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

S_ActingUser user(const std::string& name)
{
    return S_ActingUser{name, E_Role::APPROVER, "password"};
}

TEST(RolloutPlanDigestTest, IsStableAndChangesWithTargetsFilesAndPolicy)
{
    const S_RolloutPlan plan = makePlan(2);
    const std::string digest = rolloutPlanDigest(plan);
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(rolloutPlanDigest(makePlan(2)), digest);
    S_RolloutPlan renamed = plan;
    renamed.rolloutId = "other";
    EXPECT_EQ(rolloutPlanDigest(renamed), digest) << "the identifier is not what is approved";

    const std::vector<std::pair<const char*, std::function<void(S_RolloutPlan&)>>> changes = {
        {"target version", [](S_RolloutPlan& p) { p.targets[0].currentVersion += "x"; }},
        {"target forced", [](S_RolloutPlan& p) { p.targets[1].force = !p.targets[1].force; }},
        {"target order", [](S_RolloutPlan& p) { std::swap(p.targets[0], p.targets[1]); }},
        {"file digest",
         [](S_RolloutPlan& p) { p.files[0].sha256[0] = p.files[0].sha256[0] == 'a' ? 'b' : 'a'; }},
        {"file version", [](S_RolloutPlan& p) { p.files[0].targetVersion += "1"; }},
        {"policy group sizes", [](S_RolloutPlan& p) { p.policy.groupSizes = {1}; }},
        {"policy threshold", [](S_RolloutPlan& p) { p.policy.maxFailedDevices += 1; }},
    };
    for (const auto& [name, change] : changes)
    {
        S_RolloutPlan changed = plan;
        change(changed);
        EXPECT_NE(rolloutPlanDigest(changed), digest) << name;
    }
}

class RolloutApprovalTest : public ::testing::Test
{
protected:
    void SetUp() override { openService(); }
    void TearDown() override { service->stop(); }

    void openService()
    {
        if (service)
        {
            service->stop();
            service->close();
        }
        service = std::make_unique<CRolloutService>();
        service->setOptions(S_RolloutServiceOptions{true, true});
        std::string error;
        ASSERT_TRUE(service->open(directory / "upgrade-history.db", error)) << error;
        service->start(driver, {});
    }

    json create(const std::string& creator, const std::string& rolloutId = "site")
    {
        const S_ActingUser actor = user(creator);
        const CActingUserScope scope(actor);
        std::string document;
        std::string error;
        EXPECT_TRUE(service->create(makePlan(2, {}, rolloutId), document, error)) << error;
        return json::parse(document);
    }

    json rolloutDocument(std::uint32_t rolloutNo)
    {
        const json list = json::parse(service->listJson());
        for (const json& rollout : list["rollouts"])
        {
            if (rollout["rolloutNo"] == rolloutNo)
            {
                return rollout;
            }
        }
        return json();
    }

    CTempDirectory directory;
    CRecordingDriver driver;
    std::unique_ptr<CRolloutService> service;
};

TEST_F(RolloutApprovalTest, OnlyAnotherPersonWithThePlansDigestMakesItReady)
{
    const json created = create("alice");
    const std::uint32_t rolloutNo = created["rolloutNo"];
    const std::string planDigest = created["planDigest"];
    EXPECT_EQ(created["status"], "AWAITING_APPROVAL");
    EXPECT_EQ(created["createdBy"], "alice");
    EXPECT_EQ(planDigest, rolloutPlanDigest(makePlan(2)));
    ASSERT_EQ(service->awaitingApproval().size(), 1u);

    struct S_Case
    {
        const char* name;
        const char* actor;
        std::function<E_RolloutDecisionResult(std::string&, std::string&)> act;
        E_RolloutDecisionResult expected;
    };
    const auto approve = [&](const std::string& digest, std::uint32_t number = 0)
    {
        return [this, digest, number, rolloutNo](std::string& document, std::string& error)
        { return service->approve(number == 0 ? rolloutNo : number, digest, document, error); };
    };
    const auto operation = [&](E_RolloutOperation op)
    {
        return [this, op, rolloutNo](std::string& document, std::string& error)
        {
            return service->operate(rolloutNo, op, false, document, error) ==
                           E_RolloutOperationResult::REFUSED
                       ? E_RolloutDecisionResult::NOT_AWAITING
                       : E_RolloutDecisionResult::DONE;
        };
    };
    const std::vector<S_Case> cases = {
        {"start before approval", "bob", operation(E_RolloutOperation::START),
         E_RolloutDecisionResult::NOT_AWAITING},
        {"cancel before approval", "bob", operation(E_RolloutOperation::CANCEL),
         E_RolloutDecisionResult::NOT_AWAITING},
        {"the creator", "alice", approve(planDigest), E_RolloutDecisionResult::SELF_APPROVAL},
        {"another digest", "bob", approve(std::string(64, '0')), E_RolloutDecisionResult::PLAN_CHANGED},
        {"unknown rollout", "bob", approve(planDigest, 99), E_RolloutDecisionResult::NOT_FOUND},
        {"the approver", "bob", approve(planDigest), E_RolloutDecisionResult::DONE},
        {"approved twice", "carol", approve(planDigest), E_RolloutDecisionResult::NOT_AWAITING},
        {"rejected once ready", "carol",
         [this, rolloutNo](std::string& document, std::string& error)
         { return service->reject(rolloutNo, "late", document, error); },
         E_RolloutDecisionResult::NOT_AWAITING},
    };
    for (const S_Case& testCase : cases)
    {
        const S_ActingUser actor = user(testCase.actor);
        const CActingUserScope scope(actor);
        std::string document;
        std::string error;
        EXPECT_EQ(testCase.act(document, error), testCase.expected) << testCase.name << ": " << error;
        if (testCase.expected == E_RolloutDecisionResult::SELF_APPROVAL)
        {
            EXPECT_NE(error.find("alice"), std::string::npos) << "names the creator: " << error;
        }
        if (testCase.expected == E_RolloutDecisionResult::NOT_AWAITING && testCase.name[0] == 's')
        {
            EXPECT_EQ(error, "The rollout awaits approval");
        }
    }
    json approved = rolloutDocument(rolloutNo);
    EXPECT_EQ(approved["status"], "READY");
    EXPECT_EQ(approved["approvedBy"], "bob");
    EXPECT_TRUE(service->awaitingApproval().empty());

    {
        const S_ActingUser actor = user("carol");
        const CActingUserScope scope(actor);
        std::string document;
        std::string error;
        EXPECT_EQ(service->operate(rolloutNo, E_RolloutOperation::START, false, document, error),
                  E_RolloutOperationResult::DONE)
            << error;
        EXPECT_EQ(json::parse(document)["startedBy"], "carol");
    }

    // The status and the actors are read back after a restart.
    openService();
    approved = rolloutDocument(rolloutNo);
    EXPECT_EQ(approved["createdBy"], "alice");
    EXPECT_EQ(approved["approvedBy"], "bob");
    EXPECT_EQ(approved["startedBy"], "carol");
}

TEST_F(RolloutApprovalTest, ARejectedRolloutIsFinalAndSurvivesARestart)
{
    const std::uint32_t rolloutNo = create("alice")["rolloutNo"];
    const std::uint32_t waiting = create("alice", "second")["rolloutNo"];
    {
        const S_ActingUser actor = user("bob");
        const CActingUserScope scope(actor);
        std::string document;
        std::string error;
        ASSERT_EQ(service->reject(rolloutNo, "wrong firmware", document, error),
                  E_RolloutDecisionResult::DONE)
            << error;
        const json rejected = json::parse(document);
        EXPECT_EQ(rejected["status"], "REJECTED");
        EXPECT_EQ(rejected["rejectedBy"], "bob");
        EXPECT_EQ(rejected["rejectReason"], "wrong firmware");
        EXPECT_GT(rejected["finishedAt"].get<std::int64_t>(), 0);
    }
    openService();
    EXPECT_EQ(rolloutDocument(rolloutNo)["status"], "REJECTED");
    EXPECT_EQ(rolloutDocument(waiting)["status"], "AWAITING_APPROVAL");
    std::string document;
    std::string error;
    EXPECT_EQ(service->operate(rolloutNo, E_RolloutOperation::START, false, document, error),
              E_RolloutOperationResult::REFUSED);
    // A history clear takes the rejected rollout as finished, and leaves the waiting one.
    std::uint32_t deleted = 0;
    ASSERT_TRUE(service->deleteFinished(deleted, error)) << error;
    EXPECT_EQ(deleted, 1u);
    EXPECT_TRUE(rolloutDocument(rolloutNo).is_null());
    EXPECT_EQ(service->awaitingApproval().size(), 1u);
}

TEST(RolloutActorsTest, WithoutTheOptionsDocumentsNameNobody)
{
    CTempDirectory directory;
    CRolloutService service;
    std::string error;
    ASSERT_TRUE(service.open(directory / "upgrade-history.db", error)) << error;
    const S_ActingUser actor = user("alice");
    const CActingUserScope scope(actor);
    std::string document;
    ASSERT_TRUE(service.create(makePlan(1), document, error)) << error;
    const json created = json::parse(document);
    EXPECT_EQ(created["status"], "READY");
    for (const char* key : {"planDigest", "createdBy", "approvedBy", "startedBy"})
    {
        EXPECT_FALSE(created.contains(key)) << key;
    }
}

}  // namespace
}  // namespace ota::test
