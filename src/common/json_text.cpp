#include "common/json_text.h"

#include "common/json_nesting_limit.h"
#include "common/message_text.h"

namespace ota::backend
{

std::string toJsonText(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

bool tryToJsonText(const nlohmann::json& value, std::string& text, std::string& error)
{
    error.clear();
    try
    {
        text = toJsonText(value);
        return true;
    }
    catch (const std::exception& exception)
    {
        text.clear();
        error = exception.what();
        return false;
    }
}

bool parseJsonText(std::string_view text, nlohmann::json& value, std::string& error, std::size_t maximumDepth)
{
    error.clear();
    // The parser treats a NUL byte as the end of input and would silently ignore everything after
    // it; a raw NUL is never valid JSON, so it is refused outright.
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
    {
        value = nullptr;
        error = "syntax error: NUL byte at offset " + std::to_string(nul);
        return false;
    }
    if (maximumJsonNestingDepth(text, maximumDepth) > maximumDepth)
    {
        value = nullptr;
        error = "syntax error: nesting is deeper than " + std::to_string(maximumDepth) + " levels";
        return false;
    }
    try
    {
        value = nlohmann::json::parse(text.begin(), text.end(), nullptr, true, false);
        return true;
    }
    catch (const std::exception& exception)
    {
        value = nullptr;
        error = toMessageText(exception.what());
        return false;
    }
}

const char* jsonTypeName(const nlohmann::json& value)
{
    return value.type_name();
}

}  // namespace ota::backend
