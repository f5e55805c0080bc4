#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace ota::backend
{
namespace
{

struct S_Parsed
{
    bool ok = false;
    S_CommandLineOptions options;
    std::string error;
};

S_Parsed parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "ota-backend");
    S_Parsed parsed;
    parsed.ok = parseCommandLine(static_cast<int>(arguments.size()), arguments.data(), parsed.options, parsed.error);
    return parsed;
}

TEST(CommandLine, NoArgumentsUsesConfigBesideExecutable)
{
    const S_Parsed parsed = parse({});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_FALSE(parsed.options.helpRequested);
    EXPECT_EQ(parsed.options.configPath.filename(), "ota-backend.json");
    EXPECT_EQ(parsed.options.configPath.parent_path().filename(), "config");
    EXPECT_TRUE(parsed.options.configPath.is_absolute());
    EXPECT_EQ(parsed.options.configPath, defaultConfigPath());
    EXPECT_TRUE(parsed.options.topologyFileOverride.empty());
}

TEST(CommandLine, OptionsTakeTheirValues)
{
    const S_Parsed parsed = parse({"--topology-file", "site.json", "--config", "/etc/ota.json"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.configPath, "/etc/ota.json");
    EXPECT_EQ(parsed.options.topologyFileOverride, "site.json");
}

TEST(CommandLine, ValueThatLooksLikeAnOptionIsStillAValue)
{
    const S_Parsed parsed = parse({"--config", "--topology-file"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.configPath, "--topology-file");
    EXPECT_TRUE(parsed.options.topologyFileOverride.empty());
}

TEST(CommandLine, Errors)
{
    EXPECT_EQ(parse({"--config"}).error, "Argument value cannot be empty: --config");
    EXPECT_EQ(parse({"--topology-file", ""}).error, "Argument value cannot be empty: --topology-file");
    EXPECT_EQ(parse({"--config", "a", "--config", "b"}).error, "Argument may be specified only once: --config");
    EXPECT_EQ(parse({"--topology-file", "a", "--topology-file", "b"}).error,
              "Argument may be specified only once: --topology-file");
    EXPECT_EQ(parse({"--verbose"}).error, "Unsupported argument: --verbose");
    EXPECT_EQ(parse({"-h", "extra"}).error, "Unsupported argument: extra");
    EXPECT_EQ(parse({"--config=a"}).error, "Unsupported argument: --config=a");
    EXPECT_FALSE(parse({"--config"}).ok);
}

TEST(CommandLine, HelpAfterValidOptionsSucceedsWithoutDefaultPath)
{
    const S_Parsed parsed = parse({"--topology-file", "t.json", "--help"});
    ASSERT_TRUE(parsed.ok);
    EXPECT_TRUE(parsed.options.helpRequested);
    EXPECT_TRUE(parsed.options.configPath.empty());
    EXPECT_TRUE(parse({"-h", "-h"}).options.helpRequested);
}

TEST(CommandLine, VerifyAuditNeedsNoConfigurationAndStandsAlone)
{
    const S_Parsed parsed = parse({"--verify-audit", "/var/lib/ota/upgrade-history.db"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.verifyAuditDatabase, "/var/lib/ota/upgrade-history.db");
    EXPECT_TRUE(parsed.options.configPath.empty());
    EXPECT_EQ(parse({"--verify-audit"}).error, "Argument value cannot be empty: --verify-audit");
    EXPECT_EQ(parse({"--verify-audit", "a", "--verify-audit", "b"}).error,
              "Argument may be specified only once: --verify-audit");
    EXPECT_FALSE(parse({"--verify-audit", "a", "--config", "c.json"}).ok);
    EXPECT_FALSE(parse({"--topology-file", "t.json", "--verify-audit", "a"}).ok);
}

TEST(CommandLine, UsageText)
{
    EXPECT_EQ(buildUsageText("./ota-backend"),
              "Usage: ./ota-backend [--config <path>] [--topology-file <path>]\n"
              "  No --config:       use <executable-dir>/config/ota-backend.json\n"
              "  --config:          use the specified configuration file\n"
              "  --topology-file:   override topologyFile from configuration");
}

}  // namespace
}  // namespace ota::backend
