// Fuzz target: the JSON request bodies of the API through their adapters and handlers. Byte 0
// picks the route, the rest is the body:
//   0 POST /api/v1/firmware/inspect     (the task service's inspection, two small firmware files)
//   1 POST /api/v1/upgrades/preview     (the task service's preview on a fixed site)
//   2 POST /api/v1/devices/frames/capture
//   3 POST /api/v1/session              (the login, with access control on)
//   4 POST /api/v1/rollouts             (the request's shape and policy, then the preview's checks of
//                                        its targets and files on the fixed site)
//   5 POST /api/v1/upgrades/7/retry
//   6 POST /api/v1/baseline             (the body's shape, then the baseline's checks against the site)
//   7 POST /api/v1/rollouts/converge    (the body's shape over a fixed report with two drifted
//                                        components, then the rollout creation's checks)
// Checks: every answer is one envelope whose success flag agrees with its status, and a refusal
// is a 4xx with an error code (never a 500).

#include "request_body_site.h"

#include "api/access_control.h"
#include "api/api_adapters.h"
#include "api/baseline_routes.h"
#include "api/session_adapters.h"
#include "app/converge_request.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

using namespace ota::backend;

void checkReply(const S_HttpReply& reply)
{
    const nlohmann::json envelope = nlohmann::json::parse(reply.body, nullptr, false);
    if (envelope.is_discarded() || !envelope.is_object() || !envelope.contains("success") ||
        !envelope["success"].is_boolean())
    {
        std::abort();
    }
    const bool success = envelope["success"].get<bool>();
    if (success != (reply.status >= 200 && reply.status < 300))
    {
        std::abort();
    }
    if (!success && (reply.status >= 500 || !envelope["error"].is_object() ||
                     envelope["error"]["code"].get<std::string>().empty()))
    {
        std::abort();
    }
}

// pcs-1's DSP1 and bms-1's third BCU drifted from versions the files of the site are labelled with.
S_BaselineReport convergeReport()
{
    S_BaselineReport report;
    report.baselineNo = 1;
    const auto drifted = [](const char* nodeId, const char* typeId, std::uint16_t index, const char* expected,
                            const char* reported)
    {
        S_BaselineReportRow row;
        row.nodeId = nodeId;
        row.componentTypeId = typeId;
        row.componentIndex = index;
        row.expected = expected;
        row.reported = reported;
        row.state = E_BaselineComponentState::DRIFT;
        return row;
    };
    report.components = {drifted("pcs-1", "PCS_DSP1", 1, "D1.1", "D1.0"),
                         drifted("bms-1", "BMS_BCU", 3, "C2", "C1")};
    return report;
}

std::optional<std::filesystem::path> storedFuzzFirmware(const S_FirmwareStoreLabel& label, std::string&)
{
    if (label.componentTypeId == "PCS_DSP1" && label.version == "D1.1")
    {
        return std::filesystem::path("/tmp/ota-fuzz-firmware/dsp.bin");
    }
    if (label.componentTypeId == "BMS_BCU" && label.version == "C2")
    {
        return std::filesystem::path("/tmp/ota-fuzz-firmware/bcu.bin");
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
    {
        return 0;
    }
    static CFuzzRequestSite& site = CFuzzRequestSite::instance();
    static CApiAccessControl access(std::string(40, 't'));
    S_ApiRequest request;
    request.body = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8)
    {
        case 0:
            checkReply(invokeJsonHandler("/api/v1/firmware/inspect", "FIRMWARE_INSPECTION_REJECTED",
                                         site.inspectHandler(), &request));
            break;
        case 1:
            checkReply(invokeJsonHandler("/api/v1/upgrades/preview", "UPGRADE_PREVIEW_REJECTED",
                                         site.previewHandler(), &request));
            break;
        case 2:
            checkReply(invokeFrameCaptureHandler(
                "/api/v1/devices/frames/capture",
                [](bool enabled, std::string& response, std::string&)
                {
                    response = enabled ? R"({"enabled":true})" : R"({"enabled":false})";
                    return true;
                },
                &request));
            break;
        case 3:
            checkReply(invokeLogin("/api/v1/session", access, request));
            break;
        case 4:
            checkReply(
                invokeJsonHandler("/api/v1/rollouts", "ROLLOUT_REJECTED", site.rolloutHandler(), &request));
            break;
        case 5:
            request.parameter = "7";
            checkReply(invokeUpgradeBodyHandler("/api/v1/upgrades/:upgradeNo/retry",
                                                "UPGRADE_PREVIEW_REJECTED", site.retryHandler(), &request));
            break;
        case 6:
            checkReply(invokeBaselineCreateHandler("/api/v1/baseline", site.baselineHandler(), &request));
            break;
        default:
        {
            static const S_BaselineReport report = convergeReport();
            const JsonBodyHandler converge =
                [](const std::string& body, std::string& response, std::string& error)
            {
                std::string rolloutJson;
                return buildConvergeRequest(body, report, storedFuzzFirmware, rolloutJson, error) &&
                       site.rolloutHandler()(rolloutJson, response, error);
            };
            checkReply(
                invokeJsonHandler("/api/v1/rollouts/converge", "ROLLOUT_REJECTED", converge, &request));
            break;
        }
    }
    return 0;
}
