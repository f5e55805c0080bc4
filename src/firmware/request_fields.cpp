#include "firmware/request_fields.h"

#include "common/json_text.h"

namespace ota::backend
{

bool parseRequestObject(const std::string& requestJson, nlohmann::json& request, std::string& error)
{
    std::string parseError;
    if (!parseJsonText(requestJson, request, parseError))
    {
        error = "Request body is not valid JSON: " + parseError;
        return false;
    }
    if (!request.is_object())
    {
        error = "Request body must be a JSON object";
        return false;
    }
    return true;
}

bool validateExactFields(const nlohmann::json& value, const std::string& label,
                         std::initializer_list<const char*> names, std::string& error)
{
    if (!value.is_object())
    {
        error = label + " must be a JSON object";
        return false;
    }
    if (value.size() != names.size())
    {
        error = label + " contains missing or unsupported fields";
        return false;
    }
    for (const char* name : names)
    {
        if (!value.contains(name))
        {
            error = label + " must contain field '" + name + "'";
            return false;
        }
    }
    return true;
}

bool readRequiredString(const nlohmann::json& object, const std::string& label, const char* name,
                        std::size_t maxBytes, std::string& value, std::string& error)
{
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string())
    {
        error = label + "." + name + " must be a string";
        return false;
    }
    const std::string& text = found->get_ref<const std::string&>();
    if (text.empty() || text.size() > maxBytes)
    {
        error = label + "." + name + " length must be between 1 and " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    value = text;
    return true;
}

bool readVersionString(const nlohmann::json& object, const std::string& label, const char* name,
                       std::size_t fieldWidth, std::string& value, std::string& error)
{
    if (!readRequiredString(object, label, name, fieldWidth > 0 ? fieldWidth - 1 : 0, value, error))
    {
        return false;
    }
    if (value.find('\0') != std::string::npos)
    {
        value.clear();
        error = label + "." + name + " must not contain NUL bytes";
        return false;
    }
    return true;
}

}  // namespace ota::backend
