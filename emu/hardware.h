// The emulated notebook's hardware, as tests, the emulated tools and the report see it.
//
// The machine is described by the profile's hardware sections (emu/machines/README.md) and kept
// in the world's state, so that child processes (the emulated flash tools) and the report after a
// run see the same notebook. Every function here acts on the world this process is attached to;
// without a world they do nothing and read as an empty machine.
//
// Records: every port write (port, width, value, in order) and every access to a device (open,
// request, close, accepted or refused) is kept in memory for tests until ClearHardwareRecord, and
// appended to <root>/hardware.jsonl for the report whenever the world is flushed.
//
// Fault knobs: the profile's "faults" section sets them when the world is made; SetFault changes
// one while the world runs (the change is kept in the state, so child processes see it too).
//
//   kbcInputNeverClears     bool   the keyboard controller's status bit 1 (input full) never clears
//   kbcNeverPresentsOutput  bool   status bit 0 (output full) is never set: no reply, no pending byte
//   mailboxNeverClears      bool   a command written to mailbox register 0x82 stays there
//   smiNeverCompletes       bool   the SMI handler never sets the request's status byte to 0xAA
//   dmiEntryPointMissing    bool   no "_DMI_" entry point in the F0000 segment
//   dmiMissingTypes         array  DMI structure types left out of the table, e.g. [11]
//   rejectRequests          "none" | "all" | "ports": the open access device refuses every request
//                                  (DeviceIoControl false, ERROR_GEN_FAILURE), or only port requests
//   rejectRequestsCount     null | n: refuse only the next n such requests, then accept again
//   deviceOpenFailures      n      the next n opens of an access device fail (ERROR_FILE_NOT_FOUND)
//   deviceOpensBeforeFailures n    that many opens succeed before those failures begin (a device
//                                  that goes away in the middle of a run)
//   scmAccessDenied         bool   OpenSCManager fails with ERROR_ACCESS_DENIED
//   serviceStartFails       bool   StartService fails (ERROR_DRIVER_BLOCKED); the device never appears
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace emu {

// ---------------------------------------------------------------------------------------------
// Records

struct PortWrite {
    uint16_t port = 0;
    uint8_t width = 1;  // bytes: 1, 2 or 4
    uint32_t value = 0;
    bool operator==(const PortWrite&) const = default;
};

struct DeviceEvent {
    std::string what;    // "open", "request" or "close"
    std::string device;  // "QLIX", "KMDFMEMIO", "ADDMEM", "MEMIO.VXD", "PhysicalDrive0"; for a
                         // refused open of an unknown device, the path as given
    uint32_t code = 0;   // request: the I/O control code
    uint32_t inSize = 0;
    uint32_t outSize = 0;
    bool accepted = false;
    uint32_t error = 0;  // the Windows error of a refusal
    std::string reason;  // why it was refused ("input length 10, expected 9")
    double atMs = 0;     // milliseconds since this process attached to its world
};

std::vector<PortWrite> PortWrites();
// The writes to the given ports only, in order.
std::vector<PortWrite> PortWritesTo(const std::vector<uint16_t>& ports);
std::vector<DeviceEvent> DeviceEvents();
std::vector<DeviceEvent> DeviceRequests();  // what == "request"
std::vector<DeviceEvent> DeviceOpens();     // what == "open"
// Handles of access devices and drives open now.
int OpenDeviceHandles();
// Breaches of a hardware protocol, one plain line each: a byte written to the keyboard
// controller while its input buffer was full, an SMI command out of order, an exchange command
// outside an exchange, ...
std::vector<std::string> ProtocolErrors();
// Number of port reads since the last clear (reads are counted, not listed).
uint64_t PortReadCount();
void ClearHardwareRecord();
// Clears the records without writing them to hardware.jsonl: for runs of millions of requests
// that no report reads (fuzzing).
void DiscardHardwareRecord();

// ---------------------------------------------------------------------------------------------
// Fault knobs

// Throws std::invalid_argument for a name that is no knob.
void SetFault(const std::string& name, const nlohmann::json& value);
nlohmann::json Fault(const std::string& name);

// ---------------------------------------------------------------------------------------------
// Direct access, as the hardware sees it (the access devices carry out requests with these)

// Width 1, 2 or 4. A port nothing answers reads as all ones. Reads and writes of a test go into
// the record like those of the program.
uint32_t ReadPort(uint16_t port, int width);
void WritePort(uint16_t port, int width, uint32_t value);
// Physical memory: RAM below 0xA0000 (the SMI request buffer lives there), the F0000 segment, a
// DMI table placed below it, the flash window at 4 GiB less the part's size; all else reads 0xFF.
// Only RAM takes writes.
void ReadPhysical(uint64_t address, uint8_t* out, size_t length);
void WritePhysical(uint64_t address, const uint8_t* data, size_t length);
// Lays bytes over the memory below 1 MiB (RAM, the BIOS segment, a DMI table below it) after
// everything the profile puts there, as a BIOS with other contents would show them; bytes past
// 1 MiB are dropped. It stays, in the state too, until the next call; an empty block removes it.
// Each call lays it afresh, over what the program wrote to RAM too.
void SetMemoryOverlay(uint64_t address, const std::vector<uint8_t>& bytes);

// ---------------------------------------------------------------------------------------------
// The notebook's state

// The embedded controller's RAM (64 KiB).
uint8_t EcRam(uint16_t address);
void SetEcRam(uint16_t address, uint8_t value);
// Commands the controller was given, in order: {"channel":"kbc"|"mailbox","code":220,
// "parameters":[...]} (parameters for the mailbox only).
std::vector<nlohmann::json> EcCommands();
// How the automatic power-on was armed: "" (not armed), "kbc" (command 0xDC over the keyboard
// controller), "mailbox" (0xDC through mailbox register 0x82). The legacy controller's arming
// bit is EcRam(0xE887) & 1.
std::string PowerOnArming();

enum class KbcSide { Keyboard, Auxiliary };
struct KeyboardControllerState {
    uint8_t commandByte = 0;
    bool keyboardEnabled = true;   // command byte bit 4 clear
    bool auxiliaryEnabled = true;  // command byte bit 5 clear
    bool outputFull = false;       // a byte waits at port 0x60
    uint8_t output = 0;
    bool outputAuxiliary = false;
    bool inExchange = false;       // between 0xB1 and its end command
};
KeyboardControllerState KeyboardController();
// Places a byte in the output buffer now (a key press, a pointer movement).
void PresentKbcByte(KbcSide side, uint8_t value);
// A byte the controller presents right after the next 0xB1.
void SetPendingExchangeByte(KbcSide side, uint8_t value);
// Bytes given back to the keyboard or auxiliary side by 0xB3/0xB4: {"side":"keyboard","value":n}.
std::vector<nlohmann::json> ReturnedBytes();

// CMOS: bank 0 through ports 0x70/0x71, bank 1 through 0x72/0x73; 128 bytes each.
uint8_t Cmos(int bank, uint8_t index);
void SetCmos(int bank, uint8_t index, uint8_t value);

// The power-management SMI control word (base + 0x30), and its bit 0.
uint16_t SmiControlWord();
bool GlobalSmiEnabled();
// Software SMI requests handled: {"function":4,"completed":true}.
std::vector<nlohmann::json> SmiRequests();

// The flash part (1 or 2 MiB) behind the window at the top of the 4 GiB space.
std::vector<uint8_t> FlashContents();
void WriteFlash(uint32_t offset, const std::vector<uint8_t>& bytes);
uint32_t FlashSize();

// DMI strings the BIOS publishes, by name: "biosVendor", "biosVersion", "biosReleaseDate",
// "manufacturer", "product", "systemVersion", "serial", "biosFlag", "purchaseDate". Changing one
// (as a flash tool with DMI arguments does) changes the published table.
std::string DmiString(const std::string& name);
void SetDmiString(const std::string& name, const std::string& text);

// The running BIOS's identification, as its segment (F0000) shows it in the "DiaG@" and "DEVEL"
// blocks and the SMI interface's model answer: the profile's until a flash tool writes a new BIOS
// and sets the new one's (model 4 or 5 characters, version 4 or 5, part number 3).
struct BiosIdentity {
    std::string model;
    std::string version;
    std::string partNumber;
};
BiosIdentity RunningBiosIdentity();
void SetBiosIdentity(const BiosIdentity& identity);
// The AMI BIOS's decimal version in its "AMIBIOS" block: the profile's (bios.amiVersion) until a
// flash tool writes a new BIOS and sets the new one's.
uint32_t RunningAmiVersion();
void SetRunningAmiVersion(uint32_t version);

// The service control manager's view of one service.
struct ServiceState {
    bool exists = false;
    bool running = false;
    bool markedForDelete = false;
    std::string imagePath;
    std::string displayName;
};
ServiceState Service(const std::string& name);

// Present devices in enumeration order.
struct PresentDeviceState {
    std::string className;  // empty when the device has no class
    std::string description;
    bool enabled = true;
    uint32_t status = 0;
    uint32_t problem = 0;
    int changes = 0;  // enable/disable changes carried out
};
std::vector<PresentDeviceState> PresentDevices();

}  // namespace emu
