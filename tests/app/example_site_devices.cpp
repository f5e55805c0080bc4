#include "app/example_site_devices.h"

#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"
#include "sim/topology_devices.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace ota::test
{

std::vector<ota::backend::S_SimDeviceSpec> exampleSiteDevices()
{
    using namespace ota::backend;
    std::vector<S_SimDeviceSpec> devices;
    std::string error;
    if (!loadSimDevicesFromTopologyFile(std::filesystem::path(OTA_SOURCE_DIR) / "examples/topology/site.json",
                                        devices, error))
    {
        ADD_FAILURE() << error;
    }
    for (S_SimDeviceSpec& device : devices)
    {
        const S_SimDeviceSpec quick = quickDevice(device.nodeId, E_ProtocolDeviceType::EMU);
        device.port = 0;
        device.timings = quick.timings;
    }
    return devices;
}

}  // namespace ota::test
