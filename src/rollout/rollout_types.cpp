#include "rollout/rollout_types.h"

#include <array>
#include <utility>

namespace ota::backend
{

namespace
{

template <typename Enum, std::size_t N>
std::optional<Enum> parseName(const std::array<std::pair<Enum, const char*>, N>& names, std::string_view text)
{
    for (const auto& [value, name] : names)
    {
        if (text == name)
        {
            return value;
        }
    }
    return std::nullopt;
}

template <typename Enum, std::size_t N>
const char* nameOf(const std::array<std::pair<Enum, const char*>, N>& names, Enum value)
{
    for (const auto& [candidate, name] : names)
    {
        if (candidate == value)
        {
            return name;
        }
    }
    return "UNKNOWN";
}

constexpr std::array<std::pair<E_RolloutStatus, const char*>, 8> kStatusNames{{
    {E_RolloutStatus::READY, "READY"},
    {E_RolloutStatus::SCHEDULED, "SCHEDULED"},
    {E_RolloutStatus::RUNNING, "RUNNING"},
    {E_RolloutStatus::PAUSED, "PAUSED"},
    {E_RolloutStatus::HALTED, "HALTED"},
    {E_RolloutStatus::CANCELLED, "CANCELLED"},
    {E_RolloutStatus::SUCCESS, "SUCCESS"},
    {E_RolloutStatus::FAILED, "FAILED"},
}};

constexpr std::array<std::pair<E_RolloutGroupStatus, const char*>, 5> kGroupStatusNames{{
    {E_RolloutGroupStatus::PENDING, "PENDING"},
    {E_RolloutGroupStatus::RUNNING, "RUNNING"},
    {E_RolloutGroupStatus::SUCCESS, "SUCCESS"},
    {E_RolloutGroupStatus::FAILED, "FAILED"},
    {E_RolloutGroupStatus::ABORTED, "ABORTED"},
}};

constexpr std::array<std::pair<E_RolloutDeviceResult, const char*>, 6> kDeviceResultNames{{
    {E_RolloutDeviceResult::PENDING, "PENDING"},
    {E_RolloutDeviceResult::RUNNING, "RUNNING"},
    {E_RolloutDeviceResult::SUCCESS, "SUCCESS"},
    {E_RolloutDeviceResult::FAILED, "FAILED"},
    {E_RolloutDeviceResult::ABORTED, "ABORTED"},
    {E_RolloutDeviceResult::SKIPPED, "SKIPPED"},
}};

}  // namespace

const char* rolloutStatusName(E_RolloutStatus status)
{
    return nameOf(kStatusNames, status);
}

const char* rolloutGroupStatusName(E_RolloutGroupStatus status)
{
    return nameOf(kGroupStatusNames, status);
}

const char* rolloutDeviceResultName(E_RolloutDeviceResult result)
{
    return nameOf(kDeviceResultNames, result);
}

std::optional<E_RolloutStatus> parseRolloutStatus(std::string_view text)
{
    return parseName(kStatusNames, text);
}

std::optional<E_RolloutGroupStatus> parseRolloutGroupStatus(std::string_view text)
{
    return parseName(kGroupStatusNames, text);
}

std::optional<E_RolloutDeviceResult> parseRolloutDeviceResult(std::string_view text)
{
    return parseName(kDeviceResultNames, text);
}

bool rolloutHoldsSite(E_RolloutStatus status)
{
    return status == E_RolloutStatus::SCHEDULED || status == E_RolloutStatus::RUNNING;
}

bool isRolloutOpen(E_RolloutStatus status)
{
    return rolloutHoldsSite(status) || status == E_RolloutStatus::PAUSED || status == E_RolloutStatus::HALTED;
}

bool isRolloutFinished(E_RolloutStatus status)
{
    return status == E_RolloutStatus::CANCELLED || status == E_RolloutStatus::SUCCESS ||
           status == E_RolloutStatus::FAILED;
}

void S_RolloutCounts::add(E_RolloutDeviceResult result)
{
    ++deviceCount;
    switch (result)
    {
        case E_RolloutDeviceResult::SUCCESS:
            ++successCount;
            break;
        case E_RolloutDeviceResult::FAILED:
            ++failedCount;
            break;
        case E_RolloutDeviceResult::ABORTED:
            ++abortedCount;
            break;
        case E_RolloutDeviceResult::SKIPPED:
            ++skippedCount;
            break;
        case E_RolloutDeviceResult::PENDING:
        case E_RolloutDeviceResult::RUNNING:
            break;
    }
}

}  // namespace ota::backend
