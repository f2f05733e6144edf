// The checks before anything is flashed: power, free disk space, hard-disk password protection.
#include <gtest/gtest.h>

#include <string>

#include "app/context.h"
#include "app/preflight.h"
#include "app/run_options.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

class PreflightTest : public EmulatedWorldTest {
  protected:
    void SetUp() override { ResetUpdateContext(); }

    void EnterWorkDirectory() {
        ASSERT_TRUE(os::CreateDirectory("C:\\work"));
        ASSERT_TRUE(os::SetCurrentDirectory("C:\\work"));
    }
};

// --- Power -------------------------------------------------------------------------------------

struct PowerCase {
    const char* name;
    int acLine;
    int battery;
    ResultCode expected;
};

class CheckPowerTest : public PreflightTest, public ::testing::WithParamInterface<PowerCase> {};

TEST_P(CheckPowerTest, NeedsAcOnLineAndABatteryAt30PercentOrMore) {
    const PowerCase& c = GetParam();
    MakeWorld("{\"power\": {\"acLine\": " + std::to_string(c.acLine) +
              ", \"batteryPercent\": " + std::to_string(c.battery) + "}}");
    EnterWorkDirectory();
    EXPECT_EQ(CheckPower(), c.expected);
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt"), "Check System Power\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Power, CheckPowerTest,
    ::testing::Values(PowerCase{"AcAndBatteryAt30", 1, 30, kResultOk},
                      PowerCase{"AcAndFullBattery", 1, 100, kResultOk},
                      PowerCase{"AcAndBatteryAt29", 1, 29, kResultBattery},
                      PowerCase{"AcAndBatteryUnknown", 1, 255, kResultBattery},
                      PowerCase{"AcAndEmptyBattery", 1, 0, kResultBattery},
                      PowerCase{"NoAcFullBattery", 0, 100, kResultNoAcAdapter},
                      PowerCase{"AcUnknownFullBattery", 255, 100, kResultNoAcAdapter},
                      PowerCase{"NoAcBatteryAt10", 0, 10, kResultNoAcAndBattery},
                      PowerCase{"NoAcNoBattery", 0, 255, kResultNoAcAndBattery}),
    [](const ::testing::TestParamInfo<PowerCase>& info) { return std::string(info.param.name); });

TEST_F(PreflightTest, SkipCheckPowerPassesWithoutLookingButStillLogs) {
    MakeWorld(R"({"power": {"acLine": 0, "batteryPercent": 255}})");
    EnterWorkDirectory();
    ctx.runOptions = SkipCheckPower;
    EXPECT_EQ(CheckPower(), kResultOk);
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt"), "Check System Power\r\n");
}

// --- Disk space --------------------------------------------------------------------------------

constexpr uint64_t kMegabyte = 1u << 20;

TEST_F(PreflightTest, TwoMegabytesFreeAreEnough) {
    MakeWorld("{\"windows\": {\"freeBytes\": " + std::to_string(2 * kMegabyte) + "}}");
    EXPECT_EQ(CheckDiskSpace(), 1);
    EXPECT_TRUE(MessageBoxes().empty());
}

struct DiskCase {
    const char* name;
    uint64_t freeBytes;
    const char* remaining;
};

class CheckDiskSpaceTest : public PreflightTest, public ::testing::WithParamInterface<DiskCase> {};

TEST_P(CheckDiskSpaceTest, LessThanTwoMegabytesShowsTheRemainingAndTheRequiredSpace) {
    const DiskCase& c = GetParam();
    MakeWorld("{\"windows\": {\"freeBytes\": " + std::to_string(c.freeBytes) + "}}");
    EXPECT_EQ(CheckDiskSpace(), 0);
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["style"], 0x10);
    EXPECT_EQ(boxes[0]["caption"], "Fail : Disk Space");
    EXPECT_EQ(boxes[0]["text"], std::string("Insufficient free disk space.\n\n   Remaining free disk space: ") +
                                    c.remaining + "Mbytes\n Required free disk space: 2Mbytes");
    EXPECT_STREQ(ctx.captionText, "Fail : Disk Space");
}

INSTANTIATE_TEST_SUITE_P(
    Disk, CheckDiskSpaceTest,
    ::testing::Values(DiskCase{"OneByteShortOfTwoMegabytes", 2 * kMegabyte - 1, "1"},
                      DiskCase{"OneMegabyte", kMegabyte, "1"},
                      DiskCase{"LessThanOneMegabyte", kMegabyte - 1, "0"},
                      DiskCase{"Nothing", 0, "0"}),
    [](const ::testing::TestParamInfo<DiskCase>& info) { return std::string(info.param.name); });

TEST_F(PreflightTest, DiskMessageIsSuppressedByNoMessageBoxButTheCheckStillFails) {
    MakeWorld("{\"windows\": {\"freeBytes\": 1000}}");
    ctx.runOptions = NoMessageBox;
    EXPECT_EQ(CheckDiskSpace(), 0);
    EXPECT_TRUE(MessageBoxes().empty());
}

}  // namespace
