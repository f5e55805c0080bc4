#pragma once

#include "api/api_adapters.h"
#include "api/api_callbacks.h"

#include <string_view>

namespace ota::backend
{

inline constexpr std::string_view kCsvContentType = "text/csv; charset=utf-8";

// POST /api/v1/baseline: a body that is not a JSON value, or one the callback refuses as such, is
// 400 "INVALID_REQUEST_BODY"; a request it cannot take 422 "BASELINE_REJECTED"; success 200.
S_HttpReply invokeBaselineCreateHandler(std::string_view path, const RefusingBodyHandler& handler,
                                        const S_ApiRequest* request);
// GET /api/v1/baseline/list: limit and before as the audit list reads them.
S_HttpReply invokeBaselineListHandler(std::string_view path, const AuditListHandler& handler,
                                      const S_ApiRequest& request);
// GET /api/v1/baseline/report: format absent or "json" answers the envelope, "csv" the CSV text;
// any other format is 400 "INVALID_REQUEST_QUERY"; no baseline 404 "BASELINE_NOT_FOUND".
S_HttpReply invokeBaselineReportHandler(std::string_view path, const BaselineReportHandler& handler,
                                        const S_ApiRequest& request);

}  // namespace ota::backend
