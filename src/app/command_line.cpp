#include "app/command_line.h"

#include "common/platform.h"

#include <string_view>

namespace ota::backend
{

std::string buildUsageText(const std::string& programName)
{
    return "Usage: " + programName +
           " [--config <path>] [--topology-file <path>]\n"
           "  No --config:       use <executable-dir>/config/ota-backend.json\n"
           "  --config:          use the specified configuration file\n"
           "  --topology-file:   override topologyFile from configuration";
}

std::filesystem::path defaultConfigPath()
{
    const std::optional<std::filesystem::path> executable = readExecutablePath();
    if (!executable.has_value())
    {
        return {};
    }
    std::string text = executable->string();
    while (!text.empty() && (text.back() == '/' || text.back() == '\\'))
    {
        text.pop_back();
    }
    const std::filesystem::path directory = std::filesystem::path(text).parent_path();
    if (directory.empty())
    {
        return {};
    }
    return directory / "config" / "ota-backend.json";
}

bool parseCommandLine(int argc, const char* const* argv, S_CommandLineOptions& options, std::string& error)
{
    error.clear();
    options.configPath.clear();
    options.topologyFileOverride.clear();
    options.verifyAuditDatabase.clear();
    options.usersCommand = false;
    options.usersArguments.clear();
    for (int index = 1; index < argc; ++index)
    {
        const std::string_view argument = argv[index] != nullptr ? argv[index] : "";
        if (argument == "-h" || argument == "--help")
        {
            options.helpRequested = true;
            continue;
        }
        if (argument == "--config" || argument == "--topology-file" || argument == "--verify-audit")
        {
            std::filesystem::path& target = argument == "--config"          ? options.configPath
                                            : argument == "--topology-file" ? options.topologyFileOverride
                                                                            : options.verifyAuditDatabase;
            const bool hasValue =
                index + 1 < argc && argv[index + 1] != nullptr && argv[index + 1][0] != '\0';
            if (!hasValue)
            {
                error = "Argument value cannot be empty: " + std::string(argument);
                return false;
            }
            if (!target.empty())
            {
                error = "Argument may be specified only once: " + std::string(argument);
                return false;
            }
            target = std::filesystem::path(argv[index + 1]);
            ++index;
            continue;
        }
        if (argument == "users")
        {
            options.usersCommand = true;
            for (int word = index + 1; word < argc; ++word)
            {
                options.usersArguments.emplace_back(argv[word] != nullptr ? argv[word] : "");
            }
            break;
        }
        error = "Unsupported argument: " + std::string(argument);
        return false;
    }
    if (options.helpRequested)
    {
        return true;
    }
    if (!options.verifyAuditDatabase.empty())
    {
        // A check of a file, not a service: nothing else on the line would be used.
        if (options.usersCommand)
        {
            error = "Argument --verify-audit cannot be combined with users";
            return false;
        }
        if (!options.configPath.empty() || !options.topologyFileOverride.empty())
        {
            error = "Argument --verify-audit cannot be combined with --config or --topology-file";
            return false;
        }
        return true;
    }
    if (options.configPath.empty())
    {
        options.configPath = defaultConfigPath();
        if (options.configPath.empty())
        {
            error = "Cannot determine the executable directory for the default configuration";
            return false;
        }
    }
    return true;
}

}  // namespace ota::backend
