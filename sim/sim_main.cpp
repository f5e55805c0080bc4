// ota-device-sim: simulates a site of ota-v1 devices on loopback until SIGINT or SIGTERM.
#include "common/console_log.h"
#include "sim/cli_options.h"
#include "sim/device_simulator.h"
#include "sim/scenario_file.h"
#include "sim/topology_devices.h"

#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>

namespace
{

using namespace ota::backend;

// Every simulated device needs a listening socket and a connection: lift the soft limit.
void raiseFileDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max)
    {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool buildDevices(const S_SimCommandLine& commandLine, std::vector<S_SimDeviceSpec>& devices, std::string& error)
{
    std::filesystem::path topologyFile = commandLine.topologyFile;
    std::filesystem::path scenarioFile = commandLine.scenarioFile;
    if (commandLine.command == E_SimCommand::GENERATE_SITE)
    {
        S_GeneratedSiteFiles files;
        if (!writeSiteFiles(commandLine.layout, commandLine.siteDirectory, files, error))
        {
            return false;
        }
        consoleOut("[INIT] Wrote " + files.topologyFile.string() + ", " + files.configFile.string() + " and " +
                   files.scenarioFile.string());
        topologyFile = files.topologyFile;
        if (scenarioFile.empty())
        {
            scenarioFile = files.scenarioFile;
        }
    }
    if (!loadSimDevicesFromTopologyFile(topologyFile, devices, error))
    {
        return false;
    }
    if (scenarioFile.empty())
    {
        return true;
    }
    S_SimScenario scenario;
    return loadSimScenarioFile(scenarioFile, scenario, error) && applySimScenario(scenario, devices, error);
}

int run(const std::vector<std::string>& arguments)
{
    S_SimCommandLine commandLine;
    std::string error;
    if (!parseSimCommandLine(arguments, commandLine, error))
    {
        consoleErr("[ERROR] " + error);
        consoleErr(simUsageText());
        return 1;
    }
    if (commandLine.command == E_SimCommand::HELP)
    {
        consoleOut(simUsageText());
        return 0;
    }
    raiseFileDescriptorLimit();
    std::vector<S_SimDeviceSpec> devices;
    if (!buildDevices(commandLine, devices, error))
    {
        consoleErr("[ERROR] " + error);
        return 1;
    }

    // Block the stop signals before the loop thread exists, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CDeviceSimulator simulator(S_SimOptions{commandLine.logLevel});
    const std::size_t deviceCount = devices.size();
    if (!simulator.start(std::move(devices), error))
    {
        consoleErr("[ERROR] " + error);
        return 1;
    }
    consoleOut("[READY] Simulating " + std::to_string(deviceCount) + " device(s); SIGINT or SIGTERM stops");
    int signal = 0;
    sigwait(&stopSignals, &signal);
    consoleOut(std::string("[STOP] ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + " received, stopping");
    simulator.stop();
    if (commandLine.summary)
    {
        for (const std::string& line : simulator.summaryLines(commandLine.logLevel != E_SimLogLevel::QUIET))
        {
            consoleOut(line);
        }
    }
    consoleOut("[STOP] Device simulator stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try
    {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    }
    catch (const std::exception& exception)
    {
        ota::backend::consoleErr(std::string("[FATAL] ") + exception.what());
    }
    catch (...)
    {
        ota::backend::consoleErr("[FATAL] unknown exception");
    }
    return 1;
}
