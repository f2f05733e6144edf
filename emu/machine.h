// Internal to the emulated hardware: the machine's live state and the helpers its parts share.
// Tests and tools use emu/hardware.h; the emulated seam uses emu/devices.h.
//
// Every function here expects the world's state lock (LockState) to be held: the machine's state
// is part of the world's state and is saved and reloaded with it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/hardware.h"

namespace emu::machine {

using nlohmann::json;

enum class KbcExpect {
    None,         // a data byte goes to the keyboard, which acknowledges it
    CommandByte,  // after 0x60
    KeyboardEcho, // after 0xD2
    AuxEcho,      // after 0xD3
    AuxDevice,    // after 0xD4
    EcFirst,      // after 0xBE: 0x80 (read), 0x81 (write) or a command code
    EcAddressHigh,
    EcAddressLow,
    EcValue,
    ReturnKeyboard,  // after 0xB3
    ReturnAux,       // after 0xB4
};

struct Machine {
    // Keyboard controller and the embedded controller behind it.
    uint8_t commandByte = 0x47;
    bool outputFull = false;
    uint8_t output = 0;
    bool outputAux = false;
    int busyReads = 0;  // status reads left that still show the input buffer full
    bool lastWriteWasCommand = false;
    KbcExpect expect = KbcExpect::None;
    bool inExchange = false;
    bool ecWrite = false;
    uint16_t ecAddress = 0;
    json pendingExchange;  // null or {"side","value"}
    json returned = json::array();
    std::vector<uint8_t> ecRam = std::vector<uint8_t>(0x10000, 0);
    bool ecRamDirty = false;
    json ecCommands = json::array();
    std::string powerOn;

    // Configuration ports (index 0: 0x2E, 1: 0x6C2) and logical device 9 with its mailbox.
    bool configMode[2] = {false, false};
    uint8_t configIndex[2] = {0, 0};
    uint8_t logicalDevice = 0;
    uint8_t device9Active = 0;
    uint16_t device9Base = 0;
    uint8_t mailboxIndex = 0;
    std::array<uint8_t, 256> mailbox{};

    // CMOS banks.
    std::array<std::array<uint8_t, 128>, 2> cmos{};
    uint8_t cmosIndex[2] = {0, 0};

    // PCI configuration mechanism 1 and the power-management I/O range.
    uint32_t pciAddress = 0;
    std::array<uint8_t, 128> pm{};

    // Software SMI.
    bool smiArmed = false;
    uint8_t smiLastCommand = 0xFF;
    json smiRequests = json::array();

    // Physical memory below 1 MiB (RAM, the DMI table when placed below the segment, the F0000
    // segment), rebuilt from the state when `memoryDirty`.
    std::vector<uint8_t> low = std::vector<uint8_t>(0x100000, 0);
    bool memoryDirty = true;
    // SetMemoryOverlay: bytes laid over the memory below 1 MiB after everything else.
    uint64_t overlayAddress = 0;
    std::vector<uint8_t> overlay;
    std::vector<uint8_t> flash;
    bool flashDirty = false;

    json dmi = json::object();       // DMI strings by name
    json bios = json::object();      // the running BIOS's model, version, partNumber (BIOS segment)
    json services = json::object();  // by upper-case name: {name, displayName, imagePath, running, marked}
    json devices = json::array();    // present devices with their live state
    json faults = json::object();
    int openDevices = 0;
};

// The machine of the attached world, loaded from the state on first use. Needs LockState.
Machine& Current();
// Makes a fresh machine from the profile (CreateWorld); false with a reason when the profile's
// flash image cannot be read.
bool InitializeFromProfile(std::string* error);

// Records, kept for tests and appended to <root>/hardware.jsonl.
void RecordPortWrite(uint16_t port, int width, uint32_t value);
void CountPortRead();
void RecordDevice(const DeviceEvent& event);
void RecordProtocolError(const std::string& text);
double MillisecondsSinceAttach();

// Ports (ports.cpp).
uint32_t PortRead(Machine& m, uint16_t port, int width);
void PortWrite(Machine& m, uint16_t port, int width, uint32_t value);
// Resets the port-side state that a profile gives (CreateWorld).
void InitializePorts(Machine& m, const json& profile);

// Memory (memory.cpp).
void BuildLowMemory(Machine& m);
void MemoryRead(Machine& m, uint64_t address, uint8_t* out, size_t length);
void MemoryWrite(Machine& m, uint64_t address, const uint8_t* data, size_t length);
// The flash part generated from the profile: 0xFF, the identification blocks and, in its top
// 64 KiB, the F0000 segment.
std::vector<uint8_t> GenerateFlash(Machine& m, const json& profile);
// Handles a byte written to the SMI command port.
void SmiCommand(Machine& m, uint8_t value);

// Fault knobs.
bool FaultOn(const Machine& m, const char* name);

// One field of the running BIOS's identity ("model", "version", "partNumber").
std::string BiosField(const Machine& m, const char* name);
// The running AMI version: the one a flash tool set, else the profile's.
uint32_t AmiVersion(const Machine& m);

std::string Hex(uint64_t value, int digits = 2);

}  // namespace emu::machine
