#include "app/metrics_text.h"

#include "support/temp_directory.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace ota::test
{

std::map<std::string, double> parseMetricSamples(const std::string& text)
{
    std::map<std::string, double> samples;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.empty() || line[0] == '#')
        {
            continue;
        }
        const std::size_t space = line.rfind(' ');
        const std::string value = line.substr(space + 1);
        samples[line.substr(0, space)] = value == "+Inf" ? 1e300 : std::stod(value);
    }
    return samples;
}

std::string promtoolProblems(const std::string& text)
{
    CTempDirectory directory;
    const std::filesystem::path input = directory.writeFile("metrics.txt", text);
    const std::filesystem::path output = directory / "promtool.txt";
    const std::string command =
        "promtool check metrics < '" + input.string() + "' > '" + output.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream said(output);
    const std::string report((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>());
    return status == 0 ? std::string() : "promtool exit " + std::to_string(status) + ": " + report;
}

}  // namespace ota::test
