#include "upgrade/device_type_slots.h"

#include <cctype>

namespace ota::backend
{

namespace
{

std::string upperCase(std::string text)
{
    for (char& character : text)
    {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    return text;
}

}  // namespace

void CDeviceTypeSlots::reset(const std::map<std::string, std::uint32_t>& caps)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_caps.clear();
    m_inUse.clear();
    for (const auto& [type, cap] : caps)
    {
        m_caps[upperCase(type)] = cap;
    }
}

bool CDeviceTypeSlots::acquire(const std::string& deviceType, const std::function<bool()>& cancelled)
{
    const std::string type = upperCase(deviceType);
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto cap = m_caps.find(type);
    if (cap == m_caps.end())
    {
        return !cancelled();
    }
    m_changed.wait(lock, [&] { return cancelled() || m_inUse[type] < cap->second; });
    if (cancelled())
    {
        return false;
    }
    ++m_inUse[type];
    return true;
}

void CDeviceTypeSlots::release(const std::string& deviceType)
{
    const std::string type = upperCase(deviceType);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto used = m_inUse.find(type);
        if (m_caps.count(type) == 0 || used == m_inUse.end() || used->second == 0)
        {
            return;
        }
        --used->second;
    }
    m_changed.notify_all();
}

void CDeviceTypeSlots::wake()
{
    // Under the lock: a waiter that looked at the condition before it changed is already waiting.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

}  // namespace ota::backend
