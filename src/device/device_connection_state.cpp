#include "device/device_connection_state.h"

namespace ota::backend
{

std::string_view deviceConnectionStateName(E_DeviceConnectionState state)
{
    switch (state)
    {
    case E_DeviceConnectionState::PENDING: return "PENDING";
    case E_DeviceConnectionState::CONNECTING: return "CONNECTING";
    case E_DeviceConnectionState::CONNECTED: return "CONNECTED";
    case E_DeviceConnectionState::DISCONNECTED: return "DISCONNECTED";
    case E_DeviceConnectionState::ERROR: return "ERROR";
    case E_DeviceConnectionState::PROTOCOL_REJECTED: return "PROTOCOL_REJECTED";
    case E_DeviceConnectionState::VERIFYING: return "VERIFYING";
    }
    return "UNKNOWN";
}

}  // namespace ota::backend
