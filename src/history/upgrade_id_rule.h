#pragma once

#include <string_view>

namespace ota::backend
{

inline constexpr const char* kUpgradeIdRuleMessage = "upgradeId must contain 1-32 ASCII letters, digits or underscore";

// 1 to 32 characters, each an ASCII letter, digit or underscore.
inline bool isValidUpgradeId(std::string_view upgradeId)
{
    if (upgradeId.empty() || upgradeId.size() > 32)
    {
        return false;
    }
    for (const char character : upgradeId)
    {
        const bool allowed = (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
                             (character >= '0' && character <= '9') || character == '_';
        if (!allowed)
        {
            return false;
        }
    }
    return true;
}

}  // namespace ota::backend
