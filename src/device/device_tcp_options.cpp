#include "device/device_tcp_options.h"

namespace ota::backend
{

bool areDeviceTcpOptionsValid(const S_DeviceTcpOptions& options)
{
    constexpr std::uint32_t minimumDelayMs = 100;
    return options.connectTimeoutMs > 0 && options.reconnectIntervalMs >= minimumDelayMs &&
           options.initialStatusQueryDelayMs >= minimumDelayMs &&
           options.statusReplyTimeoutMs >= minimumDelayMs && options.keepAliveIdleSeconds > 0;
}

}  // namespace ota::backend
