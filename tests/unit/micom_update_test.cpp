// The MICOM step on the emulated notebook: the controller kind, the MICOM tool run, CMOS
// clearing, the SMI enable bit and the automatic power-on.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/run_options.h"
#include "core/winver.h"
#include "base/text.h"
#include "emu/hardware.h"
#include "emu/world.h"
#include "hw/driver.h"
#include "micom/ec.h"
#include "core/variant.h"
#include "hw/chipset.h"
#include "micom/micom.h"
#include "os/os.h"
#include "tests/unit/notebook_fixture.h"
#include "tests/unit/stand_in_tool.h"

namespace {

using emu::PortWrite;


class MicomTest : public NotebookTest {
  protected:
    std::vector<uint32_t> PriorityChanges() {
        std::vector<uint32_t> classes;
        for (const auto& e : Events("priorityClass")) classes.push_back(e["class"].get<uint32_t>());
        return classes;
    }
};

// A profile without an access driver: the service manager refuses the installation.

// --- Controller kind ---------------------------------------------------------------------------

struct KindCase {
    const char* name;
    const char* chip2E;   // JSON: null or a number
    const char* chip6C2;
    int kind;              // romshell
    bool probes6C2;        // romshell
    int phxKind;
    bool phxProbes6C2;
    uint16_t mailbox;      // romshell, with logical device 9 active at 0x0680
};

class ChipVendorTest : public MicomTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(ChipVendorTest, TellsTheControllerKindFromTheChipIdentification) {
    const KindCase& c = GetParam();
    MakeMachine(std::string(R"({"ec": {"device9Active": true, "device9Base": "0x0680", "chipId2E": )") + c.chip2E +
            ", \"chipId6C2\": " + c.chip6C2 + "}}");
    const int kind = kVariant.knowsSecondNewEcChip ? c.kind : c.phxKind;
    const bool probes6C2 = kVariant.knowsSecondNewEcChip ? c.probes6C2 : c.phxProbes6C2;
    EXPECT_EQ(CheckChipVendor(), kind);
    EXPECT_EQ(ctx.newEcKind, kind);
    EXPECT_EQ(emu::PortWritesTo({0x2E}).front(), (PortWrite{0x2E, 1, 0x55}));
    EXPECT_EQ(!emu::PortWritesTo({0x6C2}).empty(), probes6C2);
    EXPECT_EQ(Log(), kVariant.logsSteps ? "Check Chip Vendor\r\nCheck Chip Vendor end\r\n" : "");
    if (kVariant.usesEcMailbox) {
        EXPECT_EQ(ecMailboxPort, c.mailbox);
    } else {
        EXPECT_TRUE(emu::PortWritesTo({0x2F, 0x6C3}).empty()) << "no mailbox is looked for";
    }
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ChipVendorTest,
    ::testing::Values(
        // name, 0x2E, 0x6C2, kind, probes 0x6C2, phx kind, phx probes 0x6C2, mailbox
        KindCase{"Chip85At2E", "133", "null", 1, false, 0, true, 0x0680},
        KindCase{"Chip4DAt2E", "77", "null", 1, false, 1, false, 0x0680},
        KindCase{"Chip4DOnlyAt6C2", "null", "77", 1, true, 1, true, 0x0680},
        KindCase{"Chip85OnlyAt6C2", "null", "133", 1, true, 0, true, 0x0680},
        KindCase{"OtherChipAt2E", "18", "null", 0, true, 0, true, 0},
        KindCase{"NoChipAtAll", "null", "null", 0, true, 0, true, 0}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

TEST_F(MicomTest, NewerKindWithAnInactiveMailboxHasNoMailboxPort) {
    if (!kVariant.usesEcMailbox) GTEST_SKIP() << "this program knows no controller mailbox";
    MakeMachine(R"({"ec": {"chipId2E": "0x85", "device9Active": false, "device9Base": "0x0680"}})");
    EXPECT_EQ(CheckChipVendor(), 1);
    EXPECT_EQ(ecMailboxPort, 0);
    EXPECT_EQ(emu::PortWritesTo({0x2E}).back(), (PortWrite{0x2E, 1, 0xAA}));
}

TEST_F(MicomTest, MailboxIsLookedUpThroughThePortThatAnswered) {
    if (!kVariant.usesEcMailbox) GTEST_SKIP() << "this program knows no controller mailbox";
    MakeMachine(R"({"ec": {"chipId6C2": "0x4D", "device9Active": true, "device9Base": "0x0A00"}})");
    EXPECT_EQ(CheckChipVendor(), 1);
    EXPECT_EQ(ecMailboxPort, 0x0A00);
    EXPECT_EQ(emu::PortWritesTo({0x6C3}), (std::vector<PortWrite>{PortWrite{0x6C3, 1, 0x09}}));
    EXPECT_TRUE(emu::PortWritesTo({0x2F}).empty());
}

// --- MICOM tool --------------------------------------------------------------------------------

using stand_in_tool::kWorkDir;

class MicomToolTest : public MicomTest {
  protected:
    void SetUp() override {
        MicomTest::SetUp();
        MakeWorld();
        ASSERT_TRUE(os::CreateDirectory(kWorkDir));
        ASSERT_TRUE(os::SetCurrentDirectory(kWorkDir));
        CopyText(ctx.workDir, kWorkDir);
        const std::string& tool = stand_in_tool::Bytes();
        ASSERT_FALSE(tool.empty());
        Put("WinUpV01_10.exe", tool);
        Put("kbc.bin", "micom image");
        Put("R5RK0102.bin", "micom candidate");
    }
    void Put(const std::string& name, const std::string& bytes) { PutFile(std::string(kWorkDir) + name, bytes); }
    bool Exists(const std::string& name) { return FileExists(std::string(kWorkDir) + name); }
    std::string WorkLog() { return ReadFileBytes(std::string(kWorkDir) + "DebugLog.txt"); }
};

struct MicomExitCase {
    const char* name;
    const char* command;
    ResultCode expected;
};

class MicomExitTest : public MicomToolTest, public ::testing::WithParamInterface<MicomExitCase> {};

TEST_P(MicomExitTest, AnythingButExitCodeZeroFailsAndTheToolIsRemovedEitherWay) {
    const MicomExitCase& c = GetParam();
    EXPECT_EQ(RunMicomFlashTool(c.command), c.expected);
    const std::string line = std::string(kWorkDir) + c.command;
    EXPECT_EQ(WorkLog(), "Bios command : " + line + "\r\n");
    auto processes = Events("process");
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0]["commandLine"], line);
    EXPECT_EQ(processes[0]["directory"], std::string(kWorkDir, std::string(kWorkDir).size() - 1));
    EXPECT_FALSE(Exists("WinUpV01_10.exe"));
    EXPECT_FALSE(Exists("kbc.bin"));
    EXPECT_TRUE(Exists("R5RK0102.bin")) << "only the tool and its image are removed";
}

INSTANTIATE_TEST_SUITE_P(
    ExitCodes, MicomExitTest,
    ::testing::Values(MicomExitCase{"Zero", "WinUpV01_10 exit 0", kResultOk},
                      MicomExitCase{"One", "WinUpV01_10 exit 1", kResultMicomUpdate},
                      MicomExitCase{"Negative", "WinUpV01_10 exit -1", kResultMicomUpdate},
                      MicomExitCase{"Crashed", "WinUpV01_10 crash", kResultMicomUpdate}),
    [](const ::testing::TestParamInfo<MicomExitCase>& info) { return std::string(info.param.name); });

TEST_F(MicomToolTest, ToolThatCannotBeStartedFailsAndItsImageIsRemoved) {
    ASSERT_TRUE(os::DeleteFile("WinUpV01_10.exe"));
    EXPECT_EQ(RunMicomFlashTool("WinUpV01_10 kbc.bin /FORCE"), kResultMicomUpdate);
    EXPECT_FALSE(Exists("kbc.bin"));
}

TEST_F(MicomToolTest, SkipUpdateMicomRunsNothingAndRemovesNothing) {
    ctx.runOptions = SkipUpdateMicom;
    EXPECT_EQ(RunMicomFlashTool("WinUpV01_10 exit 1"), kResultOk);
    EXPECT_TRUE(Events("process").empty());
    EXPECT_TRUE(Exists("WinUpV01_10.exe"));
    EXPECT_TRUE(Exists("kbc.bin"));
    EXPECT_EQ(WorkLog(), "");
}

TEST_F(MicomToolTest, CommandLineLongerThanItsBufferFailsWithoutStartingTheTool) {
    std::string longDir = "C:\\" + std::string(255, 'd') + "\\";
    CopyText(ctx.workDir, longDir.c_str());
    const std::string command = "WinUpV01_10 exit 0 " + std::string(255 - 19, 'x');
    EXPECT_EQ(RunMicomFlashTool(command.c_str()), kResultMicomUpdate);
    EXPECT_TRUE(Events("process").empty());
    EXPECT_FALSE(Exists("kbc.bin"));
}

// --- CMOS --------------------------------------------------------------------------------------

TEST_F(MicomTest, ClearCmosZeroesStandardBytesFrom0x20AndTheWholeExtendedBank) {
    MakeMachine(R"({"cmos": {"fill": "0x5A"}})");
    EXPECT_EQ(ClearCmos(), kResultOk);
    for (int i = 0; i < 0x80; ++i) {
        EXPECT_EQ(emu::Cmos(0, static_cast<uint8_t>(i)), i < 0x20 ? 0x5A : 0) << "standard " << i;
        EXPECT_EQ(emu::Cmos(1, static_cast<uint8_t>(i)), 0) << "extended " << i;
    }
    // Each byte as an index write followed by a data write; the standard bank first.
    std::vector<PortWrite> expected;
    for (int i = 0x20; i < 0x80; ++i) {
        expected.push_back(PortWrite{0x70, 1, static_cast<uint32_t>(i)});
        expected.push_back(PortWrite{0x71, 1, 0});
    }
    for (int i = 0; i < 0x80; ++i) {
        expected.push_back(PortWrite{0x72, 1, static_cast<uint32_t>(i)});
        expected.push_back(PortWrite{0x73, 1, 0});
    }
    EXPECT_EQ(emu::PortWritesTo({0x70, 0x71, 0x72, 0x73}), expected);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

TEST_F(MicomTest, ClearCmosWithoutTheAccessDriverChangesNothing) {
    MakeMachine(kNoDriver);
    EXPECT_EQ(ClearCmos(), kResultDriverLoad);
    EXPECT_EQ(emu::Cmos(0, 0x40), 90);
    EXPECT_TRUE(emu::PortWrites().empty());
}

// --- SMI enable --------------------------------------------------------------------------------

struct SmiCase {
    const char* name;
    const char* windows;  // the profile's "windows" section: which access device carries the words
    const char* pmBase;
    uint16_t control;
    ResultCode expected;
    uint16_t controlAfter;
    bool written;
};

constexpr const char* k9xWindows = R"({"platform": "9x", "major": 4, "minor": 10, "wow64": false})";

class GlobalSmiTest : public MicomTest, public ::testing::WithParamInterface<SmiCase> {};

TEST_P(GlobalSmiTest, SetsTheGlobalEnableBitOnlyWhenItIsClear) {
    const SmiCase& c = GetParam();
    MakeMachine(std::string(R"({"windows": )") + c.windows + R"(, "pci": {"pmBase": )" + c.pmBase +
            ", \"smiControl\": " + std::to_string(c.control) + "}}");
    EXPECT_EQ(EnableGlobalSmi(), c.expected);
    EXPECT_EQ(emu::SmiControlWord(), c.controlAfter);
    // The LPC bridge's register 0x40 is asked for through configuration mechanism 1.
    ASSERT_FALSE(emu::PortWritesTo({0xCF8}).empty());
    EXPECT_EQ(emu::PortWritesTo({0xCF8}).front(), (PortWrite{0xCF8, 4, 0x8000F840u}));
    EXPECT_EQ(emu::PortWritesTo({0x430}), c.written ? (std::vector<PortWrite>{PortWrite{0x430, 2, c.controlAfter}})
                                                     : std::vector<PortWrite>{});
    EXPECT_EQ(emu::OpenDeviceHandles(), 0) << "the driver is closed on every path";
}

INSTANTIATE_TEST_SUITE_P(
    Smi, GlobalSmiTest,
    ::testing::Values(SmiCase{"BitClear", "{}", "\"0x0401\"", 0x0000, kResultOk, 0x0001, true},
                      SmiCase{"BitClearOtherBitsKept", "{}", "\"0x0401\"", 0x2040, kResultOk, 0x2041, true},
                      SmiCase{"BitSet", "{}", "\"0x0401\"", 0x0001, kResultOk, 0x0001, false},
                      SmiCase{"BaseWithoutFlagBit", "{}", "\"0x0400\"", 0x0000, kResultOk, 0x0001, true},
                      SmiCase{"NoBridge", "{}", "\"0xFFFFFFFF\"", 0x0000, kResultSmiSetting, 0x0000, false},
                      // The VxD is sent the byte codes: the dword and word accesses must still be
                      // dwords and words, or the bridge is never asked and the bit stays clear.
                      SmiCase{"BitClearThroughTheVxd", k9xWindows, "\"0x0401\"", 0x2040, kResultOk, 0x2041, true},
                      SmiCase{"BitSetThroughTheVxd", k9xWindows, "\"0x0401\"", 0x0001, kResultOk, 0x0001, false},
                      SmiCase{"NoBridgeThroughTheVxd", k9xWindows, "\"0xFFFFFFFF\"", 0x0000, kResultSmiSetting, 0x0000, false}),
    [](const ::testing::TestParamInfo<SmiCase>& info) { return std::string(info.param.name); });

TEST_F(MicomTest, EnableGlobalSmiWithoutTheAccessDriverFails) {
    MakeMachine(kNoDriver);
    EXPECT_EQ(EnableGlobalSmi(), kResultDriverLoad);
    EXPECT_TRUE(emu::PortWrites().empty());
}

// --- Automatic power-on ------------------------------------------------------------------------

struct LegacyArmCase {
    const char* name;
    uint8_t before;
    uint8_t after;
};

class LegacyArmTest : public MicomTest, public ::testing::WithParamInterface<LegacyArmCase> {};

TEST_P(LegacyArmTest, SetsBit0OfRamByte0xE887AtRealtimePriority) {
    const LegacyArmCase& c = GetParam();
    MakeMachine(R"({"ec": {"ram": {"0xE887": )" + std::to_string(c.before) + "}}}");
    const uint32_t previous = os::GetPriorityClass();
    EXPECT_EQ(ArmPowerOnLegacyEc(), kResultOk);
    EXPECT_EQ(emu::EcRam(0xE887), c.after);
    // The byte is written back whether or not the bit was set already.
    std::vector<PortWrite> kbc = emu::PortWritesTo({0x60, 0x64});
    const std::vector<PortWrite> write = {PortWrite{0x60, 1, 0x81}, PortWrite{0x60, 1, 0xE8}, PortWrite{0x60, 1, 0x87},
                                          PortWrite{0x60, 1, c.after}};
    EXPECT_NE(std::search(kbc.begin(), kbc.end(), write.begin(), write.end()), kbc.end());
    EXPECT_EQ(PriorityChanges(), (std::vector<uint32_t>{0x100, previous}));
    EXPECT_EQ(os::GetPriorityClass(), previous);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

INSTANTIATE_TEST_SUITE_P(Legacy, LegacyArmTest,
                         ::testing::Values(LegacyArmCase{"BitClear", 0x40, 0x41}, LegacyArmCase{"BitSet", 0x41, 0x41},
                                           LegacyArmCase{"AllClear", 0x00, 0x01}),
                         [](const ::testing::TestParamInfo<LegacyArmCase>& info) { return std::string(info.param.name); });

struct ArmFaultCase {
    const char* name;
    const char* fault;
};

class LegacyArmFaultTest : public MicomTest, public ::testing::WithParamInterface<ArmFaultCase> {};

TEST_P(LegacyArmFaultTest, ControllerThatDoesNotAnswerIsAFailedArmingAndTheByteStaysAsItWas) {
    MakeMachine(std::string(R"({"ec": {"ram": {"0xE887": "0x40"}}, "faults": {)") + GetParam().fault + ": true}}");
    const uint32_t previous = os::GetPriorityClass();
    EXPECT_EQ(ArmPowerOnLegacyEc(), kResultDriverLoad);
    EXPECT_EQ(emu::EcRam(0xE887), 0x40);
    // No write request went out: 0xFF | 1 would have set every bit of the byte.
    for (const PortWrite& w : emu::PortWritesTo({0x60})) EXPECT_NE(w.value, 0x81u);
    EXPECT_EQ(os::GetPriorityClass(), previous);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, LegacyArmFaultTest,
                         ::testing::Values(ArmFaultCase{"InputNeverClears", "\"kbcInputNeverClears\""},
                                           ArmFaultCase{"NoOutput", "\"kbcNeverPresentsOutput\""}),
                         [](const ::testing::TestParamInfo<ArmFaultCase>& info) { return std::string(info.param.name); });

TEST_F(MicomTest, ArmingWithoutTheAccessDriverFails) {
    MakeMachine(kNoDriver);
    EXPECT_EQ(ArmPowerOnLegacyEc(), kResultDriverLoad);
    EXPECT_EQ(ArmPowerOnNewEc(), kResultDriverLoad);
    EXPECT_TRUE(PriorityChanges().empty());
}

TEST_F(MicomTest, NewKindWithoutMailboxArmsThroughTheKeyboardController) {
    MakeMachine(R"({"ec": {"chipId2E": "0x4D", "device9Active": false}})");
    ASSERT_EQ(CheckChipVendor(), 1);
    emu::ClearHardwareRecord();
    const uint32_t previous = os::GetPriorityClass();
    EXPECT_EQ(ArmPowerOnNewEc(), kResultOk);
    EXPECT_EQ(emu::PowerOnArming(), "kbc");
    EXPECT_EQ(emu::PortWritesTo({0x60, 0x64}),
              (std::vector<PortWrite>{PortWrite{0x64, 1, 0xB1}, PortWrite{0x64, 1, 0xBE}, PortWrite{0x60, 1, 0xDC},
                                      PortWrite{0x64, 1, 0xB2}}));
    EXPECT_EQ(PriorityChanges(), (std::vector<uint32_t>{0x100, previous}));
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

TEST_F(MicomTest, NewKindWithAnActiveMailbox) {
    MakeMachine(R"({"ec": {"chipId2E": "0x4D", "device9Active": true, "device9Base": "0x0680"}})");
    ASSERT_EQ(CheckChipVendor(), 1);
    emu::ClearHardwareRecord();
    const uint32_t previous = os::GetPriorityClass();
    EXPECT_EQ(ArmPowerOnNewEc(), kResultOk);
    if (!kVariant.usesEcMailbox) {
        // Without the mailbox the command goes over the keyboard controller.
        EXPECT_EQ(emu::PowerOnArming(), "kbc");
        EXPECT_TRUE(emu::PortWritesTo({0x680, 0x681}).empty());
    } else {
        EXPECT_EQ(emu::PowerOnArming(), "mailbox");
        EXPECT_TRUE(emu::PortWritesTo({0x60, 0x64}).empty());
        auto commands = emu::EcCommands();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back()["parameters"], nlohmann::json(std::vector<int>(14, 0)));
    }
    EXPECT_EQ(PriorityChanges(), (std::vector<uint32_t>{0x100, previous}));
}

TEST_F(MicomTest, MailboxThatNeverFinishesIsAFailedArming) {
    if (!kVariant.usesEcMailbox) GTEST_SKIP() << "this program knows no controller mailbox";
    MakeMachine(R"({"ec": {"chipId2E": "0x85", "device9Active": true, "device9Base": "0x0680"},
                "faults": {"mailboxNeverClears": true}})");
    ASSERT_EQ(CheckChipVendor(), 1);
    const uint32_t previous = os::GetPriorityClass();
    EXPECT_EQ(ArmPowerOnNewEc(), kResultDriverLoad);
    EXPECT_EQ(os::GetPriorityClass(), previous);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

TEST_F(MicomTest, NewKindOverAControllerThatNeverTakesAByteIsAFailedArming) {
    MakeMachine(R"({"ec": {"chipId2E": "0x4D"}, "faults": {"kbcInputNeverClears": true}})");
    ASSERT_EQ(CheckChipVendor(), 1);
    EXPECT_EQ(ArmPowerOnNewEc(), kResultDriverLoad);
    EXPECT_EQ(emu::PowerOnArming(), "");
}

}  // namespace
