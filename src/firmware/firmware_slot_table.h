#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

// Which device component a firmware slot is for; componentIndex 0 accepts any index.
struct S_FirmwareFileSlot
{
    std::string fileSlotKey;
    std::string componentTypeId;
    std::uint8_t componentIndex = 0;
};

// Exact, case-sensitive lookup in the fixed slot table.
std::optional<S_FirmwareFileSlot> findFileSlot(std::string_view key);

// The slot of a component type (each type has one); none for a type no slot serves.
std::optional<S_FirmwareFileSlot> findFileSlotForComponent(std::string_view componentTypeId);

}  // namespace ota::backend
