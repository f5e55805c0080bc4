#include "app/audit_chain_report.h"
#include "app/backend_application.h"
#include "app/command_line.h"
#include "app/users_command.h"
#include "common/console_log.h"
#include "common/platform.h"

#include <exception>
#include <memory>
#include <string>

using namespace ota::backend;

namespace
{

int runProcess(int argc, char** argv)
{
    S_CommandLineOptions options;
    std::string error;
    const std::string programName = argc > 0 && argv[0] != nullptr ? argv[0] : "ota-backend";
    if (!parseCommandLine(argc, argv, options, error))
    {
        consoleErr("[ERROR] " + error);
        consoleOut(buildUsageText(programName));
        return 1;
    }
    if (options.helpRequested)
    {
        consoleOut(buildUsageText(programName));
        return 0;
    }
    if (!options.verifyAuditDatabase.empty())
    {
        return runAuditVerification(options.verifyAuditDatabase);
    }

    std::filesystem::path configPath = options.configPath;
    std::filesystem::path absolutePath;
    std::string resolveError;
    if (makeAbsoluteNormalizedPath(configPath, absolutePath, resolveError))
    {
        configPath = absolutePath;
    }
    if (options.usersCommand)
    {
        return runUsersCommand(configPath, options.topologyFileOverride, options.usersArguments, programName);
    }
    consoleOut("[INFO] Configuration: " + configPath.string());
    if (!options.topologyFileOverride.empty())
    {
        consoleOut("[INFO] Topology override: " + options.topologyFileOverride.string());
    }

    auto application = std::make_unique<CBackendApplication>();
    if (!application->initialize(configPath, options.topologyFileOverride, error))
    {
        consoleErr("[ERROR] OTA backend initialization failed: " + error);
        application.reset();
        return 1;
    }
    const int exitCode = application->run();
    application.reset();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    // The console of this platform is already UTF-8: nothing to switch.
    try
    {
        return runProcess(argc, argv);
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[FATAL] Unhandled exception: ") + exception.what());
    }
    catch (...)
    {
        consoleErr("[FATAL] Unknown unhandled exception");
    }
    return 1;
}
