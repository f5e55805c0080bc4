#include "support/quick_emu_site.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace ota::bench
{

namespace
{

namespace http = boost::beast::http;
using json = nlohmann::json;

void writeFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

void parseUnsignedOptions(int argc, char** argv,
                          const std::vector<std::pair<std::string, unsigned*>>& options)
{
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string name = argv[i];
        bool known = false;
        for (const auto& [option, value] : options)
        {
            if (name == option)
            {
                *value = static_cast<unsigned>(std::stoul(argv[i + 1]));
                known = true;
            }
        }
        if (!known)
        {
            throw std::runtime_error("unknown option " + name);
        }
    }
}

json callApi(CHttpClient& client, http::verb verb, const std::string& target, const json& body)
{
    const std::string text = client.request(verb, target, body.is_null() ? std::string() : body.dump());
    json envelope = json::parse(text);
    if (!envelope.value("success", false))
    {
        throw std::runtime_error(std::string(verb == http::verb::get ? "GET " : "POST ") + target + ": " +
                                 text.substr(0, 2000));
    }
    return envelope["data"];
}

CQuickEmuSite::CQuickEmuSite(const std::string& name, unsigned devices, unsigned fileKib,
                             unsigned concurrency, const std::filesystem::path& binaryDir)
{
    std::string pattern = "/tmp/ota-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        throw std::runtime_error("cannot create a directory for the site");
    }
    m_directory = pattern;
    try
    {
        const std::uint16_t basePort = findFreePortRun(devices + 1);
        m_httpPort = static_cast<std::uint16_t>(basePort + devices);
        writeFile(
            m_directory / "timings.json",
            R"({"schemaVersion":1,"rules":[{"settings":{"preparationMs":20,"flashMs":20,"rebootMs":50}}]})");
        m_firmware = m_directory / "emu-firmware.bin";
        std::string bytes(std::size_t{fileKib} * 1024, '\0');
        std::uint32_t state = 0x9E3779B9u;
        for (char& byte : bytes)
        {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<char>(state >> 24);
        }
        writeFile(m_firmware, bytes);

        m_simulator = std::make_unique<CChild>(
            std::vector<std::string>{(binaryDir / "ota-device-sim").string(), "--generate-site",
                                     m_directory.string(), "--emu", std::to_string(devices), "--pcs", "0",
                                     "--bms", "0", "--base-port", std::to_string(basePort), "--http-port",
                                     std::to_string(m_httpPort), "--scenario",
                                     (m_directory / "timings.json").string(), "--quiet", "--no-summary"},
            m_directory / "sim.log");
        if (!waitForText(m_directory / "sim.log", "[READY]", std::chrono::seconds(60)))
        {
            throw std::runtime_error("simulator did not start:\n" + readFile(m_directory / "sim.log"));
        }
        json config = json::parse(readFile(m_directory / "ota-backend.json"));
        config["deviceConcurrency"] = concurrency;
        config["connectTimeoutMs"] = 10000;
        config["ackTimeoutMs"] = 10000;
        config["stageTimeoutMs"] = 20000;
        config["flashTimeoutMs"] = 20000;
        config["restartTimeoutMs"] = 2000;
        config["reconnectIntervalMs"] = 100;
        config["chunkSize"] = 32768;
        writeFile(m_directory / "ota-backend.json", config.dump());
        m_backend = std::make_unique<CChild>(
            std::vector<std::string>{(binaryDir / "ota-backend").string(), "--config",
                                     (m_directory / "ota-backend.json").string()},
            m_directory / "backend.log");
        if (!waitForText(m_directory / "backend.log", "[INFO] WebSocket events:", std::chrono::seconds(60)))
        {
            throw std::runtime_error("backend did not start:\n" + readFile(m_directory / "backend.log"));
        }
        CHttpClient client(m_httpPort);
        if (!waitUntil(
                [&]
                {
                    return callApi(client, http::verb::get,
                                   "/api/v1/health")["deviceTcp"]["connectedDeviceCount"] == devices;
                },
                std::chrono::seconds(120), std::chrono::milliseconds(20)))
        {
            throw std::runtime_error("not every device connected within 120 s");
        }
    }
    catch (...)
    {
        m_backend.reset();
        m_simulator.reset();
        std::filesystem::remove_all(m_directory);
        throw;
    }
}

CQuickEmuSite::~CQuickEmuSite()
{
    m_backend.reset();
    m_simulator.reset();
    std::filesystem::remove_all(m_directory);
}

}  // namespace ota::bench
