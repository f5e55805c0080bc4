#include "rollout/rollout_types.h"

#include "rollout/name_table.h"

namespace ota::backend
{

namespace
{

constexpr NameTable<E_RolloutStatus, 10> kStatusNames{{
    {E_RolloutStatus::READY, "READY"},
    {E_RolloutStatus::SCHEDULED, "SCHEDULED"},
    {E_RolloutStatus::RUNNING, "RUNNING"},
    {E_RolloutStatus::PAUSED, "PAUSED"},
    {E_RolloutStatus::HALTED, "HALTED"},
    {E_RolloutStatus::CANCELLED, "CANCELLED"},
    {E_RolloutStatus::SUCCESS, "SUCCESS"},
    {E_RolloutStatus::FAILED, "FAILED"},
    {E_RolloutStatus::AWAITING_APPROVAL, "AWAITING_APPROVAL"},
    {E_RolloutStatus::REJECTED, "REJECTED"},
}};

constexpr NameTable<E_RolloutGroupStatus, 6> kGroupStatusNames{{
    {E_RolloutGroupStatus::PENDING, "PENDING"},
    {E_RolloutGroupStatus::RUNNING, "RUNNING"},
    {E_RolloutGroupStatus::SUCCESS, "SUCCESS"},
    {E_RolloutGroupStatus::FAILED, "FAILED"},
    {E_RolloutGroupStatus::ABORTED, "ABORTED"},
    {E_RolloutGroupStatus::SOAKING, "SOAKING"},
}};

constexpr NameTable<E_RolloutDeviceResult, 6> kDeviceResultNames{{
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
    return nameIn(kStatusNames, status);
}

const char* rolloutGroupStatusName(E_RolloutGroupStatus status)
{
    return nameIn(kGroupStatusNames, status);
}

const char* rolloutDeviceResultName(E_RolloutDeviceResult result)
{
    return nameIn(kDeviceResultNames, result);
}

std::optional<E_RolloutStatus> parseRolloutStatus(std::string_view text)
{
    return valueIn(kStatusNames, text);
}

std::optional<E_RolloutGroupStatus> parseRolloutGroupStatus(std::string_view text)
{
    return valueIn(kGroupStatusNames, text);
}

std::optional<E_RolloutDeviceResult> parseRolloutDeviceResult(std::string_view text)
{
    return valueIn(kDeviceResultNames, text);
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
           status == E_RolloutStatus::FAILED || status == E_RolloutStatus::REJECTED;
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
