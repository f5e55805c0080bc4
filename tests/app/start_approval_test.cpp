// The previewed task awaiting a second person's approval: who may approve it, with which digest,
// and that a new preview needs an approval of its own.
#include "app/start_approval.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using json = nlohmann::json;
using E_Result = CStartApproval::E_Result;

TEST(StartApprovalTest, OnlyAnotherPersonWithTheSnapshotsDigestApprovesTheCurrentPreview)
{
    CStartApproval approval;
    json answer = {{"snapshot", {{"upgradeNo", 7}, {"upgradeId", "first"}}}};
    approval.previewed(7, answer, "alice", 1000);
    const std::string digest = answer["snapshotDigest"];
    EXPECT_EQ(digest, CStartApproval::snapshotDigestOf(answer["snapshot"]));
    EXPECT_EQ(answer["previewedBy"], "alice");
    EXPECT_EQ(approval.awaitingJson(7)["snapshotDigest"], digest);
    EXPECT_TRUE(approval.awaitingJson(8).is_null()) << "another task is prepared now";

    struct S_Row
    {
        const char* name;
        std::uint32_t current;
        std::string digest;
        const char* approver;
        E_Result expected;
    };
    const S_Row rows[] = {
        {"the previewer", 7, digest, "alice", E_Result::SELF_APPROVAL},
        {"another digest", 7, std::string(64, 'f'), "bob", E_Result::PLAN_CHANGED},
        {"another task prepared", 8, digest, "bob", E_Result::NOTHING_AWAITING},
        {"the approver", 7, digest, "bob", E_Result::DONE},
        {"approved already", 7, digest, "carol", E_Result::NOTHING_AWAITING},
    };
    for (const S_Row& row : rows)
    {
        EXPECT_EQ(approval.isApproved(7), row.expected == E_Result::NOTHING_AWAITING && row.current == 7)
            << row.name;
        CStartApproval::S_Preview preview;
        std::string error;
        EXPECT_EQ(approval.approve(row.current, row.digest, row.approver, preview, error), row.expected)
            << row.name << ": " << error;
        if (row.expected == E_Result::SELF_APPROVAL)
        {
            EXPECT_NE(error.find("alice"), std::string::npos) << error;
        }
    }
    EXPECT_TRUE(approval.isApproved(7));
    EXPECT_TRUE(approval.awaitingJson(7).is_null());

    // A new preview replaces the approved one and awaits its own approval.
    json second = {{"snapshot", {{"upgradeNo", 8}, {"upgradeId", "second"}}}};
    approval.previewed(8, second, "bob", 2000);
    EXPECT_NE(second["snapshotDigest"], digest);
    EXPECT_FALSE(approval.isApproved(7));
    EXPECT_FALSE(approval.isApproved(8));
    EXPECT_EQ(approval.awaitingJson(8)["previewedBy"], "bob");
}

}  // namespace
}  // namespace ota::backend
