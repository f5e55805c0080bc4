#include "sim/sim_device_spec.h"

#include "protocol/body_rules.h"
#include "protocol/device_side_codec.h"
#include "protocol/protocol_enums.h"
#include "sim/loopback_address.h"

namespace ota::backend
{

std::vector<S_ProtocolComponentVersion> effectiveComponents(const S_SimDeviceSpec& spec)
{
    if (!spec.components.empty())
    {
        return spec.components;
    }
    return standardDeviceComponents(spec.deviceType, DEFAULT_COMPONENT_VERSION, spec.bmsBcuCount);
}

bool validateSimDeviceSpec(const S_SimDeviceSpec& spec, std::string& error)
{
    error.clear();
    const std::string prefix = "Simulated device " + spec.nodeId + ": ";
    if (spec.nodeId.empty())
    {
        error = "Simulated device id must not be empty";
        return false;
    }
    if (spec.deviceType < 1 || spec.deviceType > 3)
    {
        error = prefix + "device type must be EMU, PCS or BMS";
        return false;
    }
    std::string addressError;
    if (!isLoopbackAddressText(spec.address, addressError))
    {
        error = prefix + addressError;
        return false;
    }
    if (spec.components.empty() && spec.deviceType == toProtocolByte(E_ProtocolDeviceType::BMS) &&
        spec.bmsBcuCount != 6 && spec.bmsBcuCount != 12)
    {
        error = prefix + "a BMS has 6 or 12 BCUs";
        return false;
    }
    std::string componentError;
    if (!validateStatusComponents(spec.deviceType, effectiveComponents(spec), componentError))
    {
        error = prefix + componentError;
        return false;
    }
    for (const S_ProtocolComponentVersion& component : effectiveComponents(spec))
    {
        if (component.version.empty())
        {
            error = prefix + "component versions must not be empty";
            return false;
        }
    }
    const S_SimTimings& timings = spec.timings;
    for (const std::uint32_t value : {timings.replyLatencyMs, timings.preparationMs, timings.flashMs,
                                      timings.rebootMs, timings.progressIntervalMs})
    {
        if (value > MAX_SIM_TIMING_MS)
        {
            error = prefix + "timings must not exceed 3600000 ms";
            return false;
        }
    }
    if (timings.progressIntervalMs == 0)
    {
        error = prefix + "progressIntervalMs must be at least 1";
        return false;
    }
    for (const S_SimFault& fault : spec.faults)
    {
        std::string faultError;
        if (!validateSimFault(fault, faultError))
        {
            error = prefix + faultError;
            return false;
        }
    }
    return true;
}

}  // namespace ota::backend
