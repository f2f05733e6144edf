// The checks before anything is flashed: power, free disk space, hard-disk password protection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "app/preflight.h"
#include "core/run_options.h"
#include "emu/hardware.h"
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

// --- Hard-disk password -------------------------------------------------------------------------

struct DriveCase {
    const char* name;
    const char* drives;  // the profile's "drives"
    uint32_t mask;
};

class CheckHddPasswordTest : public PreflightTest, public ::testing::WithParamInterface<DriveCase> {};

TEST_P(CheckHddPasswordTest, ReportsFixedDisksWithSecurityEnabled) {
    MakeWorld(std::string("{\"drives\": ") + GetParam().drives + "}");
    emu::ClearHardwareRecord();
    EXPECT_EQ(CheckHddPassword(), GetParam().mask);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0) << "every drive opened is closed again";
    // Every request was one the drive answers: an IDENTIFY of the wrong kind would be aborted.
    for (const auto& request : emu::DeviceRequests()) {
        if (request.code == 0x0007C088) {
            EXPECT_TRUE(request.accepted) << request.device << ": " << request.reason;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, CheckHddPasswordTest,
    ::testing::Values(
        DriveCase{"NoSecurity", R"([{"kind": "ata"}])", 0},
        DriveCase{"Drive0Secured", R"([{"kind": "ata", "securityEnabled": true}])", 0x1},
        DriveCase{"Drive1Secured", R"([{"kind": "ata"}, {"kind": "ata", "securityEnabled": true}])", 0x2},
        DriveCase{"Drives2And3Secured",
                  R"([{"kind": "ata"}, null, {"kind": "ata", "securityEnabled": true},
                      {"kind": "ata", "securityEnabled": true}])",
                  0xC},
        // Removable devices are never reported, whatever their security word says.
        DriveCase{"RemovableSecured", R"([{"kind": "ata", "securityEnabled": true, "word0": 128}])", 0},
        // A set password counts even while the disk is not locked: only bit 1 of word 128 is tested.
        DriveCase{"SecurityEnabledNotLocked", R"([{"kind": "ata", "word128": 3}])", 0x1},
        DriveCase{"SecuritySupportedOnly", R"([{"kind": "ata", "word128": 1}])", 0},
        // A disk without the SMART interface is not examined.
        DriveCase{"NoSmart", R"([{"kind": "ata", "securityEnabled": true, "smart": false}])", 0},
        // An ATAPI device normally reports itself removable.
        DriveCase{"Atapi", R"([{"kind": "atapi"}])", 0},
        // One that claims to be fixed and secured is reported, which it can only be when it was
        // asked with IDENTIFY PACKET DEVICE (it aborts IDENTIFY DEVICE).
        DriveCase{"AtapiAskedWithPacketIdentify", R"([{"kind": "atapi", "word0": 64, "word128": 2}])", 0x1},
        DriveCase{"AtapiOnDrive3", R"([null, null, null, {"kind": "atapi", "word0": 64, "word128": 2}])", 0x8},
        DriveCase{"NoDrives", R"([])", 0}),
    [](const ::testing::TestParamInfo<DriveCase>& info) { return std::string(info.param.name); });

TEST_F(PreflightTest, DrivesFourAndAboveAreNeverOpened) {
    MakeWorld(R"({"drives": [{"kind": "ata"}, {"kind": "ata"}, {"kind": "ata"}, {"kind": "ata"},
                             {"kind": "ata", "securityEnabled": true}, {"kind": "ata", "securityEnabled": true}]})");
    emu::ClearHardwareRecord();
    EXPECT_EQ(CheckHddPassword(), 0u);
    std::vector<std::string> opened;
    for (const auto& open : emu::DeviceOpens()) opened.push_back(open.device);
    EXPECT_EQ(opened, (std::vector<std::string>{"PhysicalDrive0", "PhysicalDrive1", "PhysicalDrive2",
                                                "PhysicalDrive3"}));
}

TEST_F(PreflightTest, EachDriveIsAskedForItsVersionThenIdentified) {
    MakeWorld(R"({"drives": [{"kind": "ata"}]})");
    emu::ClearHardwareRecord();
    CheckHddPassword();
    auto requests = emu::DeviceRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, 0x00074080u);
    EXPECT_EQ(requests[0].inSize, 0u);
    EXPECT_EQ(requests[0].outSize, 24u);
    EXPECT_EQ(requests[1].code, 0x0007C088u);
    EXPECT_EQ(requests[1].inSize, 32u);
    EXPECT_EQ(requests[1].outSize, 528u);
}

}  // namespace
