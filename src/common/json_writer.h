#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace ota::backend
{

// Appends text as a JSON string exactly as toJsonText writes it: raw UTF-8, the short escapes
// and \u00xx for the other control characters. Throws std::invalid_argument on invalid UTF-8.
void appendJsonString(std::string& out, std::string_view text);

// Writes one JSON object straight into text, for large documents where building a JSON value
// first would cost more than the document is worth. The caller gives the members in ascending
// byte order of their keys, which is the order toJsonText writes, so the result is the same text.
class CJsonObjectWriter
{
public:
    explicit CJsonObjectWriter(std::string& out) : m_out(out) { m_out += '{'; }

    CJsonObjectWriter& text(std::string_view key, std::string_view value)
    {
        appendJsonString(member(key), value);
        return *this;
    }
    template <std::integral T>
    CJsonObjectWriter& number(std::string_view key, T value)
    {
        member(key);
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof(digits), value);
        m_out.append(digits, result.ptr);
        return *this;
    }
    CJsonObjectWriter& boolean(std::string_view key, bool value)
    {
        member(key) += value ? "true" : "false";
        return *this;
    }
    CJsonObjectWriter& null(std::string_view key)
    {
        member(key) += "null";
        return *this;
    }
    // Writes the key; the caller appends the value itself (a nested object or array).
    std::string& member(std::string_view key)
    {
        if (!m_empty)
        {
            m_out += ',';
        }
        m_empty = false;
        m_out += '"';
        m_out += key;  // keys are the writer's own identifiers: nothing to escape
        m_out += "\":";
        return m_out;
    }
    void close() { m_out += '}'; }

private:
    std::string& m_out;
    bool m_empty = true;
};

}  // namespace ota::backend
