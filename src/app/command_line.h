#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace ota::backend
{

struct S_CommandLineOptions
{
    std::filesystem::path configPath;            // empty until set
    std::filesystem::path topologyFileOverride;  // empty when --topology-file was not given
    bool helpRequested = false;
    // --verify-audit <database>: check the audit trail of that file and exit; no configuration is
    // read and no service starts. Empty when not given.
    std::filesystem::path verifyAuditDatabase;
    // users <words...>: an accounts command on the configuration's history database; no service
    // starts. Every word after "users" is the command's own (see app/users_command.h).
    bool usersCommand = false;
    std::vector<std::string> usersArguments;
};

bool parseCommandLine(int argc, const char* const* argv, S_CommandLineOptions& options, std::string& error);

// The usage text, first line naming the program as invoked.
std::string buildUsageText(const std::string& programName);

// <executable-dir>/config/ota-backend.json; empty when the executable path cannot be determined.
std::filesystem::path defaultConfigPath();

}  // namespace ota::backend
