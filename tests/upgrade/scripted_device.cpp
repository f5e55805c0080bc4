#include "upgrade/scripted_device.h"

#include "common/digest.h"
#include "upgrade/device_event_builders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace ota::test
{
namespace
{

using backend::E_DeviceConnectionState;
using backend::E_ProtocolCommandType;
using backend::E_ProtocolStage;

constexpr std::uint8_t kSuccess = 1;
constexpr std::uint8_t kContextReset = 3;

bool sameComponentType(const std::string& left, const std::string& right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [](char a, char b) {
                          return std::toupper(static_cast<unsigned char>(a)) ==
                                 std::toupper(static_cast<unsigned char>(b));
                      });
}

}  // namespace

S_DeviceReply S_DeviceReply::of(backend::S_ProtocolEvent event, std::chrono::milliseconds delay)
{
    S_DeviceReply reply;
    reply.event = std::move(event);
    reply.delay = delay;
    return reply;
}

S_DeviceReply S_DeviceReply::connection(E_DeviceConnectionState state, std::chrono::milliseconds delay)
{
    S_DeviceReply reply;
    reply.isConnectionChange = true;
    reply.state = state;
    reply.delay = delay;
    return reply;
}

CScriptedDevice::CScriptedDevice(std::string nodeId,
                                 std::vector<backend::S_ProtocolEventComponent> components)
    : m_nodeId(std::move(nodeId)), m_components(std::move(components))
{
}

void CScriptedDevice::setHook(DeviceReplyHook hook)
{
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

void CScriptedDevice::setUpgradeState(const std::string& upgradeState, std::uint16_t reasonCode)
{
    std::lock_guard lock(m_mutex);
    m_upgradeState = upgradeState;
    m_reasonCode = reasonCode;
}

void CScriptedDevice::setApplyTargetsOnRestart(bool apply)
{
    std::lock_guard lock(m_mutex);
    m_applyTargetsOnRestart = apply;
}

std::vector<backend::S_ProtocolEventComponent> CScriptedDevice::components() const
{
    std::lock_guard lock(m_mutex);
    return m_components;
}

std::string CScriptedDevice::receivedFile(std::uint8_t fileNo) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_files.find(fileNo);
    return found == m_files.end() ? std::string() : found->second.data;
}

bool CScriptedDevice::restarted() const
{
    std::lock_guard lock(m_mutex);
    return m_restarted;
}

std::vector<S_DeviceReply> CScriptedDevice::answer(const S_RecordedSend& send)
{
    DeviceReplyHook hook;
    std::vector<S_DeviceReply> replies;
    {
        std::lock_guard lock(m_mutex);
        replies = defaultAnswer(send);
        hook = m_hook;
    }
    if (hook)
    {
        hook(send, replies);
    }
    return replies;
}

std::vector<S_DeviceReply> CScriptedDevice::defaultAnswer(const S_RecordedSend& send)
{
    const std::uint32_t upgradeNo = send.upgradeNo;
    std::vector<S_DeviceReply> replies;
    switch (send.kind)
    {
        case E_SendKind::STATUS_QUERY:
            replies.push_back(
                S_DeviceReply::of(deviceStatus(upgradeNo, m_upgradeState, m_reasonCode, m_components)));
            break;
        case E_SendKind::TARGET_LIST:
            // A new target list starts a new upgrade context.
            m_targets = send.targetList;
            m_announcedFiles = 0;
            m_declarationOrder.clear();
            m_files.clear();
            replies.push_back(S_DeviceReply::of(ack(upgradeNo, E_ProtocolStage::PREPARATION, kSuccess)));
            break;
        case E_SendKind::FILE_INFO:
            m_files[send.fileInfo.fileNo] = {send.fileInfo, {}};
            m_declarationOrder.push_back(send.fileInfo.fileNo);
            if (m_declarationOrder.size() == m_announcedFiles)
            {
                replies.push_back(
                    S_DeviceReply::of(ack(upgradeNo, E_ProtocolStage::FILE_TRANSFER, kSuccess)));
            }
            break;
        case E_SendKind::FILE_CHUNK:
        {
            const auto& chunk = send.fileChunk;
            auto& file = m_files[chunk.fileNo];
            const std::size_t chunkSize = file.info.chunkSize == 0 ? chunk.data.size() : file.info.chunkSize;
            const std::size_t offset = static_cast<std::size_t>(chunk.chunkNo) * chunkSize;
            if (file.data.size() < offset + chunk.data.size())
            {
                file.data.resize(offset + chunk.data.size());
            }
            std::copy(chunk.data.begin(), chunk.data.end(),
                      file.data.begin() + static_cast<std::ptrdiff_t>(offset));
            const std::uint32_t crc = backend::crc32Of(chunk.data.data(), chunk.data.size());
            replies.push_back(
                S_DeviceReply::of(chunkReport(upgradeNo, chunk.fileNo, chunk.chunkNo, kSuccess, crc)));
            break;
        }
        case E_SendKind::COMMAND:
        {
            const auto stage = static_cast<E_ProtocolStage>(send.command.stage);
            switch (static_cast<E_ProtocolCommandType>(send.command.commandType))
            {
                case E_ProtocolCommandType::PREPARE_UPGRADE:
                    replies.push_back(S_DeviceReply::of(ack(upgradeNo, stage, kSuccess)));
                    replies.push_back(S_DeviceReply::of(
                        stageReport(upgradeNo, E_ProtocolStage::PREPARATION, kSuccess, 100)));
                    break;
                case E_ProtocolCommandType::START_TRANSFER:
                    m_announcedFiles = send.command.commandParam;
                    m_declarationOrder.clear();
                    replies.push_back(S_DeviceReply::of(ack(upgradeNo, stage, kSuccess)));
                    break;
                case E_ProtocolCommandType::FINISH_TRANSFER:
                    replies.push_back(S_DeviceReply::of(ack(upgradeNo, stage, kSuccess)));
                    for (const std::uint8_t fileNo : m_declarationOrder)
                    {
                        const auto& data = m_files[fileNo].data;
                        replies.push_back(S_DeviceReply::of(
                            verifyReport(upgradeNo, fileNo, kSuccess, static_cast<std::uint32_t>(data.size()),
                                         backend::CSha256::digestOf(data.data(), data.size()))));
                    }
                    replies.push_back(S_DeviceReply::of(
                        stageReport(upgradeNo, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION, kSuccess, 100)));
                    break;
                case E_ProtocolCommandType::START_FLASH:
                    replies.push_back(S_DeviceReply::of(ack(upgradeNo, stage, kSuccess)));
                    replies.push_back(
                        S_DeviceReply::of(stageReport(upgradeNo, E_ProtocolStage::FLASHING, kSuccess, 100)));
                    break;
                case E_ProtocolCommandType::RESTART_VERIFY:
                    replies.push_back(S_DeviceReply::of(ack(upgradeNo, stage, kSuccess)));
                    replies.push_back(S_DeviceReply::connection(E_DeviceConnectionState::DISCONNECTED));
                    replies.push_back(S_DeviceReply::connection(E_DeviceConnectionState::CONNECTED));
                    m_restarted = true;
                    if (m_applyTargetsOnRestart)
                    {
                        applyTargets();
                    }
                    break;
                case E_ProtocolCommandType::RESET_CONTEXT:
                    m_targets = {};
                    m_files.clear();
                    m_declarationOrder.clear();
                    replies.push_back(S_DeviceReply::of(ack(upgradeNo, stage, kSuccess)));
                    replies.push_back(S_DeviceReply::of(stageReport(
                        upgradeNo, stage, kContextReset, 0,
                        backend::toProtocolByte(backend::E_ProtocolReasonCode::UPGRADE_CONTEXT_RESET))));
                    break;
                default:
                    ADD_FAILURE() << m_nodeId << " received an unknown command type "
                                  << static_cast<int>(send.command.commandType);
                    break;
            }
            break;
        }
    }
    return replies;
}

void CScriptedDevice::applyTargets()
{
    for (const auto& target : m_targets.targets)
    {
        for (auto& component : m_components)
        {
            if (sameComponentType(component.componentTypeId(), target.componentTypeId) &&
                component.componentIndex == target.componentIndex)
            {
                component.version = target.targetVersion;
            }
        }
    }
}

CScriptedSite::CScriptedSite(CScriptedTransport& transport) : m_transport(transport)
{
    m_transport.setResponder([this](const S_RecordedSend& send, CScriptedTransport& via)
                             { respond(send, via); });
}

CScriptedSite::~CScriptedSite()
{
    m_transport.setResponder({});
}

CScriptedDevice& CScriptedSite::addDevice(const std::string& nodeId,
                                          std::vector<backend::S_ProtocolEventComponent> components,
                                          E_DeviceConnectionState state)
{
    std::lock_guard lock(m_mutex);
    auto& slot = m_devices[nodeId];
    slot = std::make_unique<CScriptedDevice>(nodeId, std::move(components));
    m_transport.setNodeConnection(nodeId, state);
    return *slot;
}

CScriptedDevice& CScriptedSite::device(const std::string& nodeId)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_devices.find(nodeId);
    if (found == m_devices.end())
    {
        throw std::out_of_range("no scripted device " + nodeId);
    }
    return *found->second;
}

void CScriptedSite::respond(const S_RecordedSend& send, CScriptedTransport& transport)
{
    CScriptedDevice* device = nullptr;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_devices.find(send.nodeId);
        if (found == m_devices.end())
        {
            return;
        }
        device = found->second.get();
    }
    for (const auto& reply : device->answer(send))
    {
        const bool now = reply.delay.count() <= 0;
        if (reply.isConnectionChange)
        {
            now ? transport.deliverConnectionStateNow(send.nodeId, reply.state)
                : transport.deliverConnectionState(send.nodeId, reply.state, reply.delay);
        }
        else
        {
            now ? transport.deliverEventNow(send.nodeId, reply.event)
                : transport.deliverEvent(send.nodeId, reply.event, reply.delay);
        }
    }
}

}  // namespace ota::test
