// The rollout a converge asks for, from a baseline report and the store's labelled files.
#include "app/converge_request.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

S_BaselineReportRow row(const std::string& nodeId, const std::string& typeId, const std::string& expected,
                        const std::string& reported, bool upgrading = false)
{
    S_BaselineReportRow result;
    result.nodeId = nodeId;
    result.componentTypeId = typeId;
    result.componentIndex = 1;
    result.expected = expected;
    result.reported = reported;
    result.state = expected == reported ? E_BaselineComponentState::MATCH : E_BaselineComponentState::DRIFT;
    result.upgrading = upgrading;
    return result;
}

TEST(ConvergeRequest, DriftedComponentsGoBackToTheirBaselineFromTheLabelledFiles)
{
    const std::map<std::string, std::string> stored = {{"EMU 1.0.0", "/store/emu.bin"},
                                                       {"PCS_DSP1 1.0.0", "/store/dsp.bin"}};
    const StoredFirmwareLookup lookup = [&](const S_FirmwareStoreLabel& label, std::string&)
    {
        const auto found = stored.find(label.componentTypeId + " " + label.version);
        return found == stored.end() ? std::nullopt : std::optional<std::filesystem::path>(found->second);
    };
    const struct
    {
        std::vector<S_BaselineReportRow> rows;
        std::string body;
        std::string error;  // empty: built
    } cases[] = {
        {{row("emu-1", "EMU", "1.0.0", "1.0.0")},
         R"({"rolloutId":"r"})",
         "Nothing to converge: every component matches the baseline"},
        // A component its task is upgrading is not drift.
        {{row("emu-1", "EMU", "1.0.0", "2.0.0", true)},
         R"({"rolloutId":"r"})",
         "Nothing to converge: every component matches the baseline"},
        {{row("emu-1", "EMU", "1.0.0", "2.0.0"), row("emu-2", "EMU", "1.1.0", "2.0.0")},
         R"({"rolloutId":"r"})",
         "The baseline wants EMU at 1.0.0 and 1.1.0 at once: a rollout sends one file per component type"},
        {{row("bms-1", "BMS_BAU", "3.0.0", "2.0.0"), row("pcs-1", "PCS_ARM", "1.0.0", "2.0.0")},
         R"({"rolloutId":"r"})",
         "No stored firmware for BMS_BAU 3.0.0; No stored firmware for PCS_ARM 1.0.0"},
        {{row("emu-1", "EMU", "1.0.0", "2.0.0")},
         R"({"rolloutId":"r","files":[]})",
         "request.files is not accepted: converge chooses the targets and files"},
        {{row("emu-1", "EMU", "1.0.0", "2.0.0")}, R"({"rolloutId":"r","extra":1})", "request"},
        {{row("emu-1", "EMU", "1.0.0", "2.0.0"), row("emu-2", "EMU", "1.0.0", "1.0.0"),
          row("pcs-1", "PCS_DSP1", "1.0.0", "0.9.0")},
         R"({"rolloutId":"r","policy":{"groupSizes":[1]}})",
         ""},
    };
    for (const auto& item : cases)
    {
        S_BaselineReport report;
        report.components = item.rows;
        std::string rolloutJson;
        std::string error;
        const bool built = buildConvergeRequest(item.body, report, lookup, rolloutJson, error);
        EXPECT_EQ(built, item.error.empty()) << item.body << error;
        if (!built)
        {
            EXPECT_EQ(error.rfind(item.error, 0), 0u) << error;
            continue;
        }
        const json rollout = json::parse(rolloutJson);
        EXPECT_EQ(rollout["policy"], (json{{"groupSizes", {1}}}));
        EXPECT_EQ(
            rollout["files"],
            json::parse(R"([{"fileSlotKey":"emu:emu","filePath":"/store/emu.bin","targetVersion":"1.0.0"},
                                  {"fileSlotKey":"pcs:dsp1","filePath":"/store/dsp.bin","targetVersion":"1.0.0"}])"));
        EXPECT_EQ(rollout["targets"],
                  json::parse(R"([{"nodeId":"emu-1","componentTypeId":"EMU","componentIndex":1,
                                   "currentVersion":"2.0.0","fileSlotKey":"emu:emu","force":true},
                                  {"nodeId":"pcs-1","componentTypeId":"PCS_DSP1","componentIndex":1,
                                   "currentVersion":"0.9.0","fileSlotKey":"pcs:dsp1","force":true}])"));
    }
}

}  // namespace
}  // namespace ota::test
