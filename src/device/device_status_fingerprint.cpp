#include "device/device_status_fingerprint.h"

#include <algorithm>

namespace ota::backend
{

namespace
{

// Field texts are length-prefixed so that a separator inside a device-reported text cannot make
// two different states produce the same fingerprint.
void appendField(std::string& text, const std::string& field)
{
    text += std::to_string(field.size());
    text += ':';
    text += field;
    text += ':';
}

void appendNumber(std::string& text, std::uint64_t value)
{
    text += std::to_string(value);
    text += ':';
}

}  // namespace

std::string buildDeviceStatusFingerprint(std::uint64_t sceneGeneration,
                                         const std::vector<S_CommunicationNodeStatus>& nodes)
{
    std::vector<const S_CommunicationNodeStatus*> sorted;
    sorted.reserve(nodes.size());
    for (const S_CommunicationNodeStatus& node : nodes)
    {
        sorted.push_back(&node);
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto* left, const auto* right) { return left->nodeId < right->nodeId; });

    std::string text = std::to_string(sceneGeneration) + "|" + std::to_string(nodes.size());
    for (const S_CommunicationNodeStatus* node : sorted)
    {
        text += '|';
        appendField(text, node->nodeId);
        appendField(text, node->nodeName);
        appendField(text, node->nodePath);
        appendField(text, node->protocolNodeType);
        appendField(text, node->address);
        appendNumber(text, node->port);
        appendField(text, std::string(deviceConnectionStateName(node->connectionState)));
        appendNumber(text, node->reconnectAllowed ? 1 : 0);
        appendNumber(text, node->statusSynchronized ? 1 : 0);
        appendNumber(text, node->upgradeNo);
        appendField(text, node->upgradeState);
        appendNumber(text, node->reasonCode);
        appendField(text, node->reasonName);
        appendField(text, node->lastError);
        appendNumber(text, node->components.size());
        for (const S_CommunicationComponentStatus& component : node->components)
        {
            appendField(text, component.componentTypeId);
            appendNumber(text, component.componentIndex);
            appendField(text, component.version);
        }
    }
    return text;
}

std::string buildCommunicationFingerprint(std::uint64_t sceneGeneration, bool captureEnabled,
                                          std::uint64_t frameTraceVersion,
                                          const std::string& deviceStatusFingerprint)
{
    return std::to_string(sceneGeneration) + "|" + (captureEnabled ? "1" : "0") + "|" +
           std::to_string(frameTraceVersion) + "|" + deviceStatusFingerprint;
}

}  // namespace ota::backend
