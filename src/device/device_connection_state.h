#pragma once

#include <cstdint>
#include <string_view>

namespace ota::backend
{

// Connection state of one communication node.
enum class E_DeviceConnectionState : std::uint8_t
{
    PENDING = 0,            // configured, first connect not yet attempted
    CONNECTING = 1,         // connect attempt scheduled or in progress
    CONNECTED = 2,          // TCP up and a valid device status received
    DISCONNECTED = 3,       // no connection; a reconnect is scheduled
    ERROR = 4,              // the endpoint address is invalid; never retried
    PROTOCOL_REJECTED = 5,  // the adapter rejected the peer; never retried automatically
    VERIFYING = 6,          // TCP up, waiting for the first valid MSG_DEVICE_STATUS
};

// The enumerator text; "UNKNOWN" for any other value.
std::string_view deviceConnectionStateName(E_DeviceConnectionState state);

}  // namespace ota::backend
