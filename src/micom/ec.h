// The embedded controller's port protocol.
//
// Two channels lead to the controller. The keyboard-controller channel (data port 0x60, command
// and status port 0x64) carries exchanges framed by a begin command (0xB1) and an end command:
// reads and writes of the controller's RAM and single command bytes. The configuration channel of
// the newer controller kind (index port 0x2E or 0x6C2, data port = index port + 1) identifies the
// chip and leads to a register mailbox in the controller's own I/O range.
//
// Callers hold the access driver open (OpenAccessDriver) around these operations; only
// ProbeEcChipId opens and closes it itself.
//
// Every wait for the controller is bounded: the keyboard controller's waits by kKbcPollBound
// (hw/ports.h), the mailbox's by kEcMailboxPollBound. An operation whose wait reached its bound
// returns false and writes nothing more to the controller than it had written until then: a byte
// written while the controller still holds the previous one would be lost or taken as part of the
// wrong command.
#pragma once

#include <cstdint>

#include "hw/ports.h"

// How long the mailbox is polled for its command register to read 0. The controller finishes a
// command within microseconds to a few milliseconds: back-to-back reads cover that, and reads 1 ms
// apart give a controller that is busy for a while a second more before it counts as stalled.
inline constexpr PollBound kEcMailboxPollBound = {1000, 1000};

// What the controller presented right after the begin command, to be handed back at the end.
struct EcExchangeState {
    uint8_t kind = 0;         // kEcNothingPending, kEcAuxPending or kEcKeyboardPending
    uint8_t pendingByte = 0;  // the byte presented (kinds 1 and 2)
};
inline constexpr uint8_t kEcNothingPending = 0;
inline constexpr uint8_t kEcAuxPending = 1;
inline constexpr uint8_t kEcKeyboardPending = 2;

// Begins an exchange: command 0xB1, then takes a byte the controller presents. False when a wait
// reached its bound (the controller does not take bytes: nothing more is sent to it).
bool BeginEcExchange(EcExchangeState* state);
// Ends an exchange with 0xB2, or with 0xB4 / 0xB3 followed by the presented byte. False when a
// wait reached its bound (the rest is then not written).
bool EndEcExchange(EcExchangeState state);

// Reads one byte of the controller's RAM. False when a wait reached its bound; value is then 0xFF.
bool ReadEcByte(uint16_t address, uint8_t* value);
// Writes one byte of the controller's RAM. False when a wait reached its bound.
bool WriteEcByte(uint16_t address, uint8_t value);
// Sends one command byte to the controller (for example 0xDC, arm the power-on). False when a
// wait reached its bound.
bool SendEcCommandByte(uint8_t code);

// Configuration index ports of the newer controller kind.
inline constexpr uint16_t kEcConfigPortPrimary = 0x2E;
inline constexpr uint16_t kEcConfigPortSecondary = 0x6C2;

// The chip identification (configuration register 0x20) behind index port indexPort; opens and
// closes the access driver. 0xFF when the driver cannot be opened.
uint8_t ProbeEcChipId(uint16_t indexPort);

// I/O base of the controller's mailbox (logical device 9 of the configuration space); 0 when it
// was not found or the device is inactive.
extern uint16_t ecMailboxPort;

// Reads the activation of logical device 9 behind indexPort and, when it is active, its I/O base
// into ecMailboxPort (0 otherwise). Returns the activation value (0: inactive).
uint8_t FindEcMailbox(uint16_t indexPort);

// A mailbox command: byte 0 the command code, byte 1 not sent, bytes 2 to 15 the fourteen
// parameters on the way in and the answer on the way out.
struct EcMailboxBlock {
    uint8_t bytes[16] = {};
};

void WriteEcMailboxRegister(uint8_t reg, uint8_t value);
uint8_t ReadEcMailboxRegister(uint8_t reg);
// Runs one mailbox command: waits for the controller to be idle, writes the parameters to
// registers 0x84 to 0x91 and the code to 0x82, waits for the controller to finish and reads the
// answer back. False when a wait reached its bound: nothing is written when the controller never
// became idle, and no answer is read when it never finished.
bool RunEcMailboxCommand(EcMailboxBlock* block);
