// Keyboard and mouse held off: the keyboard controller's port sequences of both deliverables and
// the rule that picks the mouse devices.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/variant.h"
#include "emu/hardware.h"
#include "hw/input.h"
#include "hw/ports.h"
#include "tests/unit/notebook_fixture.h"

namespace {

using Writes = std::vector<emu::PortWrite>;

const Writes kOffSequence = {{0x64, 1, 0xAD}, {0x64, 1, 0xA7}, {0x64, 1, 0x60}, {0x60, 1, 0x74}};
const Writes kOnSequence = {{0x64, 1, 0x60}, {0x60, 1, 0x47}, {0x64, 1, 0xAE}, {0x64, 1, 0xA8}};
const Writes kOnSequencePhx = {{0x64, 1, 0xAE}, {0x64, 1, 0xA8}, {0x64, 1, 0x60}, {0x60, 1, 0x47}};

class KeyboardTest : public NotebookTest {
  protected:
    void MakeKeyboardMachine(const std::string& patch = kAddmemMachine) {
        MakeMachine(patch);
        emu::ClearHardwareRecord();
    }
};

TEST_F(KeyboardTest, KeyboardOffStopsBothInterfacesAndTheirInterrupts) {
    MakeKeyboardMachine();
    KeyboardOff();
    EXPECT_EQ(KbcWrites(), kOffSequence);
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << emu::ProtocolErrors()[0];
    const auto kbc = emu::KeyboardController();
    EXPECT_EQ(kbc.commandByte, 0x74);
    EXPECT_FALSE(kbc.keyboardEnabled);
    EXPECT_FALSE(kbc.auxiliaryEnabled);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    EXPECT_EQ(Log(), kVariant.logsSteps ? "KEY OFF Start\r\nKey OFF End\r\n" : "");
}

TEST_F(KeyboardTest, KeyboardOnRestoresTheCommandByteAndBothInterfaces) {
    MakeKeyboardMachine();
    KeyboardOff();
    emu::ClearHardwareRecord();
    KeyboardOn();
    EXPECT_EQ(KbcWrites(), kVariant.keyboardOwnProbes ? kOnSequencePhx : kOnSequence);
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << emu::ProtocolErrors()[0];
    const auto kbc = emu::KeyboardController();
    EXPECT_EQ(kbc.commandByte, 0x47);
    EXPECT_TRUE(kbc.keyboardEnabled);
    EXPECT_TRUE(kbc.auxiliaryEnabled);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    EXPECT_EQ(Log(), kVariant.logsSteps ? "KEY OFF Start\r\nKey OFF End\r\n" : "") << "KeyboardOn logs nothing";
}

TEST_F(KeyboardTest, RomshellDiscardsAPendingKeyCodeBeforeSwitchingOn) {
    MakeKeyboardMachine();
    emu::PresentKbcByte(emu::KbcSide::Keyboard, 0x1C);
    KeyboardOn();
    // romshell-phx does not drain: the byte still waits.
    EXPECT_EQ(emu::KeyboardController().outputFull, kVariant.keyboardOwnProbes);
}

TEST_F(KeyboardTest, EnablingWithoutDisablingIsHarmless) {
    MakeKeyboardMachine();
    EnableInputDevices();
    EXPECT_TRUE(emu::ProtocolErrors().empty());
    EXPECT_TRUE(emu::KeyboardController().keyboardEnabled);
    for (const auto& d : emu::PresentDevices()) EXPECT_TRUE(d.enabled) << d.description;
}

TEST_F(KeyboardTest, DisableAndEnableInputDevicesTurnMiceAndKeyboardOffAndOnAgain) {
    MakeKeyboardMachine();
    DisableInputDevices();
    EXPECT_FALSE(emu::KeyboardController().keyboardEnabled);
    for (const auto& d : emu::PresentDevices()) {
        if (d.className == "Mouse") {
            EXPECT_FALSE(d.enabled) << d.description;
        } else {
            EXPECT_TRUE(d.enabled) << d.description;
        }
    }
    EnableInputDevices();
    EXPECT_TRUE(emu::KeyboardController().keyboardEnabled);
    for (const auto& d : emu::PresentDevices()) EXPECT_TRUE(d.enabled) << d.description;
    EXPECT_EQ(KbcWrites().size(), 8u);
}

// --- Bounds -------------------------------------------------------------------------------------

TEST_F(KeyboardTest, AControllerThatNeverTakesAByteGetsNothingAndTheOperationEnds) {
    MakeKeyboardMachine(R"({"windows": {"major": 5, "minor": 1, "wow64": false},
                            "faults": {"kbcInputNeverClears": true}})");
    KeyboardOff();
    EXPECT_TRUE(KbcWrites().empty());
    EXPECT_TRUE(emu::ProtocolErrors().empty());
    EXPECT_EQ(emu::PortReadCount(), static_cast<uint64_t>(kKbcPollLimit));
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    EXPECT_EQ(Log(), kVariant.logsSteps
                         ? "KEY OFF Start\r\nKeyboard controller busy: KEY OFF stopped\r\nKey OFF End\r\n"
                         : "");

    emu::ClearHardwareRecord();
    KeyboardOn();
    EXPECT_TRUE(KbcWrites().empty());
    EXPECT_EQ(emu::PortReadCount(), static_cast<uint64_t>(kKbcPollLimit) + (kVariant.keyboardOwnProbes ? 0 : 2));
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

TEST_F(KeyboardTest, RomshellSkipsTheControllerWhenTheDriverCannotBeOpened) {
    if (kVariant.keyboardOwnProbes) GTEST_SKIP() << "this program pauses between its probes (see the Windows 6.1 test)";
    MakeKeyboardMachine(R"({"windows": {"major": 5, "minor": 1, "wow64": false},
                            "faults": {"serviceStartFails": true}})");
    KeyboardOff();
    KeyboardOn();
    EXPECT_TRUE(KbcWrites().empty());
    EXPECT_EQ(Log(), "KEY OFF Start\r\n");
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(KeyboardTest, PhxProbesTenTimesHalfASecondApartThenGivesUpSilently) {
    if (!kVariant.keyboardOwnProbes) GTEST_SKIP() << "this program ends the run here (access driver tests)";
    MakeKeyboardMachine(R"({"windows": {"major": 6, "minor": 1}, "accessDevices": {"qtv": false}})");
    KeyboardOff();
    auto opens = emu::DeviceOpens();
    ASSERT_EQ(opens.size(), 10u);
    for (size_t i = 1; i < opens.size(); ++i) EXPECT_GE(opens[i].atMs - opens[i - 1].atMs, 490.0) << i;
    EXPECT_TRUE(KbcWrites().empty());
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_TRUE(Events("exit").empty());
    EXPECT_EQ(Log(), "");
}

TEST_F(KeyboardTest, PhxGoesOnWhenALaterProbeSucceeds) {
    if (!kVariant.keyboardOwnProbes) GTEST_SKIP() << "this program probes without pauses";
    MakeKeyboardMachine(kQlix64Machine);
    emu::SetFault("deviceOpenFailures", 2);
    KeyboardOff();
    auto opens = emu::DeviceOpens();
    ASSERT_GE(opens.size(), 3u);
    EXPECT_GE(opens[2].atMs - opens[0].atMs, 990.0);
    EXPECT_EQ(KbcWrites(), kOffSequence);
}

// --- The mouse rule -----------------------------------------------------------------------------

constexpr uint32_t kDisableableStatus = 0x0180200A;
constexpr uint32_t kFixedStatus = 0x0180000A;  // not disableable

struct MouseCase {
    const char* device;  // one element of the profile's "devices"
    bool changed;        // the rule picks it, in both directions
};

const MouseCase kMouseCases[] = {
    {R"({"class": "Mouse", "description": "PS/2 mouse"})", true},
    {R"({"class": "MOUSE", "description": "upper case"})", true},
    {R"({"class": "mouse", "description": "lower case"})", true},
    {R"({"class": "MouseLike", "description": "longer class"})", true},
    {R"({"class": "Mous", "description": "four letters"})", false},
    {R"({"class": "HIDClass", "description": "HID"})", false},
    {R"({"class": null, "description": "no class"})", false},
    {R"({"class": "Keyboard", "description": "keyboard"})", false},
    {R"({"class": "Mouse", "description": "not disableable", "status": 25165834})", false},
    {R"({"class": "Mouse", "description": "hardware disabled", "problem": 29})", false},
    {R"({"class": "Mouse", "description": "status unreadable", "statusFails": true})", false},
    {R"({"class": "Mouse", "description": "refuses", "change": "refused"})", true},
    {R"({"class": "Mouse", "description": "after the refusal"})", true},
};

TEST_F(KeyboardTest, MouseDevicesAreThoseOfAMouseClassThatWindowsCanDisable) {
    static_assert(kFixedStatus == 25165834 && (kDisableableStatus & 0x2000) != 0);
    std::string devices;
    for (const MouseCase& c : kMouseCases) devices += (devices.empty() ? "" : ", ") + std::string(c.device);
    MakeKeyboardMachine(std::string(R"({"windows": {"major": 5, "minor": 1, "wow64": false}, "devices": [)") + devices + "]}");

    for (const bool enable : {false, true}) {
        const size_t before = Events("deviceState").size();
        SetMouseDevicesState(enable ? 1 : 0);
        auto events = Events("deviceState");
        std::vector<int> asked;
        for (size_t i = before; i < events.size(); ++i) {
            EXPECT_EQ(events[i]["enable"], enable);
            asked.push_back(events[i]["index"].get<int>());
        }
        std::vector<int> expected;
        for (size_t i = 0; i < std::size(kMouseCases); ++i) {
            if (kMouseCases[i].changed) expected.push_back(static_cast<int>(i));
        }
        EXPECT_EQ(asked, expected) << (enable ? "enable" : "disable");
    }
    const auto states = emu::PresentDevices();
    ASSERT_EQ(states.size(), std::size(kMouseCases));
    for (size_t i = 0; i < states.size(); ++i) {
        EXPECT_TRUE(states[i].enabled) << states[i].description;
        const bool accepted = kMouseCases[i].changed && states[i].description != "refuses";
        EXPECT_EQ(states[i].changes, accepted ? 2 : 0) << states[i].description;
    }
}

TEST_F(KeyboardTest, OnSixtyFourBitWindowsTheMiceStayOnAndTheKeyboardGoesOff) {
    MakeKeyboardMachine(kQlix64Machine);
    DisableInputDevices();
    const auto events = Events("deviceState");
    ASSERT_EQ(events.size(), 2u) << "both mice of the default notebook are asked for";
    for (const auto& e : events) {
        EXPECT_EQ(e.value("result", ""), "installerRefused");
        EXPECT_EQ(e.value("error", 0u), 0xE0000235u);
    }
    for (const auto& d : emu::PresentDevices()) {
        EXPECT_TRUE(d.enabled) << d.description;
        EXPECT_EQ(d.changes, 0) << d.description;
    }
    EXPECT_FALSE(emu::KeyboardController().keyboardEnabled);
    EnableInputDevices();
    EXPECT_TRUE(emu::KeyboardController().keyboardEnabled);
}

TEST_F(KeyboardTest, WithoutPresentDevicesTheKeyboardStillGoesOff) {
    MakeKeyboardMachine(R"({"windows": {"major": 5, "minor": 1, "wow64": false}, "devices": []})");
    DisableInputDevices();
    EXPECT_EQ(KbcWrites(), kOffSequence);
    EXPECT_TRUE(Events("deviceState").empty());
}

}  // namespace
