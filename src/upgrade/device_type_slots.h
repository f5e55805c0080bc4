#pragma once

// The slots of a task's per-type caps: how many devices of each device type ("EMU", "PCS", "BMS")
// may be between their target list and the end of their restart verification at once. A worker
// takes its device's slot before the target list and gives it back when its workflow ends; one
// waiting for a slot blocks only itself, and an abort or stop wakes it.
//
// Lock: `m_mutex` is a leaf; nothing else is taken under it.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace ota::backend
{

class CDeviceTypeSlots
{
public:
    // Caps by device type (compared ignoring case); a type without a cap never waits.
    void reset(const std::map<std::string, std::uint32_t>& caps);
    // Blocks until a slot of the type is free (true) or `cancelled` holds when looked at (false).
    bool acquire(const std::string& deviceType, const std::function<bool()>& cancelled);
    void release(const std::string& deviceType);
    // The cancel condition changed (abort, stop): waiting acquisitions look again.
    void wake();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::uint32_t> m_caps;   // upper-case type -> cap
    std::map<std::string, std::uint32_t> m_inUse;  // upper-case type -> slots held
};

// A slot held for one device; given back on destruction.
class CDeviceTypeSlot
{
public:
    CDeviceTypeSlot(CDeviceTypeSlots& slots, std::string deviceType)
        : m_slots(slots), m_deviceType(std::move(deviceType))
    {
    }
    ~CDeviceTypeSlot() { m_slots.release(m_deviceType); }
    CDeviceTypeSlot(const CDeviceTypeSlot&) = delete;
    CDeviceTypeSlot& operator=(const CDeviceTypeSlot&) = delete;

private:
    CDeviceTypeSlots& m_slots;
    const std::string m_deviceType;
};

}  // namespace ota::backend
