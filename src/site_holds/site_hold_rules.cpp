#include "site_holds/site_hold_rules.h"

#include "common/utf8.h"

namespace ota::backend
{

namespace
{

bool isSourceCharacter(char character)
{
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
           (character >= '0' && character <= '9') || character == '_' || character == '-' || character == '.';
}

// The bytes of text that hold at most maxCharacters whole, well-formed characters; whole tells
// whether that is all of it.
std::size_t wellFormedPrefix(std::string_view text, std::size_t maxCharacters, bool& whole)
{
    std::size_t offset = 0;
    std::size_t characters = 0;
    while (offset < text.size() && characters < maxCharacters)
    {
        const std::size_t length = utf8SequenceLength(text.substr(offset));
        if (length == 0)
        {
            break;
        }
        offset += length;
        ++characters;
    }
    whole = offset == text.size();
    return offset;
}

}  // namespace

bool isValidHoldSource(std::string_view source)
{
    if (source.empty() || source.size() > kMaxHoldSourceBytes)
    {
        return false;
    }
    for (const char character : source)
    {
        if (!isSourceCharacter(character))
        {
            return false;
        }
    }
    return true;
}

bool isValidHoldReason(std::string_view reason)
{
    bool whole = false;
    wellFormedPrefix(reason, kMaxHoldReasonCharacters, whole);
    return whole;
}

std::string_view holdReasonOfFileText(std::string_view text)
{
    std::string_view line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
    {
        line.remove_suffix(1);
    }
    bool whole = false;
    return line.substr(0, wellFormedPrefix(line, kMaxHoldReasonCharacters, whole));
}

}  // namespace ota::backend
