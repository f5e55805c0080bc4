#include "app/users_command.h"

#include "accounts/account_store.h"
#include "app/backend_config.h"
#include "app/history_database_path.h"
#include "app/password_input.h"
#include "common/clock.h"
#include "common/console_log.h"
#include "common/platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>

namespace ota::backend
{

namespace
{

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct S_ActionShape
{
    std::string_view word;
    E_UsersAction action;
    std::size_t positionals;
    bool takesRole;   // --role (required)
    bool takesLabel;  // --label (optional)
};

constexpr std::array<S_ActionShape, 7> kActions = {{
    {"add", E_UsersAction::ADD, 1, true, false},
    {"passwd", E_UsersAction::PASSWD, 1, false, false},
    {"role", E_UsersAction::ROLE, 2, false, false},
    {"disable", E_UsersAction::DISABLE, 1, false, false},
    {"list", E_UsersAction::LIST, 0, false, false},
    {"token", E_UsersAction::TOKEN, 1, false, true},
    {"revoke-token", E_UsersAction::REVOKE_TOKEN, 1, false, false},
}};

bool parseRoleWord(const std::string& word, E_Role& role, std::string& error)
{
    const std::optional<E_Role> parsed = parseRole(word);
    if (!parsed)
    {
        error = "Unknown role: " + word + " (viewer, operator, approver or admin)";
        return false;
    }
    role = *parsed;
    return true;
}

using Row = std::vector<std::string>;

// Rows in columns two spaces apart, each as wide as its widest cell; a line each.
void appendTable(const std::vector<Row>& rows, std::string& text)
{
    std::vector<std::size_t> widths;
    for (const Row& row : rows)
    {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t column = 0; column < row.size(); ++column)
        {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    for (const Row& row : rows)
    {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column)
        {
            line.append(row[column]);
            if (column + 1 < row.size())
            {
                line.append(widths[column] - row[column].size() + 2, ' ');
            }
        }
        text.append(line).push_back('\n');
    }
}

// The accounts, then the API tokens.
void printList(const std::vector<S_AccountRecord>& accounts, const std::vector<S_ApiTokenRecord>& tokens)
{
    std::string text;
    if (accounts.empty())
    {
        text.append("No accounts\n");
    }
    else
    {
        std::vector<Row> rows{{"NAME", "ROLE", "STATE", "CREATED"}};
        for (const S_AccountRecord& account : accounts)
        {
            rows.push_back({account.name, std::string(roleName(account.role)),
                            account.enabled ? "enabled" : "disabled", formatLocalTime(account.createdAt)});
        }
        appendTable(rows, text);
    }
    if (tokens.empty())
    {
        text.append("No API tokens\n");
    }
    else
    {
        std::vector<Row> rows{{"API TOKEN", "USER", "CREATED"}};
        for (const S_ApiTokenRecord& token : tokens)
        {
            rows.push_back({token.label, token.user, formatLocalTime(token.createdAt)});
        }
        text.push_back('\n');
        appendTable(rows, text);
    }
    text.pop_back();  // consoleOut ends the last line
    consoleOut(text);
}

int failed(const std::string& error)
{
    consoleErr("[ERROR] " + error);
    return kExitFailed;
}

// Run as root on a database of the service's user, the command would leave files (the WAL, a
// new database) that the service cannot write.
bool ownerMayWrite(const std::filesystem::path& database, std::string& error)
{
    struct stat status
    {
    };
    if (::geteuid() != 0 || ::stat(database.c_str(), &status) != 0 || status.st_uid == 0)
    {
        return true;
    }
    error = "The history database " + database.string() +
            " belongs to the service's user: run this command as that user (sudo -u <user> ...)";
    return false;
}

int runParsed(const S_UsersCommand& command, const std::filesystem::path& database)
{
    std::string error;
    if (!ownerMayWrite(database, error))
    {
        return failed(error);
    }
    // Listing reads only: it leaves a database without accounts as it is, and makes no file.
    const bool create = command.action != E_UsersAction::LIST;
    if (!create && !std::filesystem::exists(database))
    {
        printList({}, {});
        return 0;
    }
    const std::unique_ptr<CAccountStore> store = CAccountStore::open(database, create, error);
    if (!store)
    {
        return failed(error);
    }
    switch (command.action)
    {
        case E_UsersAction::ADD:
        case E_UsersAction::PASSWD:
        {
            // Refusals that need no password come before it is asked for.
            const std::optional<S_AccountRecord> existing = store->find(command.name);
            if (command.action == E_UsersAction::ADD)
            {
                error = accountNameProblem(command.name);
                if (!error.empty())
                {
                    return failed(error);
                }
                if (existing)
                {
                    return failed("An account named " + existing->name + " exists");
                }
            }
            if (command.action == E_UsersAction::PASSWD && !existing)
            {
                return failed("No account named " + command.name);
            }
            const std::optional<std::string> password = readNewPassword(command.name, error);
            if (!password)
            {
                return failed(error);
            }
            if (command.action == E_UsersAction::ADD)
            {
                if (!store->addUser(command.name, command.role, *password, error))
                {
                    return failed(error);
                }
                consoleOut("Account " + command.name + " added with role " +
                           std::string(roleName(command.role)));
                return 0;
            }
            if (!store->setPassword(command.name, *password, error))
            {
                return failed(error);
            }
            consoleOut("Password of " + existing->name + " changed");
            return 0;
        }
        case E_UsersAction::ROLE:
            if (!store->setRole(command.name, command.role, error))
            {
                return failed(error);
            }
            consoleOut("Role of " + command.name + " is " + std::string(roleName(command.role)));
            return 0;
        case E_UsersAction::DISABLE:
            if (!store->disable(command.name, error))
            {
                return failed(error);
            }
            consoleOut("Account " + command.name + " disabled");
            return 0;
        case E_UsersAction::LIST:
        {
            const std::vector<S_AccountRecord> accounts = store->list(error);
            if (!error.empty())
            {
                return failed(error);
            }
            const std::vector<S_ApiTokenRecord> tokens = store->tokens(error);
            if (!error.empty())
            {
                return failed(error);
            }
            printList(accounts, tokens);
            return 0;
        }
        case E_UsersAction::TOKEN:
        {
            const std::string label = command.label.empty()
                                          ? command.name + "-" + std::to_string(currentUnixMs() / 1000)
                                          : command.label;
            const std::optional<std::string> token = store->issueToken(command.name, label, error);
            if (!token)
            {
                return failed(error);
            }
            // Standard output carries the token alone, for a script to capture.
            consoleErr("API token " + label + " of " + command.name + ": shown only now, keep it safe");
            consoleOut(*token);
            return 0;
        }
        case E_UsersAction::REVOKE_TOKEN:
            if (!store->revokeToken(command.label, error))
            {
                return failed(error);
            }
            consoleOut("API token " + command.label + " revoked");
            return 0;
        case E_UsersAction::HELP:
            break;
    }
    return 0;
}

}  // namespace

bool parseUsersCommand(const std::vector<std::string>& words, S_UsersCommand& command, std::string& error)
{
    command = S_UsersCommand{};
    error.clear();
    if (std::find(words.begin(), words.end(), "--help") != words.end() ||
        std::find(words.begin(), words.end(), "-h") != words.end())
    {
        command.action = E_UsersAction::HELP;
        return true;
    }
    if (words.empty())
    {
        error = "Missing users command";
        return false;
    }
    const auto shape =
        std::find_if(kActions.begin(), kActions.end(),
                     [&](const S_ActionShape& candidate) { return candidate.word == words[0]; });
    if (shape == kActions.end())
    {
        error = "Unknown users command: " + words[0];
        return false;
    }
    command.action = shape->action;
    std::vector<std::string> positionals;
    std::optional<std::string> roleWord;
    std::optional<std::string> labelWord;
    for (std::size_t index = 1; index < words.size(); ++index)
    {
        const std::string& word = words[index];
        const bool isRole = word == "--role" && shape->takesRole;
        const bool isLabel = word == "--label" && shape->takesLabel;
        if (!isRole && !isLabel)
        {
            if (word.size() > 1 && word[0] == '-')
            {
                error = "Unsupported argument: " + word;
                return false;
            }
            positionals.push_back(word);
            continue;
        }
        std::optional<std::string>& target = isRole ? roleWord : labelWord;
        if (index + 1 >= words.size() || words[index + 1].empty())
        {
            error = "Argument value cannot be empty: " + word;
            return false;
        }
        if (target)
        {
            error = "Argument may be specified only once: " + word;
            return false;
        }
        target = words[++index];
    }
    if (positionals.size() != shape->positionals)
    {
        error = "users " + words[0] + " takes " + std::to_string(shape->positionals) + " argument" +
                (shape->positionals == 1 ? "" : "s") + ", not " + std::to_string(positionals.size());
        return false;
    }
    if (shape->takesRole && !roleWord)
    {
        error = "users " + words[0] + " needs --role <role>";
        return false;
    }
    if (roleWord && !parseRoleWord(*roleWord, command.role, error))
    {
        return false;
    }
    switch (command.action)
    {
        case E_UsersAction::ROLE:
            command.name = positionals[0];
            return parseRoleWord(positionals[1], command.role, error);
        case E_UsersAction::REVOKE_TOKEN:
            command.label = positionals[0];
            return true;
        case E_UsersAction::LIST:
            return true;
        default:
            command.name = positionals[0];
            command.label = labelWord.value_or(std::string());
            return true;
    }
}

std::string buildUsersUsageText(const std::string& programName)
{
    return "Usage: " + programName +
           " [--config <path>] [--topology-file <path>] users <command>\n"
           "  users add <name> --role <role>       add an account (password from standard input)\n"
           "  users passwd <name>                  set an account's password (from standard input)\n"
           "  users role <name> <role>             change an account's role\n"
           "  users disable <name>                 disable an account and its API tokens\n"
           "  users list                           list the accounts and the API tokens\n"
           "  users token <name> [--label <text>]  issue an API token, printed once\n"
           "  users revoke-token <label>           revoke an API token\n"
           "  Roles: viewer, operator, approver, admin. The commands change the history database\n"
           "  of the configuration and work while the service runs.";
}

int runUsersCommand(const std::filesystem::path& configPath, const std::filesystem::path& topologyOverride,
                    const std::vector<std::string>& words, const std::string& programName)
{
    S_UsersCommand command;
    std::string error;
    if (!parseUsersCommand(words, command, error))
    {
        consoleErr("[ERROR] " + error);
        consoleOut(buildUsersUsageText(programName));
        return kExitUsage;
    }
    if (command.action == E_UsersAction::HELP)
    {
        consoleOut(buildUsersUsageText(programName));
        return 0;
    }
    S_BackendConfig config;
    if (!loadBackendConfig(configPath, config, error))
    {
        return failed("Configuration load failed: " + error);
    }
    std::filesystem::path topologyPath = config.topologyFile;
    if (!topologyOverride.empty() && !makeAbsoluteNormalizedPath(topologyOverride, topologyPath, error))
    {
        return failed("Cannot resolve topology file path '" + topologyOverride.string() + "': " + error);
    }
    return runParsed(command, historyDatabasePath(topologyPath, config.configPath));
}

}  // namespace ota::backend
