#include "history/final_report.h"

#include "common/json_text.h"

namespace ota::backend
{

void normalizeFinalReportDocument(nlohmann::json& report, const std::string& expectedStatus,
                                  std::int64_t expectedFinishedAt, std::vector<std::string>& changedFields)
{
    changedFields.clear();
    const auto status = report.find("status");
    if (status == report.end() || !status->is_string() || status->get_ref<const std::string&>() != expectedStatus)
    {
        changedFields.emplace_back("status");
    }
    const auto active = report.find("active");
    if (active == report.end() || !active->is_boolean() || active->get<bool>())
    {
        changedFields.emplace_back("active");
    }
    const auto finishedAt = report.find("finishedAt");
    const bool sameTime = finishedAt != report.end() &&
                          ((finishedAt->is_number_unsigned() &&
                            finishedAt->get<std::uint64_t>() == static_cast<std::uint64_t>(expectedFinishedAt)) ||
                           (finishedAt->is_number_integer() && !finishedAt->is_number_unsigned() &&
                            finishedAt->get<std::int64_t>() == expectedFinishedAt));
    if (!sameTime)
    {
        changedFields.emplace_back("finishedAt");
    }
    report["status"] = expectedStatus;
    report["active"] = false;
    report["finishedAt"] = expectedFinishedAt;
}

bool normalizeFinalReport(const std::string& reportJson, const std::string& expectedStatus,
                          std::int64_t expectedFinishedAt, std::string& normalizedJson,
                          std::vector<std::string>& changedFields, std::string& error)
{
    // reportJson may be the same string as normalizedJson: it is cleared only once parsed.
    changedFields.clear();
    error.clear();
    if (expectedStatus.empty())
    {
        normalizedJson.clear();
        error = "Expected final status must not be empty";
        return false;
    }
    if (expectedFinishedAt <= 0)
    {
        normalizedJson.clear();
        error = "Expected final completion time must be positive";
        return false;
    }
    try
    {
        nlohmann::json report;
        std::string parseError;
        const bool parsed = parseJsonText(reportJson, report, parseError);
        normalizedJson.clear();
        if (!parsed)
        {
            error = "Cannot parse final report JSON: " + parseError;
            return false;
        }
        if (!report.is_object())
        {
            error = "Final report JSON must be an object";
            return false;
        }
        normalizeFinalReportDocument(report, expectedStatus, expectedFinishedAt, changedFields);
        normalizedJson = toJsonText(report);
        return true;
    }
    catch (const std::exception& exception)
    {
        normalizedJson.clear();
        changedFields.clear();
        error = std::string("Cannot normalize final report JSON: ") + exception.what();
        return false;
    }
}

}  // namespace ota::backend
