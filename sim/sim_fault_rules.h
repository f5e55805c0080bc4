#pragma once

#include "sim/sim_fault.h"

#include <cstdint>

namespace ota::backend
{

// Which optional fields of S_SimFault a fault kind reads, and which it needs. Shared by the
// API check and the scenario parser, so both accept exactly the same faults.
enum E_SimFaultField : std::uint32_t
{
    FIELD_REQUEST = 1u << 0,
    FIELD_STAGE = 1u << 1,
    FIELD_FILE_NO = 1u << 2,
    FIELD_CHUNK_NO = 1u << 3,
    FIELD_REASON_CODE = 1u << 4,
    FIELD_DELAY_MS = 1u << 5,
    FIELD_ACK_STAGE = 1u << 6,
    FIELD_DEVICE_TYPE = 1u << 7,
    FIELD_COUNT = 1u << 8,
    FIELD_PERCENTAGE = 1u << 9,
};

struct S_SimFaultFieldRule
{
    std::uint32_t allowed = 0;
    std::uint32_t required = 0;
};

S_SimFaultFieldRule simFaultFieldRule(E_SimFaultKind kind);

// The scenario key of a field ("request", "stage", ...).
const char* simFaultFieldKey(E_SimFaultField field);

// Requests a kind may be triggered by (for kinds that read FIELD_REQUEST).
bool isRequestAllowedForFault(E_SimFaultKind kind, E_SimRequest request);
// Stages a kind may name (for kinds that read FIELD_STAGE).
bool isStageAllowedForFault(E_SimFaultKind kind, std::uint8_t stage);

inline constexpr std::uint32_t MAX_FAULT_DELAY_MS = 600000;
inline constexpr std::uint32_t MAX_PROGRESS_FLOOD_COUNT = 100000;
inline constexpr std::uint32_t MAX_GARBAGE_BYTE_COUNT = 65536;
inline constexpr std::uint32_t DEFAULT_PROGRESS_FLOOD_COUNT = 1000;
inline constexpr std::uint32_t DEFAULT_GARBAGE_BYTE_COUNT = 64;

}  // namespace ota::backend
