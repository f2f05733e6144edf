#include "micom/ec.h"

#include "hw/driver.h"
#include "hw/ports.h"
#include "os/os.h"

namespace {

// Keyboard-controller commands that frame an exchange with the embedded controller.
constexpr uint8_t kBeginExchange = 0xB1;
constexpr uint8_t kEndExchange = 0xB2;
constexpr uint8_t kEndReturnKeyboardByte = 0xB3;
constexpr uint8_t kEndReturnAuxByte = 0xB4;
constexpr uint8_t kEcRequest = 0xBE;
// First data byte of a RAM request.
constexpr uint8_t kRamRead = 0x80;
constexpr uint8_t kRamWrite = 0x81;

// Status bit 5: the waiting byte comes from the auxiliary (pointing-device) side.
constexpr uint8_t kKbcAuxData = 0x20;

// Writes data bytes, each once the controller has taken the one before. False at the first wait
// that reached its bound; the bytes after it are not written.
template <int N>
bool SendData(const uint8_t (&bytes)[N]) {
    for (uint8_t byte : bytes) {
        if (!WaitKbcInputEmpty()) return false;
        WriteKbcData(byte);
    }
    return true;
}

uint8_t HighByte(uint16_t value) { return static_cast<uint8_t>(value >> 8); }
uint8_t LowByte(uint16_t value) { return static_cast<uint8_t>(value); }

}  // namespace

bool BeginEcExchange(EcExchangeState* state) {
    *state = EcExchangeState();
    if (!WaitKbcInputEmpty()) return false;
    WriteKbcCommand(kBeginExchange);
    uint8_t status = 0;
    if (!WaitKbcInputEmpty(&status)) return false;
    if ((status & kKbcOutputFull) == 0) return true;
    // A keyboard or pointing-device byte arrived as the exchange began: keep it, so that the end
    // command can hand it back to the side it came from instead of losing a keystroke.
    state->pendingByte = ReadPortByte(kKbcDataPort);
    state->kind = (status & kKbcAuxData) != 0 ? kEcAuxPending : kEcKeyboardPending;
    return true;
}

bool EndEcExchange(EcExchangeState state) {
    uint8_t command;
    switch (state.kind) {
        case kEcNothingPending:
            if (!WaitKbcInputEmpty()) return false;
            WriteKbcCommand(kEndExchange);
            return true;
        case kEcAuxPending:
            command = kEndReturnAuxByte;
            break;
        case kEcKeyboardPending:
            command = kEndReturnKeyboardByte;
            break;
        default:
            return true;
    }
    if (!WaitKbcInputEmpty()) return false;
    WriteKbcCommand(command);
    if (!WaitKbcInputEmpty()) return false;
    WriteKbcData(state.pendingByte);
    return true;
}

bool WriteEcByte(uint16_t address, uint8_t value) {
    EcExchangeState state;
    if (!BeginEcExchange(&state)) return false;
    WriteKbcCommand(kEcRequest);
    const uint8_t request[] = {kRamWrite, HighByte(address), LowByte(address), value};
    bool ok = SendData(request) && WaitKbcInputEmpty();
    // The exchange is ended even after a stalled request, so that the pending byte goes back and
    // the controller leaves the exchange as soon as it takes bytes again.
    ok = EndEcExchange(state) && ok;
    return ok;
}

bool ReadEcByte(uint16_t address, uint8_t* value) {
    *value = 0xFF;
    EcExchangeState state;
    if (!BeginEcExchange(&state)) return false;
    WriteKbcCommand(kEcRequest);
    const uint8_t request[] = {kRamRead, HighByte(address), LowByte(address)};
    bool ok = SendData(request) && TryReadKbcData(value);
    if (!ok) *value = 0xFF;
    ok = EndEcExchange(state) && ok;
    return ok;
}

bool SendEcCommandByte(uint8_t code) {
    EcExchangeState state;
    if (!BeginEcExchange(&state)) return false;
    WriteKbcCommand(kEcRequest);
    const uint8_t request[] = {code};
    bool ok = SendData(request) && WaitKbcInputEmpty();
    ok = EndEcExchange(state) && ok;
    return ok;
}

// ---------------------------------------------------------------------------------------------
// The configuration channel.

namespace {

constexpr uint8_t kEnterConfiguration = 0x55;
constexpr uint8_t kLeaveConfiguration = 0xAA;
constexpr uint8_t kChipIdRegister = 0x20;

uint8_t ReadConfigRegister(uint16_t indexPort, uint8_t reg) {
    WritePortByte(indexPort, reg);
    return ReadPortByte(static_cast<uint16_t>(indexPort + 1));
}

}  // namespace

uint8_t ProbeEcChipId(uint16_t indexPort) {
    if (!OpenAccessDriver()) return 0xFF;
    WritePortByte(indexPort, kEnterConfiguration);
    const uint8_t id = ReadConfigRegister(indexPort, kChipIdRegister);
    WritePortByte(indexPort, kLeaveConfiguration);
    CloseAccessDriver();
    return id;
}

uint16_t ecMailboxPort = 0;

namespace {

constexpr uint8_t kLogicalDeviceSelect = 0x07;
constexpr uint8_t kMailboxDevice = 0x09;
constexpr uint8_t kActivateRegister = 0x30;
constexpr uint8_t kBaseHighRegister = 0x60;
constexpr uint8_t kBaseLowRegister = 0x61;

// Mailbox registers.
constexpr uint8_t kMailboxCommand = 0x82;
constexpr uint8_t kMailboxFirstParameter = 0x84;
constexpr int kMailboxParameters = 14;  // registers 0x84 to 0x91
constexpr int kBlockFirstParameter = 2;

// Waits until the controller reads the command register as 0 (idle, or done with the last command).
bool WaitMailboxIdle() {
    return PollUntil(kEcMailboxPollBound, [] { return ReadEcMailboxRegister(kMailboxCommand) == 0; });
}

}  // namespace

uint8_t FindEcMailbox(uint16_t indexPort) {
    ecMailboxPort = 0;
    const uint16_t dataPort = static_cast<uint16_t>(indexPort + 1);
    WritePortByte(indexPort, kEnterConfiguration);
    WritePortByte(indexPort, kLogicalDeviceSelect);
    WritePortByte(dataPort, kMailboxDevice);
    const uint8_t active = ReadConfigRegister(indexPort, kActivateRegister);
    if (active != 0) {
        const uint8_t high = ReadConfigRegister(indexPort, kBaseHighRegister);
        const uint8_t low = ReadConfigRegister(indexPort, kBaseLowRegister);
        ecMailboxPort = static_cast<uint16_t>(high << 8 | low);
    }
    WritePortByte(indexPort, kLeaveConfiguration);
    return active;
}

void WriteEcMailboxRegister(uint8_t reg, uint8_t value) {
    WritePortByte(ecMailboxPort, reg);
    WritePortByte(static_cast<uint16_t>(ecMailboxPort + 1), value);
}

uint8_t ReadEcMailboxRegister(uint8_t reg) {
    WritePortByte(ecMailboxPort, reg);
    return ReadPortByte(static_cast<uint16_t>(ecMailboxPort + 1));
}

bool RunEcMailboxCommand(EcMailboxBlock* block) {
    // Parameters written while the controller still works on a command would change that
    // command's input under it.
    if (!WaitMailboxIdle()) return false;
    for (int i = 0; i < kMailboxParameters; ++i) {
        WriteEcMailboxRegister(static_cast<uint8_t>(kMailboxFirstParameter + i), block->bytes[kBlockFirstParameter + i]);
    }
    WriteEcMailboxRegister(kMailboxCommand, block->bytes[0]);
    if (!WaitMailboxIdle()) return false;
    for (int i = 0; i < kMailboxParameters; ++i) {
        block->bytes[kBlockFirstParameter + i] = ReadEcMailboxRegister(static_cast<uint8_t>(kMailboxFirstParameter + i));
    }
    return true;
}
