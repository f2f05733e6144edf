// A fixture for the hardware layer's tests: an emulated notebook whose Windows decides the access
// device, and the records of what reached the hardware.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/winver.h"
#include "emu/hardware.h"
#include "hw/driver.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

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

// The program's folder, current when a test world starts.
inline constexpr const char* kProgramFolder = "C:\\Users\\tech\\Desktop";

class HardwareTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        driverHandle = os::InvalidHandle();
    }
    void TearDown() override {
        if (opened_) CloseAccessDriver();
        opened_ = false;
        driverHandle = os::InvalidHandle();
        EmulatedWorldTest::TearDown();
    }

    // A notebook from the default profile with patch over it, its Windows version probed, and the
    // ADDMEM driver file in the current directory (where the service is installed from).
    void MakeMachine(const std::string& patch) {
        MakeWorld(patch);
        PutFile(std::string(kProgramFolder) + "\\AddMem.sys", "emulated driver");
        ProbeWindowsVersion();
        emu::ClearHardwareRecord();
    }
    // MakeMachine, then the access device opened and the records cleared.
    void OpenMachine(const std::string& patch) {
        MakeMachine(patch);
        ASSERT_TRUE(OpenAccessDriver());
        opened_ = true;
        emu::ClearHardwareRecord();
    }

    static std::vector<emu::PortWrite> KbcWrites() { return emu::PortWritesTo({0x60, 0x64}); }

    bool opened_ = false;
};
