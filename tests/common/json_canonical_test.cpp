// The canonical-form check and the text writer agree with the JSON library's writer, so a document
// can be embedded as text, or written without building it first, with the same bytes as a result.
#include "common/json_canonical.h"
#include "common/json_text.h"
#include "common/json_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace ota::backend
{
namespace
{

using json = nlohmann::json;

std::string randomPieces(std::mt19937& random, const std::vector<std::string>& pieces)
{
    std::string text;
    const int length = static_cast<int>(random() % 6);
    for (int i = 0; i < length; ++i)
    {
        text += pieces[random() % pieces.size()];
    }
    return text;
}

std::string randomText(std::mt19937& random)
{
    static const std::vector<std::string> pieces = {
        "a",  "Z",  "0",    " ",    "\"",   "\\",   "/", "\n",
        "\t", "\b", "\x01", "\x1F", "\x7F", "储能", "é", "\xF0\x9F\x98\x80",
        "key"};
    return randomPieces(random, pieces);
}

// Keys as the backend writes them: no character that needs an escape.
std::string randomKey(std::mt19937& random)
{
    static const std::vector<std::string> pieces = {
        "a", "Z", "0", " ", "/", "\x7F", "储能", "é", "\xF0\x9F\x98\x80", "id"};
    return randomPieces(random, pieces);
}

json randomValue(std::mt19937& random, int depth)
{
    switch (random() % (depth > 3 ? 5 : 7))
    {
        case 0:
            return nullptr;
        case 1:
            return random() % 2 == 0;
        case 2:
        {
            static const std::vector<std::int64_t> edges = {0, -1, 1, INT64_MIN, INT64_MAX, 1765000000000};
            return edges[random() % edges.size()];
        }
        case 3:
            return std::numeric_limits<std::uint64_t>::max() - random() % 3;
        case 4:
            return randomText(random);
        case 5:
        {
            json array = json::array();
            for (unsigned i = random() % 4; i > 0; --i)
            {
                array.push_back(randomValue(random, depth + 1));
            }
            return array;
        }
        default:
        {
            json object = json::object();
            for (unsigned i = random() % 5; i > 0; --i)
            {
                object[randomKey(random)] = randomValue(random, depth + 1);
            }
            return object;
        }
    }
}

TEST(JsonCanonical, WhatTheWriterWritesIsCanonical)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round)
    {
        const std::string text = toJsonText(randomValue(random, 0));
        EXPECT_TRUE(isCanonicalJsonText(text)) << text;
    }
    EXPECT_TRUE(isCanonicalJsonText("18446744073709551615"));
    EXPECT_TRUE(isCanonicalJsonText("-9223372036854775808"));
    EXPECT_TRUE(isCanonicalJsonText("\"\\u0000\\u001f\\b\""));
    EXPECT_TRUE(isCanonicalJsonText(std::string(128, '[') + std::string(128, ']')));
}

TEST(JsonCanonical, ValidJsonInAnotherFormTakesTheSlowPath)
{
    for (const std::string text : {" {}", "{} ", "[1, 2]", "{\"b\":1,\"a\":2}", "{\"a\":1,\"a\":2}", "1e5",
                                   "-0", "18446744073709551616", "-9223372036854775809", "\"\\/\"",
                                   "\"\\u0041\"", "\"\\u000a\"", "\"\\u001F\"", "\"\\ud83d\\ude00\""})
    {
        EXPECT_FALSE(isCanonicalJsonText(text)) << text;
        // The reader and writer would indeed change it (or keep only one duplicate).
        EXPECT_NE(toJsonText(json::parse(text)), text) << text;
    }
    // Written this way by the writer too, but left to the slow path: floats and escaped keys.
    EXPECT_FALSE(isCanonicalJsonText("1.0"));
    EXPECT_FALSE(isCanonicalJsonText("{\"\\n\":1}"));
    EXPECT_FALSE(isCanonicalJsonText(std::string(129, '[') + std::string(129, ']')));
}

TEST(JsonCanonical, InvalidJsonIsNeverCanonical)
{
    const std::vector<std::string> texts = {
        "", "{", "}", "01", "[1,]", "[,1]", "{\"a\"}", "{\"a\":}", "{a:1}", "\"abc", "tru", "nul", "1 2", "-",
        "[1]]", "\"\\x\"", "\"\\u00\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"",
        "\"a\x01\"", std::string("\"\0\"", 3)};
    for (const std::string& text : texts)
    {
        EXPECT_FALSE(isCanonicalJsonText(text)) << text;
        EXPECT_FALSE(json::accept(text)) << text;
    }
}

TEST(JsonWriter, WritesWhatTheLibraryWrites)
{
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round)
    {
        const std::string text = randomText(random);
        std::string written;
        appendJsonString(written, text);
        EXPECT_EQ(written, toJsonText(json(text))) << text;
    }

    std::string object;
    CJsonObjectWriter writer(object);
    writer.boolean("a", true).null("b").number("c", -5).number("d", std::uint64_t{18446744073709551615u});
    CJsonObjectWriter(writer.member("e")).text("f", "储能\n").close();
    writer.close();
    EXPECT_EQ(object, toJsonText(json{{"a", true},
                                      {"b", nullptr},
                                      {"c", -5},
                                      {"d", std::uint64_t{18446744073709551615u}},
                                      {"e", {{"f", "储能\n"}}}}));

    std::string broken;
    EXPECT_THROW(appendJsonString(broken, "ok\xFF"), std::invalid_argument);
}

}  // namespace
}  // namespace ota::backend
