// The access driver: which device each Windows uses, the "ADDMEM" service, the open and close
// bracket and the end of the run when the display utility's driver is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "emu/hardware.h"
#include "hw/driver.h"
#include "os/os.h"
#include "tests/unit/notebook_fixture.h"

namespace {

constexpr const char* kInstalledImage = "C:\\Users\\tech\\Desktop\\ADDMEM.SYS";

std::vector<std::string> ServiceCalls(const std::vector<nlohmann::json>& events) {
    std::vector<std::string> calls;
    for (const auto& e : events) calls.push_back(e["call"].get<std::string>());
    return calls;
}

class AccessDriverTest : public NotebookTest {
  protected:
    std::vector<std::string> ServiceCallsSoFar() { return ServiceCalls(Events("service")); }
    static int Opens(bool accepted) {
        int n = 0;
        for (const auto& e : emu::DeviceOpens()) n += e.accepted == accepted ? 1 : 0;
        return n;
    }
};

TEST_F(AccessDriverTest, AddmemIsInstalledFromTheCurrentDirectoryWhenItsDeviceIsMissing) {
    MakeMachine(kAddmemMachine);
    EXPECT_EQ(CurrentAccessDriverKind(), AccessDriverKind::Addmem);
    ASSERT_TRUE(OpenAccessDriver());
    opened_ = true;

    emu::ServiceState service = emu::Service("ADDMEM");
    EXPECT_TRUE(service.exists);
    EXPECT_TRUE(service.running);
    EXPECT_EQ(service.imagePath, kInstalledImage);
    EXPECT_EQ(service.displayName, "ADDMEM");
    auto created = Events("service");
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(ServiceCallsSoFar(),
              (std::vector<std::string>{"OpenSCManager", "OpenService",  // remove: none registered
                                        "OpenSCManager", "CreateService", "StartService"}));
    EXPECT_EQ(Opens(false), 1);  // the device before the installation
    EXPECT_EQ(Opens(true), 1);
    EXPECT_EQ(emu::OpenDeviceHandles(), 1);
}

// Windows starts a kernel driver only when it is a native image for its own processor: the
// service names the file of the driver the run took, and any other file does not start.
TEST_F(AccessDriverTest, ServiceStartsOnlyADriverForTheProcessorOfTheRunningWindows) {
    struct Row {
        const char* name;
        bool windows64;
        bool took64;      // the run took the package's 64-bit driver
        std::string file;  // what lies in the current directory under the driver's name
        const char* image;
        const char* why;  // "" when it starts
    } rows[] = {
        {"x64 driver on 64-bit Windows", true, true, testpkg::DriverImage(true), "ADDMEM64.SYS", ""},
        {"i386 driver on 32-bit Windows", false, false, testpkg::DriverImage(false), "ADDMEM.SYS", ""},
        {"i386 driver on 64-bit Windows", true, false, testpkg::DriverImage(false), "ADDMEM.SYS",
         "a 32-bit (i386) driver; this 64-bit Windows loads only x64 drivers"},
        {"x64 driver on 32-bit Windows", false, false, testpkg::DriverImage(true), "ADDMEM.SYS",
         "a 64-bit (x64) driver; this 32-bit Windows loads only i386 drivers"},
        {"not a program", true, false, "emulated driver", "ADDMEM.SYS", "not a Windows image (no MZ header)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetProgramState();
        MakeMachine(row.windows64 ? R"({"windows": {"major": 10, "minor": 0, "wow64": true}})"
                                  : R"({"windows": {"major": 10, "minor": 0, "wow64": false}})");
        ctx.accessDriver64 = row.took64 ? 1 : 0;
        PutFile(std::string(kProgramFolder) + "\\" + row.image, row.file);
        EXPECT_EQ(OpenAccessDriver(), row.why[0] == '\0');
        opened_ = row.why[0] == '\0';
        EXPECT_EQ(emu::Service("ADDMEM").imagePath, std::string(kProgramFolder) + "\\" + row.image);
        const auto starts = Events("service");
        const auto start = std::find_if(starts.begin(), starts.end(),
                                        [](const nlohmann::json& e) { return e["call"] == "StartService"; });
        ASSERT_NE(start, starts.end());
        EXPECT_EQ((*start)["error"], row.why[0] == '\0' ? 0 : 193);
        EXPECT_EQ(start->value("why", ""), row.why);
        if (opened_) CloseAccessDriver();
        opened_ = false;
    }
}

TEST_F(AccessDriverTest, AStaleServiceIsDeletedAndCreatedAgainWithTheCurrentDirectorysDriver) {
    MakeMachine(R"({"windows": {"major": 5, "minor": 1, "wow64": false},
                    "services": {"addmem": {"state": "stale", "imagePath": "C:\\Old\\ADDMEM.SYS"}}})");
    ASSERT_TRUE(OpenAccessDriver());
    opened_ = true;
    EXPECT_EQ(emu::Service("ADDMEM").imagePath, kInstalledImage);
    EXPECT_TRUE(emu::Service("ADDMEM").running);
    EXPECT_EQ(ServiceCallsSoFar(),
              (std::vector<std::string>{"OpenSCManager", "OpenService", "StopService", "DeleteService",
                                        "OpenSCManager", "CreateService", "StartService"}));
}

TEST_F(AccessDriverTest, ARunningServiceWhoseDeviceOpensIsUsedAsItIs) {
    MakeMachine(R"({"windows": {"major": 10, "minor": 0},
                    "services": {"addmem": {"state": "running", "imagePath": "C:\\Drivers\\ADDMEM.SYS"}}})");
    PutFile("C:\\Drivers\\ADDMEM.SYS", "emulated driver");
    ASSERT_TRUE(OpenAccessDriver());
    opened_ = true;
    EXPECT_TRUE(ServiceCallsSoFar().empty());
    EXPECT_EQ(emu::Service("ADDMEM").imagePath, "C:\\Drivers\\ADDMEM.SYS");
    EXPECT_EQ(Opens(true), 1);
    EXPECT_EQ(Opens(false), 0);
}

TEST_F(AccessDriverTest, ALaterOperationOfTheRunOpensTheRunningDriverAtOnce) {
    MakeMachine(kAddmemMachine);
    ASSERT_TRUE(OpenAccessDriver());
    CloseAccessDriver();
    const size_t callsAfterInstall = Events("service").size();
    emu::ClearHardwareRecord();
    ASSERT_TRUE(OpenAccessDriver());
    opened_ = true;
    EXPECT_EQ(Events("service").size(), callsAfterInstall);
    EXPECT_EQ(emu::DeviceOpens().size(), 1u);
}

TEST_F(AccessDriverTest, Windows9xUsesTheVxdAndCallsNoServiceFunctions) {
    MakeMachine(kMemioMachine);
    EXPECT_EQ(CurrentAccessDriverKind(), AccessDriverKind::Memio);
    EXPECT_TRUE(InstallAddmemService());
    EXPECT_TRUE(RemoveAddmemService());
    ASSERT_TRUE(OpenAccessDriver());
    opened_ = true;
    EXPECT_TRUE(Events("service").empty());
    auto opens = emu::DeviceOpens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].device, "MEMIO.VXD");
    EXPECT_TRUE(opens[0].accepted) << opens[0].reason;
    EXPECT_EQ(isNt, 0);
}

TEST_F(AccessDriverTest, Windows9xWithoutTheVxdReturnsFalseWithoutAMessage) {
    MakeMachine(R"({"windows": {"platform": "9x", "major": 4, "minor": 10, "wow64": false,
                                "hasIsWow64Process": false}, "accessDevices": {"memioVxd": false}})");
    EXPECT_FALSE(OpenAccessDriver());
    EXPECT_EQ(emu::DeviceOpens().size(), 20u);  // ten probes, each opening before and after "installing"
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_TRUE(Events("service").empty());
}

struct ServiceFault {
    const char* name;
    const char* faults;
};

class AddmemFailureTest : public AccessDriverTest, public ::testing::WithParamInterface<ServiceFault> {};

TEST_P(AddmemFailureTest, TenProbesThenFalseWithoutAMessage) {
    MakeMachine(std::string(R"({"windows": {"major": 6, "minor": 2}, "faults": )") + GetParam().faults + "}");
    EXPECT_FALSE(OpenAccessDriver());
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_TRUE(Events("exit").empty());
    EXPECT_FALSE(emu::Service("ADDMEM").running);
    EXPECT_EQ(Opens(true), 0);
    EXPECT_GE(emu::DeviceOpens().size(), 10u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AddmemFailureTest,
    ::testing::Values(ServiceFault{"ServiceManagerDenied", R"({"scmAccessDenied": true})"},
                      ServiceFault{"DriverDoesNotStart", R"({"serviceStartFails": true})"}),
    [](const ::testing::TestParamInfo<ServiceFault>& info) { return std::string(info.param.name); });

TEST_F(AccessDriverTest, WithoutTheDriverFileTheServiceDoesNotStartAndTheOpenFails) {
    MakeWorld(kAddmemMachine);  // no AddMem.sys in the current directory
    EXPECT_FALSE(OpenAccessDriver());
    EXPECT_TRUE(MessageBoxes().empty());
}

// The driver path is the current directory and "\ADDMEM.SYS" in 256 bytes.
struct DirectoryCase {
    const char* name;
    size_t length;  // of the current directory
    bool installed;
};

class DriverPathTest : public AccessDriverTest, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DriverPathTest, ADirectoryTooLongForTheDriverNameFailsTheInstallation) {
    const DirectoryCase& c = GetParam();
    MakeMachine(kAddmemMachine);
    std::string directory = "C:";
    while (directory.size() < c.length) {
        const size_t room = c.length - directory.size() - 1;  // after the backslash
        directory += "\\" + std::string(room < 50 ? room : 50, 'd');
        ASSERT_TRUE(os::CreateDirectory(directory.c_str())) << directory;
    }
    ASSERT_EQ(directory.size(), c.length);
    ASSERT_TRUE(os::SetCurrentDirectory(directory.c_str()));
    PutFile(directory + "\\ADDMEM.SYS", "emulated driver");

    EXPECT_EQ(InstallAddmemService() != 0, c.installed);
    const auto calls = ServiceCallsSoFar();
    const bool created = std::find(calls.begin(), calls.end(), "CreateService") != calls.end();
    EXPECT_EQ(created, c.installed);
    if (c.installed) {
        EXPECT_EQ(emu::Service("ADDMEM").imagePath, directory + "\\ADDMEM.SYS");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DriverPathTest,
    ::testing::Values(DirectoryCase{"JustFits", 244, true}, DirectoryCase{"OneCharacterTooLong", 245, false},
                      DirectoryCase{"FarTooLong", 247, false}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) { return std::string(info.param.name); });

// --- The display utility's devices --------------------------------------------------------------

TEST_F(AccessDriverTest, OnWindows60ThePresentDeviceIsOpenedButNoHandleIsHeld) {
    MakeMachine(kKmdfMachine);
    EXPECT_EQ(CurrentAccessDriverKind(), AccessDriverKind::Kmdf);
    ASSERT_TRUE(OpenAccessDriver());
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    const size_t events = emu::DeviceEvents().size();
    CloseAccessDriver();
    EXPECT_EQ(emu::DeviceEvents().size(), events) << "nothing is closed on the Kmdf path";
    EXPECT_TRUE(Events("service").empty());
}

TEST_F(AccessDriverTest, OnWindows61TheHandleIsHeldUntilCloseAndClosedOnlyOnce) {
    MakeMachine(kQlix64Machine);
    EXPECT_EQ(CurrentAccessDriverKind(), AccessDriverKind::Qlix);
    ASSERT_TRUE(OpenAccessDriver());
    EXPECT_EQ(emu::OpenDeviceHandles(), 1);
    CloseAccessDriver();
    CloseAccessDriver();
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    int closes = 0;
    for (const auto& e : emu::DeviceEvents()) closes += e.what == "close" ? 1 : 0;
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(Events("service").empty());
}

TEST_F(AccessDriverTest, ProbeRunsTheVersionProbeWhenItHasNotRun) {
    MakeWorld(kQlix32Machine);
    ASSERT_EQ(ctx.osProbed, 0);
    EXPECT_TRUE(ProbeAccessDriver());
    opened_ = true;
    EXPECT_EQ(ctx.osProbed, 1);
    EXPECT_EQ(ctx.useQlixDevice, 1);
}

struct FlakyDeviceCase {
    const char* name;
    const char* machine;
};

class FlakyDeviceTest : public AccessDriverTest, public ::testing::WithParamInterface<FlakyDeviceCase> {};

TEST_P(FlakyDeviceTest, TheTenthProbeStillCounts) {
    MakeMachine(GetParam().machine);
    emu::SetFault("deviceOpenFailures", 9);
    emu::ClearHardwareRecord();
    ASSERT_TRUE(OpenAccessDriver());
    opened_ = true;
    EXPECT_EQ(Opens(false), 9);
    EXPECT_TRUE(MessageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Devices, FlakyDeviceTest,
                         ::testing::Values(FlakyDeviceCase{"Qlix", kQlix64Machine}, FlakyDeviceCase{"Kmdf", kKmdfMachine}),
                         [](const ::testing::TestParamInfo<FlakyDeviceCase>& info) {
                             return std::string(info.param.name);
                         });

struct MissingUtilityCase {
    const char* name;
    const char* machine;
};

class DriverLoadFailDeathTest : public AccessDriverTest, public ::testing::WithParamInterface<MissingUtilityCase> {};

TEST_P(DriverLoadFailDeathTest, WithoutTheDisplayUtilityTheRunEnds) {
    MakeMachine(GetParam().machine);
    if (kVariant.endWithoutDisplayUtility == nullptr) {
        // The failure goes back to the caller, and the run goes on.
        EXPECT_FALSE(OpenAccessDriver());
        EXPECT_TRUE(MessageBoxes().empty());
        EXPECT_TRUE(Events("exit").empty());
        return;
    }
    ctx.runOptions = NoMessageBox;  // does not hold back this box
    EXPECT_EXIT(OpenAccessDriver(), ::testing::ExitedWithCode(255), "");
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["caption"], "Driver Load Fail");
    EXPECT_EQ(boxes[0]["text"],
              "Fail to update.\nCheck if QTV(Quillon) is installed.\nQTV must be installed to update BIOS.");
    EXPECT_EQ(boxes[0]["style"], 0x10);
    EXPECT_EQ(boxes[0]["owner"], false);
    auto exits = Events("exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0]["code"], 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, DriverLoadFailDeathTest,
    ::testing::Values(
        MissingUtilityCase{"Windows60", R"({"windows": {"major": 6, "minor": 0}, "accessDevices": {"qtv": false}})"},
        MissingUtilityCase{"Windows61", R"({"windows": {"major": 6, "minor": 1}, "accessDevices": {"qtv": false}})"},
        // A device that fails ten opens in a row counts as missing.
        MissingUtilityCase{"Windows61TenFailedOpens",
                           R"({"windows": {"major": 6, "minor": 1}, "accessDevices": {"qtv": true},
                               "faults": {"deviceOpenFailures": 10}})"}),
    [](const ::testing::TestParamInfo<MissingUtilityCase>& info) { return std::string(info.param.name); });

}  // namespace
