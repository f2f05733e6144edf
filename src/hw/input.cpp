#include "hw/input.h"

#include <cstdint>

#include "core/messages.h"
#include "core/variant.h"
#include "base/text.h"
#include "hw/driver.h"
#include "hw/ports.h"
#include "os/os.h"

namespace {

// One byte for the keyboard controller: a command (port 0x64) or a data byte (port 0x60).
struct KbcWrite {
    bool command;
    uint8_t value;
};

constexpr uint8_t kDisableKeyboard = 0xAD;
constexpr uint8_t kDisableAux = 0xA7;
constexpr uint8_t kEnableKeyboard = 0xAE;
constexpr uint8_t kEnableAux = 0xA8;
constexpr uint8_t kWriteCommandByte = 0x60;
// Command byte while off: translation on, both clocks stopped, system flag, no interrupts.
constexpr uint8_t kCommandByteOff = 0x74;
// Command byte while on: translation on, clocks running, system flag, both interrupts on.
constexpr uint8_t kCommandByteOn = 0x47;

constexpr KbcWrite kKeyboardOffSequence[] = {
    {true, kDisableKeyboard},
    {true, kDisableAux},
    {true, kWriteCommandByte},
    {false, kCommandByteOff},
};

constexpr KbcWrite kKeyboardOnSequence[] = {
    {true, kWriteCommandByte},
    {false, kCommandByteOn},
    {true, kEnableKeyboard},
    {true, kEnableAux},
};

// With its own probes the program turns the interfaces on before it restores the command byte.
constexpr KbcWrite kKeyboardOnSequencePhx[] = {
    {true, kEnableKeyboard},
    {true, kEnableAux},
    {true, kWriteCommandByte},
    {false, kCommandByteOn},
};

// Writes the bytes in order, each once the controller has taken the one before. A controller
// that keeps its input buffer full gets nothing more: a byte written over a full buffer is lost or
// taken as part of the wrong command. False when the sequence stopped early.
template <size_t N>
bool SendKbcSequence(const KbcWrite (&sequence)[N]) {
    for (const KbcWrite& write : sequence) {
        if (!WaitKbcInputEmpty()) return false;
        if (write.command) {
            WriteKbcCommand(write.value);
        } else {
            WriteKbcData(write.value);
        }
    }
    return true;
}

constexpr int kPhxProbeAttempts = 10;
constexpr uint32_t kPhxProbePauseMs = 500;

// Either through probes of its own, with pauses between them, giving up silently, or through the
// shared open, which may end the run on the display utility's devices (Variant::keyboardOwnProbes).
bool OpenDriverForKeyboard() {
    if (kVariant.keyboardOwnProbes) {
        for (int attempt = 0; attempt < kPhxProbeAttempts; ++attempt) {
            if (ProbeAccessDriver()) return true;
            os::Sleep(kPhxProbePauseMs);
        }
        return false;
    } else {
        return OpenAccessDriver() != 0;
    }
}

bool IsDeviceDisableable(os::Handle set, uint32_t index) {
    uint32_t status = 0;
    uint32_t problem = 0;
    if (!os::GetDeviceNodeStatus(set, index, &status, &problem)) return false;
    return (status & os::kDnDisableable) != 0 && problem != os::kCmProbHardwareDisabled;
}

bool IsMouseClass(const char* className) { return CompareIgnoreCaseN(className, "mouse", 5) == 0; }

}  // namespace

void SetMouseDevicesState(int enable) {
    os::Handle set = os::OpenPresentDevices();
    if (!os::IsValid(set)) return;
    os::PresentDevice device;
    for (uint32_t index = 0; os::GetPresentDevice(set, index, &device); ++index) {
        if (!device.hasClass || !IsMouseClass(device.className)) continue;
        // The same test guards both directions, so a device left alone when disabling is left
        // alone when enabling too.
        if (!IsDeviceDisableable(set, index)) continue;
        os::ChangeDeviceState(set, index, enable != 0);
    }
    os::ClosePresentDevices(set);
}

void KeyboardOff() {
    LogStep("KEY OFF Start");
    if (!OpenDriverForKeyboard()) return;
    const bool complete = SendKbcSequence(kKeyboardOffSequence);
    CloseAccessDriver();
    if (!complete) LogStep("Keyboard controller busy: KEY OFF stopped");
    LogStep("Key OFF End");
}

void KeyboardOn() {
    if (!OpenDriverForKeyboard()) return;
    bool complete;
    if (kVariant.keyboardOwnProbes) {
        complete = SendKbcSequence(kKeyboardOnSequencePhx);
    } else {
        // A key code still waiting in the controller is discarded, not taken as a reply.
        ReadKbcStatus();
        ReadPortByte(kKbcDataPort);
        complete = SendKbcSequence(kKeyboardOnSequence);
    }
    CloseAccessDriver();
    if (!complete) LogStep("Keyboard controller busy: KEY ON stopped");
}

void DisableInputDevices() {
    SetMouseDevicesState(0);
    KeyboardOff();
}

void EnableInputDevices() {
    KeyboardOn();
    SetMouseDevicesState(1);
}
