#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <initializer_list>
#include <string>

namespace ota::backend
{

// The strict request readers shared by inspection and preview. Labels name the value's location,
// such as "request" or "files[2]".

// The request body as a JSON object: "Request body is not valid JSON: " + the parser's text, or
// "Request body must be a JSON object".
bool parseRequestObject(const std::string& requestJson, nlohmann::json& request, std::string& error);

// The object must hold exactly the listed members.
bool validateExactFields(const nlohmann::json& value, const std::string& label,
                         std::initializer_list<const char*> names, std::string& error);

// A string member of 1..maxBytes bytes.
bool readRequiredString(const nlohmann::json& object, const std::string& label, const char* name,
                        std::size_t maxBytes, std::string& value, std::string& error);

// A version text for a protocol field of fieldWidth bytes: 1..fieldWidth-1 bytes, no NUL byte.
bool readVersionString(const nlohmann::json& object, const std::string& label, const char* name,
                       std::size_t fieldWidth, std::string& value, std::string& error);

}  // namespace ota::backend
