#include "common/json_canonical.h"

#include "common/json_text.h"
#include "common/utf8.h"

#include <cstdint>

namespace ota::backend
{
namespace
{

class CCanonicalJsonChecker
{
public:
    explicit CCanonicalJsonChecker(std::string_view text) : m_text(text) {}

    bool check() { return value(0) && m_position == m_text.size(); }

private:
    bool atEnd() const { return m_position >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_position]; }

    // depth: the nesting level of the enclosing containers.
    bool value(std::size_t depth)
    {
        if (atEnd())
        {
            return false;
        }
        switch (peek())
        {
            case '{':
                return object(depth + 1);
            case '[':
                return array(depth + 1);
            case '"':
            {
                bool escaped = false;
                return string(escaped);
            }
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return integer();
        }
    }

    // Nesting beyond what the reader accepts takes the slow path, which reports it.
    bool object(std::size_t depth)
    {
        if (depth > kDefaultMaximumJsonDepth)
        {
            return false;
        }
        ++m_position;
        if (peek() == '}')
        {
            ++m_position;
            return true;
        }
        std::string_view previousKey;
        for (bool first = true;; first = false)
        {
            const std::size_t keyStart = m_position + 1;
            bool escaped = false;
            if (peek() != '"' || !string(escaped) || escaped)
            {
                return false;  // keys with escapes are compared unescaped by the writer: slow path
            }
            const std::string_view key = m_text.substr(keyStart, m_position - 1 - keyStart);
            // std::string orders bytes as unsigned, like this comparison.
            if (!first && key.compare(previousKey) <= 0)
            {
                return false;
            }
            previousKey = key;
            if (peek() != ':')
            {
                return false;
            }
            ++m_position;
            if (!value(depth))
            {
                return false;
            }
            if (peek() == '}')
            {
                ++m_position;
                return true;
            }
            if (peek() != ',')
            {
                return false;
            }
            ++m_position;
        }
    }

    bool array(std::size_t depth)
    {
        if (depth > kDefaultMaximumJsonDepth)
        {
            return false;
        }
        ++m_position;
        if (peek() == ']')
        {
            ++m_position;
            return true;
        }
        for (;;)
        {
            if (!value(depth))
            {
                return false;
            }
            if (peek() == ']')
            {
                ++m_position;
                return true;
            }
            if (peek() != ',')
            {
                return false;
            }
            ++m_position;
        }
    }

    // At the opening quote; leaves the position after the closing one.
    bool string(bool& escaped)
    {
        ++m_position;
        while (!atEnd())
        {
            const auto byte = static_cast<std::uint8_t>(m_text[m_position]);
            if (byte == '"')
            {
                ++m_position;
                return true;
            }
            if (byte < 0x20)
            {
                return false;
            }
            if (byte == '\\')
            {
                escaped = true;
                if (!escape())
                {
                    return false;
                }
                continue;
            }
            if (byte < 0x80)
            {
                ++m_position;
                continue;
            }
            const std::size_t length = utf8SequenceLength(m_text.substr(m_position));
            if (length == 0)
            {
                return false;
            }
            m_position += length;
        }
        return false;
    }

    // The writer's escapes only: the short forms, and \u00xx (lower-case hex) for the other
    // control characters.
    bool escape()
    {
        if (m_position + 1 >= m_text.size())
        {
            return false;
        }
        const char kind = m_text[m_position + 1];
        if (kind == '"' || kind == '\\' || kind == 'b' || kind == 'f' || kind == 'n' || kind == 'r' ||
            kind == 't')
        {
            m_position += 2;
            return true;
        }
        if (kind != 'u' || m_position + 6 > m_text.size() || m_text.substr(m_position + 2, 2) != "00")
        {
            return false;
        }
        int code = 0;
        for (const char digit : m_text.substr(m_position + 4, 2))
        {
            if (digit >= '0' && digit <= '9')
            {
                code = code * 16 + (digit - '0');
            }
            else if (digit >= 'a' && digit <= 'f')
            {
                code = code * 16 + (digit - 'a' + 10);
            }
            else
            {
                return false;
            }
        }
        const bool hasShortForm =
            code == 0x08 || code == 0x09 || code == 0x0A || code == 0x0C || code == 0x0D;
        if (code >= 0x20 || hasShortForm)
        {
            return false;
        }
        m_position += 6;
        return true;
    }

    bool literal(std::string_view word)
    {
        if (m_text.substr(m_position, word.size()) != word)
        {
            return false;
        }
        m_position += word.size();
        return true;
    }

    // An integer that the reader keeps as a 64-bit integer and writes back digit for digit.
    bool integer()
    {
        const bool negative = peek() == '-';
        if (negative)
        {
            ++m_position;
        }
        const std::size_t digitsStart = m_position;
        while (!atEnd() && peek() >= '0' && peek() <= '9')
        {
            ++m_position;
        }
        const std::string_view digits = m_text.substr(digitsStart, m_position - digitsStart);
        if (digits.empty() || (digits.size() > 1 && digits.front() == '0') || (negative && digits == "0"))
        {
            return false;
        }
        if (peek() == '.' || peek() == 'e' || peek() == 'E')
        {
            return false;  // floats are written in the writer's own form: slow path
        }
        const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
        return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
    }

    std::string_view m_text;
    std::size_t m_position = 0;
};

}  // namespace

bool isCanonicalJsonText(std::string_view text)
{
    return CCanonicalJsonChecker(text).check();
}

}  // namespace ota::backend
