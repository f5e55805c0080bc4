#pragma once

#include "sim/sim_log.h"
#include "sim/site_generator.h"

#include <filesystem>
#include <string>
#include <vector>

namespace ota::backend
{

enum class E_SimCommand : unsigned char
{
    HELP,
    SIMULATE_TOPOLOGY,
    GENERATE_SITE,
};

struct S_SimCommandLine
{
    E_SimCommand command = E_SimCommand::HELP;
    std::filesystem::path topologyFile;
    std::filesystem::path scenarioFile;   // empty: none
    std::filesystem::path siteDirectory;
    S_SiteLayout layout;
    E_SimLogLevel logLevel = E_SimLogLevel::NORMAL;
    bool summary = true;
};

// Usage text printed by --help and after a command-line error.
std::string simUsageText();

// Parses the arguments after the program name. Exactly one of --topology and --generate-site;
// numbers are decimal without sign. The error names the offending argument.
bool parseSimCommandLine(const std::vector<std::string>& arguments, S_SimCommandLine& result, std::string& error);

}  // namespace ota::backend
