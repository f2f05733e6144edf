// Searches in the legacy BIOS area (the 64 KiB at physical 0xF0000) and the BIOS's software SMI
// interface. Callers hold the access driver open (OpenAccessDriver) around these operations.
#pragma once

#include <cstdint>

#include "hw/ports.h"

inline constexpr uint64_t kBiosAreaAddress = 0xF0000;
inline constexpr uint32_t kBiosAreaSize = 0x10000;

// The BIOS's record describing its software SMI interface ("SwSmi@"), as found in the BIOS area.
inline constexpr int kSwSmiRecordSize = 17;
inline constexpr uint8_t kSwSmiMinimumGate = 0x24;
extern uint8_t swSmiRecord[kSwSmiRecordSize];

// Polls of the request buffer while the BIOS handles a software SMI. The BIOS completes the
// request inside the port write that raises the SMI, so the first poll normally sees it; the rest
// is a margin of 200 ms for firmware that finishes late.
inline constexpr PollBound kSwSmiPollBound = {100, 200};
// Polls of one request that reaches the bound, when every pause lasts 1 ms.
inline constexpr int kSwSmiPollLimit = PollsAtBound(kSwSmiPollBound);
// Output bytes of one SMI request.
inline constexpr int kSwSmiDataSize = 16;

// Reads length bytes at address and looks for signature at offsets 0, step, 2 x step, ... below
// length - strlen(signature). The physical address of the first match; 0 when there is none.
uint64_t SearchPhysicalMemory(uint64_t address, uint32_t length, const char* signature, uint32_t step);
// The first offset below size - strlen(signature) where signature stands in buffer (the last
// possible offset, size - strlen(signature), is not tried); 0xFFFFFFFF when none.
uint32_t FindBytes(const uint8_t* buffer, const char* signature, uint32_t size);
// Finds the "SwSmi@" record and keeps its copy in swSmiRecord. True when it was found and its gate
// byte is 0x24 or more; a record with a lower gate byte is still kept.
int FindSwSmiRecord();
// Runs one software SMI request through the kept record: the first inputLength (at most 16) bytes
// of data are the input, and data receives the 16 output bytes (copied up to the first zero byte,
// the rest zero). 1 when the BIOS completed the request; 0 when it did not answer within
// kSwSmiPollBound, and data then holds 16 bytes of 0xFF (no answer).
int CallSwSmi(uint16_t function, uint8_t* data, uint32_t inputLength);
