#include "common/json_nesting_limit.h"

namespace ota::backend
{

std::size_t maximumJsonNestingDepth(std::string_view text, std::size_t stopAbove)
{
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char character : text)
    {
        if (inString)
        {
            if (escaped)
            {
                escaped = false;
            }
            else if (character == '\\')
            {
                escaped = true;
            }
            else if (character == '"')
            {
                inString = false;
            }
            continue;
        }
        switch (character)
        {
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                ++depth;
                if (depth > deepest)
                {
                    deepest = depth;
                    if (deepest > stopAbove)
                    {
                        return deepest;
                    }
                }
                break;
            case ']':
            case '}':
                if (depth > 0)
                {
                    --depth;
                }
                break;
            default:
                break;
        }
    }
    return deepest;
}

}  // namespace ota::backend
