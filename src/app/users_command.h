#pragma once

#include "common/acting_user.h"

#include <filesystem>
#include <string>
#include <vector>

namespace ota::backend
{

enum class E_UsersAction : std::uint8_t
{
    HELP,
    ADD,           // add <name> --role <role>
    PASSWD,        // passwd <name>
    ROLE,          // role <name> <role>
    DISABLE,       // disable <name>
    LIST,          // list
    TOKEN,         // token <name> [--label <text>]
    REVOKE_TOKEN,  // revoke-token <label>
};

struct S_UsersCommand
{
    E_UsersAction action = E_UsersAction::HELP;
    std::string name;
    E_Role role = E_Role::VIEWER;
    std::string label;  // token: empty = a default label; revoke-token: the label
};

// The words after "users"; false with the usage error.
bool parseUsersCommand(const std::vector<std::string>& words, S_UsersCommand& command, std::string& error);

// The users commands' usage text, first line naming the program as invoked.
std::string buildUsersUsageText(const std::string& programName);

// ota-backend [--config <file>] [--topology-file <file>] users ...: one change of the accounts
// of the configuration's history database (or the list), which works while the service runs and
// starts nothing of it. Returns the exit code: 0 done, 1 refused or failed (a line on standard
// error), 2 a usage error.
int runUsersCommand(const std::filesystem::path& configPath, const std::filesystem::path& topologyOverride,
                    const std::vector<std::string>& words, const std::string& programName);

}  // namespace ota::backend
