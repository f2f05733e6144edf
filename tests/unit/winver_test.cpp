// The Windows version probe and the power-off.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "app/shutdown.h"
#include "core/winver.h"
#include "tests/support/emulated_world.h"

namespace {

struct VersionCase {
    int major;
    int minor;
    bool wow64;
    int useQlix;
    int useKmdf;
};

class ProbeWindowsVersionTest : public EmulatedWorldTest,
                                public ::testing::WithParamInterface<VersionCase> {};

TEST_P(ProbeWindowsVersionTest, SetsTheDeviceAndBitnessFlags) {
    const VersionCase& c = GetParam();
    ResetUpdateContext();
    MakeWorld("{\"windows\": {\"major\": " + std::to_string(c.major) +
              ", \"minor\": " + std::to_string(c.minor) +
              ", \"wow64\": " + (c.wow64 ? "true" : "false") + "}}");
    ProbeWindowsVersion();
    EXPECT_EQ(ctx.osProbed, 1);
    EXPECT_EQ(ctx.useQlixDevice, c.useQlix);
    EXPECT_EQ(ctx.useKmdfDevice, c.useKmdf);
    EXPECT_EQ(ctx.isWow64, c.wow64 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, ProbeWindowsVersionTest,
                         ::testing::Values(VersionCase{5, 1, false, 0, 0}, VersionCase{5, 1, true, 0, 0},
                                           VersionCase{6, 0, false, 0, 1}, VersionCase{6, 0, true, 0, 1},
                                           VersionCase{6, 1, false, 1, 0}, VersionCase{6, 1, true, 1, 0},
                                           VersionCase{6, 2, false, 0, 0}, VersionCase{6, 2, true, 0, 0},
                                           VersionCase{10, 0, false, 0, 0}, VersionCase{10, 0, true, 0, 0}));

class WindowsTest : public EmulatedWorldTest {
  protected:
    void SetUp() override { ResetUpdateContext(); }
};

TEST_F(WindowsTest, WindowsWithoutIsWow64ProcessCountsAs32Bit) {
    MakeWorld(R"({"windows": {"major": 5, "minor": 1, "wow64": true, "hasIsWow64Process": false}})");
    ProbeWindowsVersion();
    EXPECT_EQ(ctx.isWow64, 0);
}

TEST_F(WindowsTest, ProbingTwiceGivesTheSameResult) {
    MakeWorld(R"({"windows": {"major": 6, "minor": 1, "wow64": true}})");
    ProbeWindowsVersion();
    ProbeWindowsVersion();
    EXPECT_EQ(ctx.useQlixDevice, 1);
    EXPECT_EQ(ctx.useKmdfDevice, 0);
    EXPECT_EQ(ctx.isWow64, 1);
}

TEST_F(WindowsTest, ShutdownOnTheNtFamilyEnablesThePrivilegeFirst) {
    MakeWorld();
    ShutdownSystem(8);
    auto events = Events("shutdown");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["flags"], 8);
    EXPECT_EQ(events[0]["privilegeEnabled"], true);
}

TEST_F(WindowsTest, ShutdownOnWindows9xNeedsNoPrivilege) {
    MakeWorld(R"({"windows": {"platform": "9x", "major": 4, "minor": 10}})");
    ShutdownSystem(8);
    auto events = Events("shutdown");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["flags"], 8);
    EXPECT_EQ(events[0]["privilegeEnabled"], false);
}

}  // namespace
