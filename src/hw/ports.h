// Port and physical-memory requests over the access driver (hw/driver.h).
//
// The only door to the hardware: everything above calls these operations between
// OpenAccessDriver and CloseAccessDriver and never sees a device, a request record or a code.
// Each operation builds the record of the device kind in use (Qlix in its 32- or 64-bit layout,
// Kmdf, Addmem, Memio) and sends one DeviceIoControl request.
//
// Failures: a read that gets no answer returns all ones of its width (0xFF, 0xFFFF, 0xFFFFFFFF),
// which is also what an empty bus gives; a write that gets no answer is lost. Port requests that
// the open device rejects are sent again a few times (kPortRequestAttempts) before giving up.
#pragma once

#include <cstdint>

#include "os/os.h"

// A bound on a poll of hardware status: `fastPolls` polls back to back, then polls each after a
// 1 ms pause until `pausedMs` milliseconds have passed on the clock. The second phase is bounded by
// the clock and not by a count of pauses: Windows sleeps whole periods of its timer, 15.6 ms by
// default, so a count of 1 ms pauses would last some fifteen times longer than meant. A short
// sleep is still taken between polls, so that hardware that answers late is seen as soon as the
// timer allows.
struct PollBound {
    int fastPolls;
    uint32_t pausedMs;
};
inline constexpr uint32_t kPollPauseMs = 1;

// Calls done() until it returns true, within bound. False when the bound was reached; done() was
// then last called when the paused phase had lasted pausedMs.
template <typename Done>
bool PollUntil(const PollBound& bound, Done done) {
    for (int poll = 0; poll < bound.fastPolls; ++poll) {
        if (done()) return true;
    }
    // The difference of two tick counts is the elapsed time also across the count's wrap.
    const uint32_t start = os::GetTickCount();
    while (os::GetTickCount() - start < bound.pausedMs) {
        os::Sleep(kPollPauseMs);
        if (done()) return true;
    }
    return false;
}

// Polls of one wait that reaches its bound, when every pause lasts kPollPauseMs.
constexpr int PollsAtBound(const PollBound& bound) {
    return bound.fastPolls + static_cast<int>(bound.pausedMs / kPollPauseMs);
}

// Rejected port requests are repeated at once, up to this many sends in all. An open device
// accepts every port request, so a rejection that persists means the device is gone or broken;
// repeating it forever would hang the run with the keyboard off.
inline constexpr int kPortRequestAttempts = 4;

// The largest block one memory request moves (the program reads 64 KiB at most at a time).
inline constexpr uint32_t kMaxMemoryBlock = 0x01000000;

uint8_t ReadPortByte(uint16_t port);
void WritePortByte(uint16_t port, uint8_t value);
uint16_t ReadPortWord(uint16_t port);
void WritePortWord(uint16_t port, uint16_t value);
uint32_t ReadPortDword(uint16_t port);
void WritePortDword(uint16_t port, uint32_t value);

// Copies length bytes of physical memory at address into destination. When no answer comes the
// destination is left as it was (device missing) or filled with 0xFF (request refused or answered
// with a record that cannot be trusted).
void ReadPhysicalMemory(uint64_t address, uint32_t length, void* destination);
void WritePhysicalMemory(uint64_t address, uint32_t length, const void* source);

// The Kmdf device answers with the record it was given, and the data read is taken from where
// the returned record's data-pointer field (offset 12) points. That field comes back from the
// device, so it is used only as a position inside this same record and never followed anywhere
// else: the address of the length bytes it names, or nullptr when they do not lie wholly inside
// the record of recordSize bytes.
const uint8_t* KmdfReturnedData(const uint8_t* record, uint32_t recordSize, uint32_t length);

// ---------------------------------------------------------------------------------------------
// The 8042-compatible keyboard controller (and the embedded controller behind it).

inline constexpr uint16_t kKbcDataPort = 0x60;
inline constexpr uint16_t kKbcCommandPort = 0x64;
inline constexpr uint8_t kKbcOutputFull = 0x01;  // status: a byte waits at the data port
inline constexpr uint8_t kKbcInputFull = 0x02;   // status: the last byte written is not taken yet

// How long a wait for the controller polls its status before it gives up: back-to-back reads
// first, then reads 1 ms apart for half a second. A working controller takes a byte or presents
// one within microseconds, well inside the first phase; the second keeps a controller that is busy
// for a while (the embedded controller behind it handling an event) from being given up on.
inline constexpr PollBound kKbcPollBound = {200, 500};
// Status reads of one wait that reaches its bound, when every pause lasts 1 ms.
inline constexpr int kKbcPollLimit = PollsAtBound(kKbcPollBound);

void WriteKbcCommand(uint8_t command);  // port 0x64
void WriteKbcData(uint8_t value);       // port 0x60
uint8_t ReadKbcStatus();                // port 0x64

// Waits until the controller has taken the last byte written (status bit 1 clear), keeping the
// last status read in *lastStatus when given. False when it still holds the byte at the end of
// kKbcPollBound.
bool WaitKbcInputEmpty(uint8_t* lastStatus = nullptr);
// Waits until a byte is waiting (status bit 0 set), then reads it into value. False, with value
// 0xFF, when none arrived within kKbcPollBound; the data port is not read then.
bool TryReadKbcData(uint8_t* value);
// TryReadKbcData for callers that only need the byte: 0xFF when none arrived.
uint8_t ReadKbcData();
