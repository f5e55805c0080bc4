// A firmware upload into the store through the built executable: ota-backend started (without
// devices), then one file of 1 GiB sent to POST /api/v1/firmware/store in a single request, and
// the same file copied with cp in the same run for comparison.
//
// Reports the backend's resident memory before the upload (VmRSS) and its peak after it (VmHWM),
// and the upload's throughput against cp's (and against cp followed by a sync of the copy, since
// the store syncs what it keeps). cp copies inside the kernel; dd with 256 KiB blocks, a copy
// through user space with write() as the store's is, is reported beside it for scale. Goals: the peak stays
// within 32 MiB of the idle figure, and the upload runs at 80 % or more of cp's speed.
//
//   firmware_upload_bench [--benchmark_...]   (OTA_UPLOAD_BENCH_MIB sets the size, default 1024)

#include "support/site_processes.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using json = nlohmann::json;
using ota::bench::CChild;

const std::filesystem::path kBinaryDir = OTA_BINARY_DIR;
const std::filesystem::path kSourceDir = OTA_SOURCE_DIR;

std::uint64_t benchBytes()
{
    const char* mib = std::getenv("OTA_UPLOAD_BENCH_MIB");
    return (mib != nullptr ? std::stoull(mib) : 1024ULL) << 20;
}

double secondsSince(std::chrono::steady_clock::time_point began)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

void writeTestFile(const std::filesystem::path& path, std::uint64_t size)
{
    std::vector<char> block(1 << 20);
    std::uint32_t state = 12345;
    for (char& byte : block)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    std::ofstream file(path, std::ios::binary);
    for (std::uint64_t written = 0; written < size; written += block.size())
    {
        block[0] = static_cast<char>(written >> 20);  // no two blocks alike
        file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    if (!file.flush())
    {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// Sends the file as the body of one upload with sendfile (so the client costs next to nothing)
// and answers the response's body.
std::string upload(std::uint16_t port, const std::filesystem::path& file, std::uint64_t size)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int source = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (socket < 0 || source < 0 ||
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        throw std::runtime_error("cannot connect or open the file");
    }
    const std::string header =
        "POST /api/v1/firmware/store?name=bench.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(size) + "\r\n\r\n";
    bool sent =
        ::send(socket, header.data(), header.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(header.size());
    off_t offset = 0;
    while (sent && static_cast<std::uint64_t>(offset) < size)
    {
        sent = ::sendfile(socket, source, &offset, size - static_cast<std::uint64_t>(offset)) > 0;
    }
    std::string response;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::recv(socket, buffer, sizeof buffer, 0)) > 0)
    {
        response.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(source);
    ::close(socket);
    const std::size_t bodyStart = response.find("\r\n\r\n");
    if (!sent || bodyStart == std::string::npos)
    {
        throw std::runtime_error("upload failed: " + response.substr(0, 500));
    }
    return response.substr(bodyStart + 4);
}

void BM_FirmwareUpload(benchmark::State& state)
{
    const std::uint64_t size = benchBytes();
    std::string pattern = "/var/tmp/ota-upload-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        state.SkipWithError("cannot create a directory");
        return;
    }
    const std::filesystem::path directory = pattern;
    writeTestFile(directory / "source.bin", size);

    json config = json::parse(ota::bench::readFile(kSourceDir / "examples/config/ota-backend.json"));
    const std::uint16_t port = ota::bench::findFreePortRun(0);
    config["httpPort"] = port;
    config["deviceTcpEnabled"] = false;
    config["topologyFile"] = (directory / "site.json").string();
    config["firmwareStore"] = {{"maxBytes", 2 * size + (64ULL << 20)}};
    std::ofstream(directory / "ota-backend.json") << config.dump();
    CChild backend(
        {(kBinaryDir / "ota-backend").string(), "--config", (directory / "ota-backend.json").string()},
        directory / "backend.log");
    if (!ota::bench::waitForText(directory / "backend.log",
                                 "[INFO] WebSocket events:", std::chrono::seconds(300)))
    {
        state.SkipWithError("backend did not start");
        return;
    }
    const std::uint64_t idleKilobytes = ota::bench::statusKilobytes(backend.pid(), "VmRSS");
    double uploadSeconds = 0;
    double copySeconds = 0;
    double copySyncSeconds = 0;
    double ddSeconds = 0;
    for (auto _ : state)
    {
        const auto copyBegan = std::chrono::steady_clock::now();
        const std::string copy =
            "cp " + (directory / "source.bin").string() + " " + (directory / "copy.bin").string();
        if (std::system(copy.c_str()) != 0)
        {
            state.SkipWithError("cp failed");
            return;
        }
        copySeconds = secondsSince(copyBegan);
        const std::string sync = "sync " + (directory / "copy.bin").string();
        if (std::system(sync.c_str()) != 0)
        {
            state.SkipWithError("sync failed");
            return;
        }
        copySyncSeconds = secondsSince(copyBegan);
        std::filesystem::remove(directory / "copy.bin");
        const auto ddBegan = std::chrono::steady_clock::now();
        const std::string dd = "dd status=none bs=256k if=" + (directory / "source.bin").string() +
                               " of=" + (directory / "copy.bin").string();
        if (std::system(dd.c_str()) != 0)
        {
            state.SkipWithError("dd failed");
            return;
        }
        ddSeconds = secondsSince(ddBegan);
        std::filesystem::remove(directory / "copy.bin");

        const auto uploadBegan = std::chrono::steady_clock::now();
        const json answer = json::parse(upload(port, directory / "source.bin", size));
        uploadSeconds = secondsSince(uploadBegan);
        if (!answer.value("success", false) || answer["data"]["size"] != size)
        {
            state.SkipWithError(("upload refused: " + answer.dump().substr(0, 300)).c_str());
            return;
        }
    }
    const std::uint64_t peakKilobytes = ota::bench::statusKilobytes(backend.pid(), "VmHWM");
    backend.stop();
    std::filesystem::remove_all(directory);

    const double mebibytes = static_cast<double>(size) / (1 << 20);
    state.counters["idle_rss_MiB"] = static_cast<double>(idleKilobytes) / 1024.0;
    state.counters["peak_rss_MiB"] = static_cast<double>(peakKilobytes) / 1024.0;
    state.counters["peak_over_idle_MiB"] = static_cast<double>(peakKilobytes - idleKilobytes) / 1024.0;
    state.counters["upload_MiB_per_s"] = mebibytes / uploadSeconds;
    state.counters["cp_MiB_per_s"] = mebibytes / copySeconds;
    state.counters["cp_sync_MiB_per_s"] = mebibytes / copySyncSeconds;
    state.counters["dd_MiB_per_s"] = mebibytes / ddSeconds;
    state.counters["upload_vs_cp"] = copySeconds / uploadSeconds;
    state.counters["upload_vs_cp_sync"] = copySyncSeconds / uploadSeconds;
}
BENCHMARK(BM_FirmwareUpload)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
