#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace ota::backend
{

// Writes the Prometheus text exposition format (version 0.0.4): each family's HELP and TYPE
// lines, then its samples. Label values are escaped (backslash, double quote, line feed); metric
// and label names are the caller's constants.
class CPrometheusText
{
public:
    using Label = std::pair<std::string_view, std::string_view>;

    // type: "counter", "gauge" or "histogram".
    void family(std::string_view name, std::string_view type, std::string_view help);
    void sample(std::string_view name, std::initializer_list<Label> labels, double value);
    void sample(std::string_view name, std::initializer_list<Label> labels, std::uint64_t value);
    void sample(std::string_view name, std::uint64_t value) { sample(name, {}, value); }

    const std::string& text() const { return m_text; }

private:
    void beginSample(std::string_view name, std::initializer_list<Label> labels);

    std::string m_text;
};

}  // namespace ota::backend
