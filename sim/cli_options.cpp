#include "sim/cli_options.h"

#include <algorithm>
#include <limits>

namespace ota::backend
{
namespace
{

bool parseNumber(const std::string& option, const std::string& text, unsigned long maximum, unsigned long& value,
                 std::string& error)
{
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    {
        error = option + " needs a decimal number, got '" + text + "'";
        return false;
    }
    value = std::stoul(text);
    if (value > maximum)
    {
        error = option + " must be at most " + std::to_string(maximum);
        return false;
    }
    return true;
}

}  // namespace

std::string simUsageText()
{
    return "Usage:\n"
           "  ota-device-sim --topology FILE [--scenario FILE] [--quiet|--verbose] [--no-summary]\n"
           "      simulate every communication node of a topology file (schema version 2) on its\n"
           "      loopback address:port\n"
           "  ota-device-sim --generate-site DIR --emu N --pcs N --bms N [--bcu 6|12] [--base-port P]\n"
           "                 [--address A] [--http-port P] [--scenario FILE] [--quiet|--verbose] [--no-summary]\n"
           "      write DIR/site.json, DIR/ota-backend.json and DIR/sim-scenario.json, then simulate the site\n"
           "  ota-device-sim -h|--help\n"
           "Options:\n"
           "  --scenario FILE  settings and faults per device or group (see sim/README.md)\n"
           "  --quiet          only warnings, errors and the start/stop lines\n"
           "  --verbose        also one line per frame\n"
           "  --no-summary     no counter summary on exit\n"
           "SIGINT or SIGTERM stops the simulator; the exit code is 0 after a clean stop, 1 on an error.";
}

bool parseSimCommandLine(const std::vector<std::string>& arguments, S_SimCommandLine& result, std::string& error)
{
    error.clear();
    S_SimCommandLine parsed;
    bool topologyGiven = false;
    bool siteGiven = false;
    bool countsGiven[3] = {false, false, false};
    bool layoutOptionGiven = false;
    bool quiet = false;
    bool verbose = false;
    for (std::size_t index = 0; index < arguments.size(); ++index)
    {
        const std::string& argument = arguments[index];
        if (argument == "-h" || argument == "--help")
        {
            result = S_SimCommandLine{};
            return true;
        }
        if (argument == "--quiet")
        {
            quiet = true;
            continue;
        }
        if (argument == "--verbose")
        {
            verbose = true;
            continue;
        }
        if (argument == "--no-summary")
        {
            parsed.summary = false;
            continue;
        }
        static const char* const valued[] = {"--topology", "--scenario", "--generate-site", "--emu", "--pcs",
                                             "--bms", "--bcu", "--base-port", "--address", "--http-port"};
        if (std::find(std::begin(valued), std::end(valued), argument) == std::end(valued))
        {
            error = "Unknown argument: " + argument;
            return false;
        }
        if (index + 1 >= arguments.size())
        {
            error = argument + " needs a value";
            return false;
        }
        const std::string& value = arguments[++index];
        unsigned long number = 0;
        if (argument == "--topology")
        {
            if (topologyGiven || value.empty())
            {
                error = topologyGiven ? "--topology given twice" : "--topology needs a file";
                return false;
            }
            topologyGiven = true;
            parsed.topologyFile = value;
        }
        else if (argument == "--scenario")
        {
            if (!parsed.scenarioFile.empty() || value.empty())
            {
                error = value.empty() ? "--scenario needs a file" : "--scenario given twice";
                return false;
            }
            parsed.scenarioFile = value;
        }
        else if (argument == "--generate-site")
        {
            if (siteGiven || value.empty())
            {
                error = siteGiven ? "--generate-site given twice" : "--generate-site needs a directory";
                return false;
            }
            siteGiven = true;
            parsed.siteDirectory = value;
        }
        else if (argument == "--emu" || argument == "--pcs" || argument == "--bms")
        {
            if (!parseNumber(argument, value, MAX_GENERATED_DEVICES, number, error))
            {
                return false;
            }
            const int slot = argument == "--emu" ? 0 : argument == "--pcs" ? 1 : 2;
            (slot == 0 ? parsed.layout.emuCount : slot == 1 ? parsed.layout.pcsCount : parsed.layout.bmsCount) =
                static_cast<unsigned>(number);
            countsGiven[slot] = true;
        }
        else if (argument == "--bcu")
        {
            if (!parseNumber(argument, value, 12, number, error))
            {
                return false;
            }
            if (number != 6 && number != 12)
            {
                error = "--bcu must be 6 or 12";
                return false;
            }
            parsed.layout.bcuCount = static_cast<unsigned>(number);
            layoutOptionGiven = true;
        }
        else if (argument == "--base-port" || argument == "--http-port")
        {
            if (!parseNumber(argument, value, 65535, number, error))
            {
                return false;
            }
            if (number == 0)
            {
                error = argument + " must be 1..65535";
                return false;
            }
            (argument == "--base-port" ? parsed.layout.basePort : parsed.layout.httpPort) =
                static_cast<std::uint16_t>(number);
            layoutOptionGiven = true;
        }
        else
        {
            parsed.layout.address = value;
            layoutOptionGiven = true;
        }
    }
    if (quiet && verbose)
    {
        error = "--quiet and --verbose exclude each other";
        return false;
    }
    parsed.logLevel = quiet ? E_SimLogLevel::QUIET : verbose ? E_SimLogLevel::VERBOSE : E_SimLogLevel::NORMAL;
    if (topologyGiven == siteGiven)
    {
        error = "Give exactly one of --topology FILE and --generate-site DIR";
        return false;
    }
    if (topologyGiven && (countsGiven[0] || countsGiven[1] || countsGiven[2] || layoutOptionGiven))
    {
        error = "--emu, --pcs, --bms, --bcu, --base-port, --address and --http-port belong to --generate-site";
        return false;
    }
    if (siteGiven && !(countsGiven[0] && countsGiven[1] && countsGiven[2]))
    {
        error = "--generate-site needs --emu N, --pcs N and --bms N";
        return false;
    }
    parsed.command = topologyGiven ? E_SimCommand::SIMULATE_TOPOLOGY : E_SimCommand::GENERATE_SITE;
    result = std::move(parsed);
    return true;
}

}  // namespace ota::backend
