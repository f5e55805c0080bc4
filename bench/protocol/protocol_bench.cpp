// Throughput of the ota-v1 stream decoding, chunk encoding and streaming SHA-256. The SHA-256
// figure is printed beside `openssl speed -evp sha256 -bytes 65536` measured in the same run.

#include "common/digest.h"
#include "protocol/device_side_codec.h"
#include "protocol/ota_v1_protocol_adapter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace ota::backend
{
namespace
{

constexpr std::size_t READ_SIZE = 64 * 1024;

std::vector<std::uint8_t> chunkData(std::size_t size)
{
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i)
    {
        data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    return data;
}

S_ProtocolFrame chunkFrame(std::uint16_t chunkNo)
{
    S_ProtocolFileChunk chunk;
    chunk.fileNo = 1;
    chunk.chunkNo = chunkNo;
    chunk.totalChunks = 1000;
    chunk.data = chunkData(MAX_CHUNK_DATA_LENGTH);
    chunk.crc32 = crc32Of(chunk.data.data(), chunk.data.size());
    S_ProtocolFrame frame;
    frame.messageType = toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK);
    frame.deviceType = 2;
    frame.upgradeNo = 1;
    frame.body = std::move(chunk);
    return frame;
}

struct S_Stream
{
    std::vector<std::uint8_t> bytes;
    std::size_t frames = 0;
};

S_Stream chunkStream()
{
    S_Stream stream;
    std::vector<std::uint8_t> frame;
    std::string error;
    for (std::uint16_t i = 0; i < 64; ++i)
    {
        encodeFrame(chunkFrame(i), frame, error);
        stream.bytes.insert(stream.bytes.end(), frame.begin(), frame.end());
        ++stream.frames;
    }
    return stream;
}

S_Stream ackStream()
{
    S_Stream stream;
    std::vector<std::uint8_t> frame;
    std::string error;
    for (int i = 0; i < 20000; ++i)
    {
        encodeDeviceAckFrame(2, 1, makeDeviceAck(3, 1, 0), frame, error);
        stream.bytes.insert(stream.bytes.end(), frame.begin(), frame.end());
        ++stream.frames;
    }
    return stream;
}

// Feeds the stream in 64 KiB reads, as a socket would deliver it.
template <typename Decode>
void runStream(benchmark::State& state, const S_Stream& stream, Decode&& decode)
{
    std::size_t decoded = 0;
    for (auto _ : state)
    {
        for (std::size_t offset = 0; offset < stream.bytes.size(); offset += READ_SIZE)
        {
            const std::size_t size = std::min(READ_SIZE, stream.bytes.size() - offset);
            decoded += decode(stream.bytes.data() + offset, size);
        }
    }
    if (decoded != stream.frames * static_cast<std::size_t>(state.iterations()))
    {
        state.SkipWithError("frames lost");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(stream.bytes.size()) * state.iterations());
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(stream.frames) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ScanFrames_Chunk32KiB(benchmark::State& state)
{
    const S_Stream stream = chunkStream();
    std::vector<std::uint8_t> buffer;
    runStream(state, stream, [&](const std::uint8_t* data, std::size_t size) {
        return scanFrames(buffer, data, size).frames.size();
    });
}

void BM_DeviceSideDecode_Chunk32KiB(benchmark::State& state)
{
    const S_Stream stream = chunkStream();
    CDeviceSideFrameDecoder decoder;
    runStream(state, stream, [&](const std::uint8_t* data, std::size_t size) {
        return decoder.decode(data, size).frames.size();
    });
}

// Chunk frames are tool-to-device, so the adapter drops each with a direction error.
void BM_AdapterDecode_Chunk32KiB(benchmark::State& state)
{
    const S_Stream stream = chunkStream();
    COtaV1ProtocolAdapter adapter("PCS", 2);
    runStream(state, stream, [&](const std::uint8_t* data, std::size_t size) {
        return adapter.decode(data, size, false).errors.size();
    });
}

void BM_ScanFrames_Ack(benchmark::State& state)
{
    const S_Stream stream = ackStream();
    std::vector<std::uint8_t> buffer;
    runStream(state, stream, [&](const std::uint8_t* data, std::size_t size) {
        return scanFrames(buffer, data, size).frames.size();
    });
}

void BM_AdapterDecode_Ack(benchmark::State& state)
{
    const S_Stream stream = ackStream();
    COtaV1ProtocolAdapter adapter("PCS", 2);
    runStream(state, stream, [&](const std::uint8_t* data, std::size_t size) {
        return adapter.decode(data, size, false).events.size();
    });
}

// Crafted input: ~1,400 nested chunk candidates per 32 KiB block, all sharing one valid tail and
// all failing validation (file number 0). Each rejection advances one byte, so this measures
// that a rejected candidate costs no copy of its data.
S_Stream rejectedChunkCandidateStream()
{
    constexpr std::size_t TAIL_AT = 32768;
    constexpr std::size_t SPACING = 24;
    std::vector<std::uint8_t> block(TAIL_AT + 4, 0x00);
    for (std::size_t k = 0; k + SPACING <= TAIL_AT; k += SPACING)
    {
        const std::size_t bodyLength = TAIL_AT - 13 - k;
        const std::size_t dataLength = bodyLength - 11;
        const std::uint8_t candidate[] = {0x5A, 0x5A, 0x5A, 0x5A, 0x01, 0x08, 0x02, 0x01, 0x00, 0x00, 0x00,
                                          static_cast<std::uint8_t>(bodyLength), static_cast<std::uint8_t>(bodyLength >> 8),
                                          0x00, 0x00, 0x00, 0x01, 0x00,
                                          static_cast<std::uint8_t>(dataLength), static_cast<std::uint8_t>(dataLength >> 8),
                                          0x00, 0x00, 0x00, 0x00};
        std::copy(std::begin(candidate), std::end(candidate), block.begin() + static_cast<std::ptrdiff_t>(k));
    }
    std::fill(block.begin() + TAIL_AT, block.end(), std::uint8_t{0xA5});
    S_Stream stream;
    for (int i = 0; i < 16; ++i)
    {
        stream.bytes.insert(stream.bytes.end(), block.begin(), block.end());
    }
    return stream;
}

void BM_ScanFrames_RejectedChunkCandidates(benchmark::State& state)
{
    const S_Stream stream = rejectedChunkCandidateStream();
    std::vector<std::uint8_t> buffer;
    runStream(state, stream, [&](const std::uint8_t* data, std::size_t size) {
        return scanFrames(buffer, data, size).frames.size();
    });
}

void BM_EncodeFileChunk32KiB_WithCrc32(benchmark::State& state)
{
    S_ProtocolFrame frame = chunkFrame(0);
    auto& chunk = std::get<S_ProtocolFileChunk>(frame.body);
    std::vector<std::uint8_t> bytes;
    std::string error;
    for (auto _ : state)
    {
        chunk.crc32 = crc32Of(chunk.data.data(), chunk.data.size());
        if (!encodeFrame(frame, bytes, error))
        {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(chunk.data.size()) * state.iterations());
}

// The transport's path: the adapter copies the chunk into its frame record before encoding.
void BM_AdapterEncodeFileChunk32KiB_WithCrc32(benchmark::State& state)
{
    COtaV1ProtocolAdapter adapter("PCS", 2);
    S_ProtocolFileChunk chunk = std::get<S_ProtocolFileChunk>(chunkFrame(0).body);
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    for (auto _ : state)
    {
        chunk.crc32 = crc32Of(chunk.data.data(), chunk.data.size());
        if (!adapter.encodeFileChunk(1, chunk, bytes, type, error))
        {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(chunk.data.size()) * state.iterations());
}

void BM_Sha256Streaming_64KiBBlocks(benchmark::State& state)
{
    const std::vector<std::uint8_t> block = chunkData(64 * 1024);
    CSha256 sha;
    for (auto _ : state)
    {
        sha.update(block.data(), block.size());
    }
    benchmark::DoNotOptimize(sha.finish());
    state.SetBytesProcessed(static_cast<std::int64_t>(block.size()) * state.iterations());
}

BENCHMARK(BM_ScanFrames_Chunk32KiB);
BENCHMARK(BM_DeviceSideDecode_Chunk32KiB);
BENCHMARK(BM_AdapterDecode_Chunk32KiB);
BENCHMARK(BM_ScanFrames_Ack);
BENCHMARK(BM_AdapterDecode_Ack);
BENCHMARK(BM_ScanFrames_RejectedChunkCandidates);
BENCHMARK(BM_EncodeFileChunk32KiB_WithCrc32);
BENCHMARK(BM_AdapterEncodeFileChunk32KiB_WithCrc32);
BENCHMARK(BM_Sha256Streaming_64KiBBlocks)->MinTime(2.0);

// Remembers the SHA-256 throughput for the comparison printed after the run.
class CShaCapturingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs)
        {
            const auto counter = run.counters.find("bytes_per_second");
            if (run.benchmark_name().rfind("BM_Sha256Streaming", 0) == 0 && counter != run.counters.end())
            {
                shaBytesPerSecond = counter->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double shaBytesPerSecond = 0.0;
};

// openssl speed reports thousands of bytes per second, e.g. "sha256   1775297.42k".
double opensslSha256BytesPerSecond()
{
    FILE* pipe = popen("openssl speed -evp sha256 -bytes 65536 -seconds 3 2>/dev/null", "r");
    if (pipe == nullptr)
    {
        return 0.0;
    }
    double value = 0.0;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe) != nullptr)
    {
        const std::string text(line);
        if (text.rfind("sha256", 0) == 0)
        {
            const auto last = text.find_last_of(" \t", text.find('k'));
            value = std::stod(text.substr(last + 1)) * 1000.0;
        }
    }
    pclose(pipe);
    return value;
}

}  // namespace
}  // namespace ota::backend

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    ota::backend::CShaCapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.shaBytesPerSecond > 0.0)
    {
        const double openssl = ota::backend::opensslSha256BytesPerSecond();
        std::cout << "SHA-256 64 KiB blocks: CSha256 " << reporter.shaBytesPerSecond / 1e6 << " MB/s, openssl speed "
                  << openssl / 1e6 << " MB/s";
        if (openssl > 0.0)
        {
            std::cout << ", ratio " << 100.0 * reporter.shaBytesPerSecond / openssl << " %";
        }
        std::cout << '\n';
    }
    return 0;
}
