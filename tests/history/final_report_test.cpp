#include "history/final_report.h"

#include "common/json_text.h"
#include "history_documents.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using nlohmann::json;

TEST(FinalReport, NormalizesTheThreeFinalFields)
{
    const json running = test::makeStateDocument(3, "T", 2);
    std::string normalized;
    std::vector<std::string> changed;
    std::string error;
    ASSERT_TRUE(normalizeFinalReport(toJsonText(running), "SUCCESS", 1234, normalized, changed, error)) << error;
    EXPECT_EQ(changed, (std::vector<std::string>{"status", "active", "finishedAt"}));
    json expected = running;
    expected["status"] = "SUCCESS";
    expected["active"] = false;
    expected["finishedAt"] = 1234;
    EXPECT_EQ(normalized, toJsonText(expected));

    ASSERT_TRUE(normalizeFinalReport(normalized, "SUCCESS", 1234, normalized, changed, error));
    EXPECT_TRUE(changed.empty()) << "an already normal report is unchanged";
    EXPECT_EQ(normalized, toJsonText(expected));
    ASSERT_TRUE(normalizeFinalReport("{\"finishedAt\":1234.0,\"active\":false}", "FAILED", 1234, normalized, changed,
                                     error));
    EXPECT_EQ(changed, (std::vector<std::string>{"status", "finishedAt"}));
    EXPECT_EQ(normalized, "{\"active\":false,\"finishedAt\":1234,\"status\":\"FAILED\"}");
}

TEST(FinalReport, Refusals)
{
    std::string normalized = "old";
    std::vector<std::string> changed{"old"};
    std::string error;
    EXPECT_FALSE(normalizeFinalReport("{}", "", 1, normalized, changed, error));
    EXPECT_EQ(error, "Expected final status must not be empty");
    EXPECT_TRUE(normalized.empty());
    EXPECT_TRUE(changed.empty());
    EXPECT_FALSE(normalizeFinalReport("{}", "SUCCESS", 0, normalized, changed, error));
    EXPECT_EQ(error, "Expected final completion time must be positive");
    EXPECT_FALSE(normalizeFinalReport("[]", "SUCCESS", 1, normalized, changed, error));
    EXPECT_EQ(error, "Final report JSON must be an object");
    EXPECT_FALSE(normalizeFinalReport("{", "SUCCESS", 1, normalized, changed, error));
    EXPECT_EQ(error.rfind("Cannot parse final report JSON: ", 0), 0u) << error;
}

}  // namespace
}  // namespace ota::backend
