// The optional key approvals: both members false by default, and its strict shape.
#include "app/backend_config.h"

#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using ota::test::CTempDirectory;

const std::string kApprovalsRequired =
    R"("httpHost":"127.0.0.1","httpPort":8080,"deviceConcurrency":8,"connectTimeoutMs":3000,)"
    R"("ackTimeoutMs":5000,"stageTimeoutMs":60000,"flashTimeoutMs":300000,)"
    R"("restartTimeoutMs":120000,"chunkSize":10240)";

TEST(ApprovalsConfigTest, MembersDefaultToFalseAndWrongShapesAreRefused)
{
    CTempDirectory directory;
    const std::filesystem::path path = directory / "ota-backend.json";
    const auto load = [&](const std::string& extra, S_BackendConfig& config)
    {
        directory.writeFile("ota-backend.json",
                            "{" + kApprovalsRequired + (extra.empty() ? "" : "," + extra) + "}");
        std::string error;
        loadBackendConfig(path, config, error);
        return error;
    };
    struct S_Row
    {
        std::string member;
        bool present;
        bool rollouts;
        bool starts;
    };
    const S_Row accepted[] = {
        {"", false, false, false},
        {R"("approvals":{})", true, false, false},
        {R"("approvals":{"rollouts":true})", true, true, false},
        {R"("approvals":{"starts":true,"rollouts":false})", true, false, true},
    };
    for (const S_Row& row : accepted)
    {
        S_BackendConfig config;
        ASSERT_EQ(load(row.member, config), "") << row.member;
        ASSERT_EQ(config.approvals.has_value(), row.present) << row.member;
        if (row.present)
        {
            EXPECT_EQ(config.approvals->rollouts, row.rollouts) << row.member;
            EXPECT_EQ(config.approvals->starts, row.starts) << row.member;
        }
    }
    const std::string prefix = "Invalid configuration '" + path.string() + "': ";
    const std::pair<std::string, std::string> refused[] = {
        {R"(true)", "approvals must be an object with the optional members rollouts and starts"},
        {R"({"rollout":true})", "Unknown configuration field: approvals.rollout"},
        {R"({"starts":1})", "approvals.starts must be boolean"},
        {R"({"rollouts":"yes"})", "approvals.rollouts must be boolean"},
    };
    for (const auto& [member, message] : refused)
    {
        S_BackendConfig config;
        EXPECT_EQ(load(R"("approvals":)" + member, config), prefix + message) << member;
    }
}

}  // namespace
}  // namespace ota::backend
