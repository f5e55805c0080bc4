#include "common/clock.h"
#include "common/json_text.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

TEST(JsonText, WritesCompactSortedRawUtf8)
{
    nlohmann::json value = {{"zeta", 1}, {"alpha", {{"b", true}, {"a", nullptr}}}, {"名称", "储能"}};
    EXPECT_EQ(toJsonText(value), "{\"alpha\":{\"a\":null,\"b\":true},\"zeta\":1,\"名称\":\"储能\"}");
}

TEST(JsonText, SortsKeysByUnsignedBytes)
{
    nlohmann::json value = {{"\xC3\xA9", 1}, {"z", 2}, {"A", 3}};
    EXPECT_EQ(toJsonText(value), "{\"A\":3,\"z\":2,\"\xC3\xA9\":1}");
}

TEST(JsonText, InvalidUtf8IsAnErrorNotReplaced)
{
    nlohmann::json value = {{"bad", std::string("\xFF\xFE")}};
    std::string text = "stale";
    std::string error;
    EXPECT_FALSE(tryToJsonText(value, text, error));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(error.empty());
    EXPECT_THROW(toJsonText(value), nlohmann::json::type_error);
}

TEST(JsonText, ParseIsStrictAndNeverThrows)
{
    nlohmann::json value;
    std::string error;
    EXPECT_TRUE(parseJsonText("{\"a\":[1,2]}", value, error));
    EXPECT_EQ(value["a"][1], 2);
    EXPECT_FALSE(parseJsonText("{\"a\":1} trailing", value, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(parseJsonText("{\"a\":\"\xFF\"}", value, error));
    EXPECT_FALSE(parseJsonText("// comment\n{}", value, error));
    EXPECT_FALSE(parseJsonText("", value, error));
    // A NUL byte would otherwise end the input early and hide what follows it.
    EXPECT_FALSE(parseJsonText(std::string_view("{}\0garbage", 10), value, error));
    EXPECT_NE(error.find("NUL"), std::string::npos);
    // Deep nesting is refused before the parser builds it; the limit is configurable.
    EXPECT_FALSE(parseJsonText(std::string(200000, '['), value, error));
    EXPECT_EQ(error, "syntax error: nesting is deeper than 128 levels");
    const std::string nested = std::string(128, '[') + std::string(128, ']');
    EXPECT_TRUE(parseJsonText(nested, value, error)) << error;
    EXPECT_FALSE(parseJsonText(nested, value, error, 127));
    // Brackets inside strings do not count.
    EXPECT_TRUE(parseJsonText("[\"" + std::string(1000, '[') + "\\\"\"]", value, error, 2)) << error;
    // The parser's message echoes the offending bytes; it is made valid UTF-8 again.
    EXPECT_FALSE(parseJsonText("[\xFF]", value, error));
    std::string text;
    std::string serializeError;
    EXPECT_TRUE(tryToJsonText(nlohmann::json(error), text, serializeError)) << serializeError;
}

TEST(Clock, LocalTimeFormatting)
{
    const std::string text = formatLocalTime(currentUnixMs());
    ASSERT_EQ(text.size(), 19u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[13], ':');
    EXPECT_EQ(formatLocalTime(0).size(), 19u);
}

}  // namespace
}  // namespace ota::backend
