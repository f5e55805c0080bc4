#include "firmware/firmware_slot_table.h"

#include <map>

namespace ota::backend
{

namespace
{

// Built on first use; the initialisation of a function-local static is thread-safe.
const std::map<std::string, S_FirmwareFileSlot, std::less<>>& slotTable()
{
    static const std::map<std::string, S_FirmwareFileSlot, std::less<>> table = [] {
        std::map<std::string, S_FirmwareFileSlot, std::less<>> slots;
        const S_FirmwareFileSlot rows[] = {
            {"emu:emu", "EMU", 1},       {"pcs:dsp1", "PCS_DSP1", 1}, {"pcs:dsp2", "PCS_DSP2", 1},
            {"pcs:fpga", "PCS_FPGA", 1}, {"pcs:arm", "PCS_ARM", 1},   {"bms:bau", "BMS_BAU", 1},
            {"bms:beu", "BMS_BEU", 1},   {"bms:bcu", "BMS_BCU", 0},
        };
        for (const S_FirmwareFileSlot& row : rows)
        {
            slots.emplace(row.fileSlotKey, row);
        }
        return slots;
    }();
    return table;
}

}  // namespace

std::optional<S_FirmwareFileSlot> findFileSlot(std::string_view key)
{
    const auto& table = slotTable();
    const auto found = table.find(key);
    if (found == table.end())
    {
        return std::nullopt;
    }
    return found->second;
}

std::optional<S_FirmwareFileSlot> findFileSlotForComponent(std::string_view componentTypeId)
{
    for (const auto& [key, slot] : slotTable())
    {
        if (slot.componentTypeId == componentTypeId)
        {
            return slot;
        }
    }
    return std::nullopt;
}

}  // namespace ota::backend
