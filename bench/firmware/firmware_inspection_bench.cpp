// Inspecting a 1 GiB firmware file beside sha256sum on the same file in the same run.
// Target: the inspection reaches at least 90 % of sha256sum's throughput. With signatures
// configured (an RSA-3072 and an ECDSA P-256 key, the file signed by the ECDSA one, checked after
// the RSA one) the inspection verifies F.sig in the same read and must keep that throughput.

#include "firmware/firmware_inspection.h"
#include "firmware/firmware_trust.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace
{

using namespace ota::backend;

constexpr std::uint64_t kFileSize = 1ULL << 30;
std::filesystem::path g_directory;
std::filesystem::path g_file;
std::shared_ptr<const CFirmwareTrust> g_trust;

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

// Two keys made and the file signed with the openssl command line, as a maker does.
bool createTrust()
{
    const std::string dir = g_directory.string();
    const bool made = run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out '" + dir +
                          "/rsa.key' 2>/dev/null") &&
                      run("openssl pkey -in '" + dir + "/rsa.key' -pubout -out '" + dir + "/rsa.pub'") &&
                      run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + dir +
                          "/ec.key' 2>/dev/null") &&
                      run("openssl pkey -in '" + dir + "/ec.key' -pubout -out '" + dir + "/ec.pub'") &&
                      run("openssl dgst -sha256 -sign '" + dir + "/ec.key' -out '" + g_file.string() +
                          ".sig' '" + g_file.string() + "'");
    std::string error;
    return made &&
           CFirmwareTrust::load(true, {g_directory / "rsa.pub", g_directory / "ec.pub"}, g_trust, error);
}

bool createFirmwareFile()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ota-fw-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        return false;
    }
    g_directory = pattern;
    g_file = g_directory / "firmware-1gib.bin";
    std::ofstream out(g_file, std::ios::binary);
    std::mt19937_64 random(3);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    for (std::uint64_t written = 0; written < kFileSize; written += block.size() * 8)
    {
        for (std::uint64_t& word : block)
        {
            word = random();
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * 8));
    }
    return static_cast<bool>(out);
}

void BM_InspectFirmwareFile1GiB(benchmark::State& state)
{
    const nlohmann::json entry = {
        {"fileSlotKey", "pcs:dsp1"}, {"filePath", g_file.string()}, {"targetVersion", "2"}};
    for (auto _ : state)
    {
        S_FirmwareFileInfo info;
        std::string error;
        if (!inspectFirmwareFile(entry, 0, 32768, info, error))
        {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(info.sha256);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_InspectSignedFirmwareFile1GiB(benchmark::State& state)
{
    const nlohmann::json entry = {
        {"fileSlotKey", "pcs:dsp1"}, {"filePath", g_file.string()}, {"targetVersion", "2"}};
    for (auto _ : state)
    {
        S_FirmwareFileInfo info;
        std::string error;
        if (!inspectFirmwareFile(entry, 0, 32768, info, error, g_trust.get()) || !info.signature ||
            !info.signature->verified)
        {
            state.SkipWithError(error.empty() ? "signature not verified" : error.c_str());
            break;
        }
        benchmark::DoNotOptimize(info.sha256);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_Sha256sum1GiB(benchmark::State& state)
{
    const std::string command = "sha256sum '" + g_file.string() + "' > /dev/null";
    for (auto _ : state)
    {
        if (std::system(command.c_str()) != 0)
        {
            state.SkipWithError("sha256sum failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

// Alternating order, so neither side gets a warmer cache or a quieter moment of the shared machine.
BENCHMARK(BM_Sha256sum1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_InspectFirmwareFile1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_InspectSignedFirmwareFile1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Sha256sum1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_InspectFirmwareFile1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_InspectSignedFirmwareFile1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!createFirmwareFile() || !createTrust())
    {
        std::fprintf(stderr, "cannot create the 1 GiB test file and its signature\n");
        std::filesystem::remove_all(g_directory);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_directory);
    return 0;
}
