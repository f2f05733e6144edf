// The unit tests' one emulated-notebook fixture: a notebook from the default profile with a patch
// over it, whose Windows decides the access device, with the records of what reached the hardware,
// and one reset of every process-wide value of the program before each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/winver.h"
#include "emu/hardware.h"
#include "hw/driver.h"
#include "hw/firmware.h"
#include "package/workdir.h"
#include "micom/ec.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"

// Profile patches that choose each access device.
inline constexpr const char* kQlix64Machine =
    R"({"windows": {"major": 6, "minor": 1, "wow64": true}, "accessDevices": {"qtv": true}})";
inline constexpr const char* kQlix32Machine =
    R"({"windows": {"major": 6, "minor": 1, "wow64": false}, "accessDevices": {"qtv": true}})";
inline constexpr const char* kKmdfMachine =
    R"({"windows": {"major": 6, "minor": 0, "wow64": true}, "accessDevices": {"qtv": true}})";
inline constexpr const char* kAddmemMachine = R"({"windows": {"major": 5, "minor": 1, "wow64": false}})";
inline constexpr const char* kMemioMachine =
    R"({"windows": {"platform": "9x", "major": 4, "minor": 10, "wow64": false, "hasIsWow64Process": false}})";

// A notebook whose access driver cannot be installed (the service control manager refuses).
inline constexpr const char* kNoDriver = R"({"faults": {"scmAccessDenied": true}})";

// Bytes as upper-case hex digits, for comparing memory in failure messages.
inline std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// The program's folder, current when a test world starts.
inline constexpr const char* kProgramFolder = "C:\\Users\\tech\\Desktop";

// Puts the run record and the program's process-wide hardware values back to their start.
inline void ResetProgramState() {
    ResetUpdateContext();
    driverHandle = os::InvalidHandle();
    isNt = 0;
    addmemServiceCreated = 0;
    ReleaseWorkingFolders();
    std::memset(swSmiRecord, 0, sizeof swSmiRecord);
    ecMailboxPort = 0;
}

class NotebookTest : public EmulatedWorldTest {
  protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override {
        if (opened_) CloseAccessDriver();
        opened_ = false;
        driverHandle = os::InvalidHandle();
        EmulatedWorldTest::TearDown();
    }

    // A notebook from the default profile with patch over it, its Windows version probed, and the
    // ADDMEM driver file for that Windows in the current directory (where the service is installed
    // from).
    void MakeMachine(const std::string& patch = "{}") {
        MakeWorld(patch);
        ProbeWindowsVersion();
        PutFile(std::string(kProgramFolder) + "\\AddMem.sys", testpkg::DriverImage(ctx.isWow64 != 0));
        emu::ClearHardwareRecord();
    }
    // MakeMachine, then the access device opened and the records cleared.
    void OpenMachine(const std::string& patch = "{}") {
        MakeMachine(patch);
        ASSERT_TRUE(OpenAccessDriver());
        opened_ = true;
        emu::ClearHardwareRecord();
    }
    // The debug log in the program's folder.
    std::string Log() { return ReadFileBytes(std::string(kProgramFolder) + "\\DebugLog.txt"); }

    static std::vector<emu::PortWrite> KbcWrites() { return emu::PortWritesTo({0x60, 0x64}); }

    bool opened_ = false;
};
