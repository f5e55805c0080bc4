#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace ota::backend
{

// The one way the system writes JSON: compact, object keys in ascending byte order (the
// default std::map object storage), non-ASCII text as raw UTF-8. Invalid UTF-8 is an error,
// never replaced: toJsonText throws nlohmann::json::type_error, tryToJsonText reports it.
std::string toJsonText(const nlohmann::json& value);
bool tryToJsonText(const nlohmann::json& value, std::string& text, std::string& error);

// Deep enough for every document the system reads; a text nested deeper is refused before parsing,
// because the parser would build every level (gigabytes for a body of nothing but '[').
inline constexpr std::size_t kDefaultMaximumJsonDepth = 128;

// Strict parse of a whole text (no comments, no trailing content, no NUL byte, valid UTF-8,
// nesting at most maximumDepth). Never throws; on failure the error holds the parser's message,
// made valid UTF-8 so that it can travel on in JSON responses.
bool parseJsonText(std::string_view text, nlohmann::json& value, std::string& error,
                   std::size_t maximumDepth = kDefaultMaximumJsonDepth);

// JSON type names used in validation messages ("object", "array", "string", ...).
const char* jsonTypeName(const nlohmann::json& value);

// True for a JSON integer (signed or unsigned), false for floats such as 8080.0.
inline bool isJsonInteger(const nlohmann::json& value)
{
    return value.is_number_integer();
}

}  // namespace ota::backend
