#include "app/prometheus_text.h"

#include <cmath>
#include <cstdio>

namespace ota::backend
{

void CPrometheusText::family(std::string_view name, std::string_view type, std::string_view help)
{
    m_text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    m_text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void CPrometheusText::beginSample(std::string_view name, std::initializer_list<Label> labels)
{
    m_text.append(name);
    if (labels.size() == 0)
    {
        m_text.push_back(' ');
        return;
    }
    char separator = '{';
    for (const auto& [label, value] : labels)
    {
        m_text.push_back(separator);
        m_text.append(label).append("=\"");
        for (const char c : value)
        {
            switch (c)
            {
                case '\\':
                    m_text.append("\\\\");
                    break;
                case '"':
                    m_text.append("\\\"");
                    break;
                case '\n':
                    m_text.append("\\n");
                    break;
                default:
                    m_text.push_back(c);
            }
        }
        m_text.push_back('"');
        separator = ',';
    }
    m_text.append("} ");
}

void CPrometheusText::sample(std::string_view name, std::initializer_list<Label> labels, std::uint64_t value)
{
    beginSample(name, labels);
    m_text.append(std::to_string(value)).push_back('\n');
}

void CPrometheusText::sample(std::string_view name, std::initializer_list<Label> labels, double value)
{
    beginSample(name, labels);
    if (std::isnan(value))
    {
        m_text.append("NaN\n");
        return;
    }
    if (std::isinf(value))
    {
        m_text.append(value > 0 ? "+Inf\n" : "-Inf\n");
        return;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    m_text.append(buffer).push_back('\n');
}

}  // namespace ota::backend
