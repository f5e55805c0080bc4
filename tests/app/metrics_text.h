#pragma once

// Reading the Prometheus text the metrics endpoint writes, and checking it with promtool.
#include <map>
#include <string>

namespace ota::test
{

// Every sample of the text by its series ("name" or "name{labels}" as written) -> value.
std::map<std::string, double> parseMetricSamples(const std::string& text);

// Runs `promtool check metrics` on the text; empty when it passes, else what promtool said.
std::string promtoolProblems(const std::string& text);

}  // namespace ota::test
