// The spacing of device.status documents by their size: a small site's go out on every pass of the
// main loop, a large site's at most at the rate the spacing allows.
#include "app/device_events.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;

TEST(DeviceStatusSpacing, SmallDocumentsAreNotHeldLargeOnesWaitTheirSizeAtTheRate)
{
    struct S_Case
    {
        std::size_t bytes;
        std::chrono::milliseconds atLeast;
        std::chrono::milliseconds atMost;
    };
    const S_Case cases[] = {
        {0, 0ms, 0ms},
        {kLargeDeviceStatus - 1, 0ms, 0ms},
        {kLargeDeviceStatus, 249ms, 251ms},
        {1024 * 1024, 999ms, 1001ms},       // about 1,000 devices
        {2 * 1024 * 1024, 1999ms, 2001ms},  // about 2,000
    };
    for (const S_Case& c : cases)
    {
        SCOPED_TRACE(c.bytes);
        const auto spacing = deviceStatusSpacing(c.bytes);
        EXPECT_GE(spacing, c.atLeast);
        EXPECT_LE(spacing, c.atMost);
    }
}

}  // namespace
}  // namespace ota::backend
