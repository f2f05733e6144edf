// Running the BIOS flash tool: its command line and working directory, the judgement of its exit
// code, and what is removed afterwards. A native test program stands in for the tool and exits
// with the code its command line names ("SWinFlash exit -120").
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/context.h"
#include "core/variant.h"
#include "base/text.h"
#include "bios/phoenix.h"
#include "emu/hardware.h"
#include "hw/driver.h"
#include "hw/input.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"
#include "tests/unit/stand_in_tool.h"
#include "tests/unit/wph_builder.h"

namespace {

using stand_in_tool::kWorkDir;

// Files the Phoenix tool works with (removed after its success) and the AMI tool set.
const char* const kPhoenixWorkingFiles[] = {"PhlashNT.sys", "PhlashLc.dll", "bios.wph", "bios.bak", "newSys.bin"};
const char* const kAmiFiles[] = {"AFUWIN.EXE", "AMIFLDRV32.sys", "BIOS.ROM"};

class BiosFlashToolTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        driverHandle = os::InvalidHandle();
        // Keyboard and mouse are held off while the BIOS is flashed (32-bit Windows: on 64-bit
        // Windows the class installer does not change devices for the program).
        MakeWorld(R"({"windows": {"wow64": false}, "keyboardController": {"commandByte": "0x74"},
                      "devices": [{"class": "Mouse", "description": "PS/2 Compatible Mouse", "enabled": false}]})");
        ASSERT_TRUE(os::CreateDirectory(kWorkDir));
        ASSERT_TRUE(os::SetCurrentDirectory(kWorkDir));
        CopyText(ctx.workDir, kWorkDir);
        const std::string& tool = stand_in_tool::Bytes();
        ASSERT_FALSE(tool.empty());
        Put("SWinFlash.exe", tool);
        Put("AddMem.sys", testpkg::DriverImage(false));
        for (const char* name : kPhoenixWorkingFiles) Put(name, name);
        for (const char* name : kAmiFiles) Put(name, name);
        // The image the tool refused, as it leaves it behind.
        wph::Image refused;
        refused.romSize = 0x10000;
        refused.records.clear();
        refused.partBlockAt = 0x100;
        refused.partNumber = "061";
        refused.identityBlockAt = 0x200;
        refused.model = "Q430";
        refused.version = "05QA";
        Put("newSys.bin", refused.Bytes());
    }

    void Put(const std::string& name, const std::string& bytes) { PutFile(std::string(kWorkDir) + name, bytes); }
    bool Exists(const std::string& name) { return FileExists(std::string(kWorkDir) + name); }
    std::string Log() { return ReadFileBytes(std::string(kWorkDir) + "DebugLog.txt"); }
    static bool InputDevicesOn() {
        const emu::KeyboardControllerState kbc = emu::KeyboardController();
        return kbc.keyboardEnabled && kbc.auxiliaryEnabled && emu::PresentDevices().at(0).enabled;
    }
    static bool InputDevicesOff() {
        const emu::KeyboardControllerState kbc = emu::KeyboardController();
        return !kbc.keyboardEnabled && !kbc.auxiliaryEnabled && !emu::PresentDevices().at(0).enabled;
    }
};

struct ExitCase {
    const char* name;
    const char* code;
    ResultCode expected;
};

class BiosExitCodeTest : public BiosFlashToolTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(BiosExitCodeTest, OnlyTheRefusalCodesFailTheBiosStep) {
    const ExitCase& c = GetParam();
    CopyText(ctx.newModel, "none");
    CopyText(ctx.newPartNumber, "---");
    const std::string command = std::string("SWinFlash exit ") + c.code;
    EXPECT_EQ(RunBiosFlashTool(command.c_str()), c.expected);

    const std::string line = std::string(kWorkDir) + command;
    EXPECT_EQ(Log(), "Bios command : " + line + "\r\n");
    auto processes = Events("process");
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0]["commandLine"], line);
    EXPECT_EQ(processes[0]["directory"], std::string(kWorkDir, std::strlen(kWorkDir) - 1));

    if (c.expected == kResultOk) {
        EXPECT_FALSE(Exists("SWinFlash.exe"));
        for (const char* name : kPhoenixWorkingFiles) EXPECT_FALSE(Exists(name)) << name;
        // romshell-phx has no AMI tool set to remove.
        for (const char* name : kAmiFiles) EXPECT_EQ(Exists(name), !kVariant.hasAmiPath) << name;
        EXPECT_STREQ(ctx.newModel, "none");
        EXPECT_TRUE(InputDevicesOff()) << "the run goes on with the input devices off";
    } else {
        EXPECT_TRUE(InputDevicesOn()) << "a refusal gives keyboard and mouse back first";
        EXPECT_TRUE(Exists("SWinFlash.exe"));
        for (const char* name : kPhoenixWorkingFiles) EXPECT_TRUE(Exists(name)) << name;
        for (const char* name : kAmiFiles) EXPECT_TRUE(Exists(name)) << name;
        // The refusal message names the refused image.
        EXPECT_STREQ(ctx.newModel, "Q430");
        EXPECT_STREQ(ctx.newVersion, "05QA");
        EXPECT_STREQ(ctx.newPartNumber, "061");
    }
}

INSTANTIATE_TEST_SUITE_P(
    ExitCodes, BiosExitCodeTest,
    ::testing::Values(ExitCase{"Zero", "0", kResultOk}, ExitCase{"One", "1", kResultOk},
                      ExitCase{"Minus121", "-121", kResultOk}, ExitCase{"Minus108", "-108", kResultOk},
                      ExitCase{"OtherModel", "-120", kResultModelRefused},
                      ExitCase{"NotNewer", "-110", kResultBiosNotNewer},
                      ExitCase{"NotNewerByDate", "-109", kResultBiosNotNewer}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST_F(BiosFlashToolTest, RefusalWithoutTheRefusedImageKeepsTheNewFields) {
    ASSERT_TRUE(os::DeleteFile("newSys.bin"));
    CopyText(ctx.newModel, "none");
    CopyText(ctx.newPartNumber, "---");
    EXPECT_EQ(RunBiosFlashTool("SWinFlash exit -120"), kResultModelRefused);
    EXPECT_STREQ(ctx.newModel, "none");
    EXPECT_STREQ(ctx.newPartNumber, "---");
}

TEST_F(BiosFlashToolTest, ToolThatCannotBeStartedIsAFailedBiosUpdate) {
    ASSERT_TRUE(os::DeleteFile("SWinFlash.exe"));
    EXPECT_EQ(RunBiosFlashTool("SWinFlash bios.wph /P"), kResultBiosUpdate);
    EXPECT_TRUE(InputDevicesOn());
    EXPECT_NE(Log().find(std::string("Bios command : ") + kWorkDir + "SWinFlash bios.wph /P\r\n"), std::string::npos);
    for (const char* name : kPhoenixWorkingFiles) EXPECT_TRUE(Exists(name)) << name;
    for (const char* name : kAmiFiles) EXPECT_TRUE(Exists(name)) << name;
}

TEST_F(BiosFlashToolTest, ToolThatDiesOfAnExceptionIsAFailedBiosUpdate) {
    // 0xC0000005: the status of an access violation, not a code the tool chose.
    size_t runs = 0;
    for (const char* command : {"SWinFlash exit 0xC0000005", "SWinFlash crash"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(RunBiosFlashTool(command), kResultBiosUpdate);
        EXPECT_TRUE(InputDevicesOn());
        // One line per run, each naming the status.
        const std::string log = Log();
        size_t lines = 0;
        for (size_t at = log.find("Bios tool ended abnormally : C0000005\r\n"); at != std::string::npos;
             at = log.find("Bios tool ended abnormally", at + 1))
            ++lines;
        EXPECT_EQ(lines, ++runs) << log;
        // The files stay for the failure exit's clean-up; nothing was judged a success.
        for (const char* name : kPhoenixWorkingFiles) EXPECT_TRUE(Exists(name)) << name;
        EXPECT_TRUE(Exists("SWinFlash.exe"));
        DisableInputDevices();
        ASSERT_TRUE(InputDevicesOff());
    }
}

TEST_F(BiosFlashToolTest, CommandLineLongerThanItsBufferIsRefusedWithoutStartingTheTool) {
    // A working directory of 259 characters and a command of 255 make 514: more than 511.
    std::string longDir = "C:\\" + std::string(255, 'd') + "\\";
    CopyText(ctx.workDir, longDir.c_str());
    const std::string command = "SWinFlash exit 0 " + std::string(255 - 17, 'x');
    EXPECT_EQ(RunBiosFlashTool(command.c_str()), kResultBiosUpdate);
    EXPECT_TRUE(InputDevicesOn());
    EXPECT_TRUE(Events("process").empty());
    EXPECT_EQ(Log().find("Bios command : "), std::string::npos);
    EXPECT_TRUE(Exists("bios.wph"));
}

TEST_F(BiosFlashToolTest, CommandLineThatJustFitsRuns) {
    // 511 characters: the working directory and a command padded with blanks.
    const std::string command = "SWinFlash exit 0" + std::string(511 - std::string(kWorkDir).size() - 16, ' ');
    EXPECT_EQ(RunBiosFlashTool(command.c_str()), kResultOk);
    EXPECT_EQ(Events("process").size(), 1u);
}

}  // namespace
