#include <gtest/gtest.h>

#include <fstream>

#include "platform/power/low_power_mode.h"
#include "platform/runtime/system_info.h"
#include "tests/support/temp_dir.h"

using namespace kavri;

TEST(SystemInfo, VersionFromKernelRelease) {
    EXPECT_EQ(SystemInfo::versionFromRelease("6.1.0-18-amd64"), "6.1.0");
    EXPECT_EQ(SystemInfo::versionFromRelease("5.15.133.1-microsoft-standard"), "5.15.133");
    EXPECT_EQ(SystemInfo::versionFromRelease("4.19"), "4.19.0");
    EXPECT_EQ(SystemInfo::versionFromRelease("weird"), "0.0.0");
}

TEST(LowPowerMode, FollowsThePlatformProfile) {
    test::TempDir dir;
    const auto profile = (dir / "platform_profile").string();
    EXPECT_FALSE(LowPowerMode::isOn(profile));  // no profile at all
    std::ofstream(profile) << "low-power\n";
    EXPECT_TRUE(LowPowerMode::isOn(profile));
    std::ofstream(profile) << "balanced\n";
    EXPECT_FALSE(LowPowerMode::isOn(profile));
}
