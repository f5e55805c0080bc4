#pragma once

#include "device/communication_node_status.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// Changes exactly when a published device.status document would change in a field other than
// the clock-driven ones (fetchedAt, statusAgeMs) and the per-frame counters: the topology revision,
// the node count and, per node sorted by id, identity, state fields and component reports.
std::string buildDeviceStatusFingerprint(std::uint64_t sceneGeneration,
                                         const std::vector<S_CommunicationNodeStatus>& nodes);

// The communication.snapshot fingerprint: revision, capture flag, trace version and the above.
std::string buildCommunicationFingerprint(std::uint64_t sceneGeneration, bool captureEnabled,
                                          std::uint64_t frameTraceVersion,
                                          const std::string& deviceStatusFingerprint);

}  // namespace ota::backend
