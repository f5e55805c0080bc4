#pragma once

#include "sim/device_simulator.h"

#include <vector>

namespace ota::test
{

// The devices of examples/topology/site.json on ephemeral ports, quick to prepare, flash and restart.
std::vector<ota::backend::S_SimDeviceSpec> exampleSiteDevices();

}  // namespace ota::test
