#include "api/loopback_guard.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using backend::isLoopbackHostHeader;
using backend::isLoopbackOrigin;

TEST(LoopbackGuard, HostHeaderMustNameALoopbackHostWithAnOptionalPort)
{
    for (const char* host :
         {"127.0.0.1", "127.0.0.1:8080", "[::1]", "[::1]:0", "localhost", "LocalHost:65535"})
    {
        EXPECT_TRUE(isLoopbackHostHeader(host)) << host;
    }
    for (const char* host :
         {"", "127.0.0.2", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:80a", "127.0.0.1:8080:1", "localhost.",
          "localhost.evil.example", "evil.example", "[::1", "[::1]x", "[::1]:", "[::2]", "::1", "0.0.0.0",
          "127.0.0.1 ", "[::ffff:127.0.0.1]"})
    {
        EXPECT_FALSE(isLoopbackHostHeader(host)) << host;
    }
}

TEST(LoopbackGuard, OriginMustBeASchemeAndALoopbackHost)
{
    for (const char* origin :
         {"http://localhost:5173", "https://127.0.0.1", "http://[::1]:8080", "app://localhost"})
    {
        EXPECT_TRUE(isLoopbackOrigin(origin)) << origin;
    }
    for (const char* origin : {"null", "", "localhost", "://localhost", "http://", "file://",
                               "http://evil.example", "http://localhost/", "http://localhost.evil.example",
                               "http://127.0.0.1@evil.example", "ht tp://localhost"})
    {
        EXPECT_FALSE(isLoopbackOrigin(origin)) << origin;
    }
}

}  // namespace
}  // namespace ota::test
