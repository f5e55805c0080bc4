#pragma once

// Random valid ota-v1 frames for the property tests.

#include "protocol/device_side_codec.h"
#include "protocol/protocol_frame.h"

#include <random>

namespace ota::test
{

class CRandomFrames
{
public:
    explicit CRandomFrames(std::uint32_t seed) : m_random(seed) {}

    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    std::string text(std::size_t maxLength)
    {
        std::string value(static_cast<std::size_t>(uniform(0, static_cast<int>(maxLength))), ' ');
        for (auto& c : value)
        {
            c = static_cast<char>(uniform(1, 255));  // any byte but zero
        }
        return value;
    }

    std::uint8_t byte(int low, int high) { return static_cast<std::uint8_t>(uniform(low, high)); }

    // A result with a consistent reason code (maxResult 3 only for stage reports).
    std::pair<std::uint8_t, std::uint8_t> resultAndReason(int maxResult)
    {
        const std::uint8_t result = byte(1, maxResult);
        return {result, result == 1 ? std::uint8_t{0} : byte(1, 19)};
    }

    backend::S_ProtocolFrame frame(std::uint8_t messageType)
    {
        using namespace backend;
        S_ProtocolFrame frame;
        frame.messageType = messageType;
        frame.deviceType = byte(1, 3);
        frame.upgradeNo = static_cast<std::uint32_t>(m_random());
        if (frame.upgradeNo == 0)
        {
            frame.upgradeNo = 1;
        }
        switch (messageType)
        {
        case 1: break;
        case 2:
            frame.body = S_ProtocolDeviceStatus{
                byte(1, 4), byte(0, 19),
                standardDeviceComponents(frame.deviceType, text(31), uniform(0, 1) == 0 ? 6 : 12)};
            for (auto& component : std::get<S_ProtocolDeviceStatus>(frame.body).components)
            {
                component.version = text(31);
            }
            break;
        case 3:
        {
            const std::uint8_t type = byte(1, 6);
            const std::uint8_t stage = type == 6 ? byte(0, 6) : static_cast<std::uint8_t>(type + 1);
            frame.body = S_ProtocolCommand{type, stage, static_cast<std::uint16_t>(type == 2 ? uniform(1, 32) : 0)};
            break;
        }
        case 4:
        {
            S_ProtocolTargetItems items;
            std::uint8_t targetNo = 1;
            for (const auto& component : standardDeviceComponents(frame.deviceType, "", 12))
            {
                if (uniform(0, 2) != 0 || items.items.empty())
                {
                    items.items.push_back({targetNo++, component.componentType, component.componentIndex,
                                           byte(0, 1), text(31)});
                }
            }
            frame.body = std::move(items);
            break;
        }
        case 5:
        {
            const auto [result, reason] = resultAndReason(2);
            frame.body = S_ProtocolDeviceAck{byte(0, 6), result, reason};
            break;
        }
        case 6:
        {
            const auto [result, reason] = resultAndReason(3);
            frame.body = S_ProtocolStageReport{byte(0, 6), result, byte(0, 100), reason};
            break;
        }
        case 7:
        {
            S_ProtocolFileInfo info;
            info.fileNo = byte(1, 32);
            info.fileName = text(62) + "x";
            info.chunkSize = static_cast<std::uint16_t>(uniform(1, 32768));
            info.totalChunks = static_cast<std::uint16_t>(uniform(1, 65535));
            info.fileSize = static_cast<std::uint32_t>(info.chunkSize) * (info.totalChunks - 1U) +
                            static_cast<std::uint32_t>(uniform(1, info.chunkSize));
            for (auto& b : info.sha256)
            {
                b = byte(0, 255);
            }
            frame.body = std::move(info);
            break;
        }
        case 8:
        {
            S_ProtocolFileChunk chunk;
            chunk.fileNo = byte(1, 32);
            chunk.totalChunks = static_cast<std::uint16_t>(uniform(1, 65535));
            chunk.chunkNo = static_cast<std::uint16_t>(uniform(0, chunk.totalChunks - 1));
            chunk.crc32 = static_cast<std::uint32_t>(m_random());
            chunk.data.resize(static_cast<std::size_t>(uniform(0, 3) == 0 ? uniform(1, 32768) : uniform(1, 300)));
            for (auto& b : chunk.data)
            {
                b = byte(0, 255);
            }
            frame.body = std::move(chunk);
            break;
        }
        case 9:
        {
            const auto [result, reason] = resultAndReason(2);
            frame.body = S_ProtocolFileChunkReport{byte(1, 32), static_cast<std::uint16_t>(uniform(0, 65535)), result,
                                                   reason, static_cast<std::uint32_t>(m_random())};
            break;
        }
        case 10:
        {
            const auto [result, reason] = resultAndReason(2);
            S_ProtocolFileVerifyReport report{byte(1, 32), result, reason, static_cast<std::uint32_t>(m_random()), {}};
            for (auto& b : report.sha256)
            {
                b = byte(0, 255);
            }
            frame.body = report;
            break;
        }
        default:
        {
            const auto components = standardDeviceComponents(frame.deviceType, "", 12);
            const auto& component = components[static_cast<std::size_t>(uniform(0, int(components.size()) - 1))];
            frame.body = S_ProtocolProgress{byte(0, 6), component.componentType, component.componentIndex,
                                            byte(0, 100), byte(0, 19), text(63)};
            break;
        }
        }
        return frame;
    }

private:
    std::mt19937 m_random;
};

}  // namespace ota::test
