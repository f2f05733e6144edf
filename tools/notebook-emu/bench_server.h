// The bench server: the emulated notebook as the real Windows program under Wine reaches it.
//
// It listens on 127.0.0.1 only and serves three kinds of clients, each on its own connection:
//   - the ADDMEM driver of the Wine bench (emu/wine-driver), which forwards every device I/O
//     control request of the "\\.\ADDMEM" device; the request is carried out by the emulated
//     notebook's own ADDMEM device of the attached world;
//   - the Windows builds of the emulated flash tools, which hand over their command line and
//     current directory; the server runs the tool's Linux build on the same world with the same
//     contracts and answers with its full 32-bit exit code;
//   - the bench's watcher inside Wine, which starts the program, reports each message box it
//     sees and clicks the answer the profile gives, reports the progress window's controls, types
//     the profile's attempts into the DMI settings dialog, and reports the program's full exit code.
//
// Frames are little-endian; each request begins with a 32-bit magic:
//   "ADMQ" code, input length, output size, input       -> NTSTATUS, output length, output
//   "TOOL" kind, command length, directory length,
//          program length, command, directory, program -> exit code
//   "MBOX" owned, style, caption length, text length,
//          caption, text                                -> button id
//   "WIND" window, closed, control count,
//          then per control: id, text length, text      -> 0
//   "DMID" window, title length, title, then for the
//          serial, flag and date fields: length, text  -> press (0 none, 1 OK, 2 Cancel, 3 close
//                                                          box), typed count, then per field typed:
//                                                          control id, text length, text
//                                                          (0 and none typed: the profile has no
//                                                          attempt for it, now or later)
//   "EXIT" exit code                                    -> 0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr uint32_t kDeviceMagic = 0x514D4441u;   // "ADMQ"
constexpr uint32_t kToolMagic = 0x4C4F4F54u;     // "TOOL"
constexpr uint32_t kBoxMagic = 0x584F424Du;      // "MBOX"
constexpr uint32_t kWindowMagic = 0x444E4957u;   // "WIND"
constexpr uint32_t kDialogMagic = 0x44494D44u;   // "DMID"
constexpr uint32_t kExitMagic = 0x54495845u;     // "EXIT"

// The largest device transfer: the biggest block the notebook's device maps, with its address.
constexpr uint32_t kLargestTransfer = 0x1000000u + 8u;
constexpr uint32_t kLargestText = 0x10000u;

// The NTSTATUS the driver completes a request with, for the Windows error of the emulated device
// (Wine turns it back into the same error for DeviceIoControl's caller).
uint32_t StatusOfError(uint32_t windowsError);

// Tool kinds a Windows tool build names, with the Linux build that does its work.
enum class ToolKind : uint32_t { Phoenix = 1, Micom = 2, Ami = 3 };
// The Linux build's file name beside notebook-emu ("emu-swinflash"), empty for an unknown kind.
std::string LinuxToolName(uint32_t kind);

// Carries out one ADDMEM request on the attached world: status, output bytes.
uint32_t DeviceRequest(uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out);

// Runs a tool's Linux build for a Windows tool build that was started with this command line in
// this Windows current directory, as the world's process rules run it: its exit code (32 bits),
// recorded as a process of the transcript.
uint32_t RunTool(const std::string& toolFolder, uint32_t kind, const std::string& commandLine,
                 const std::string& directory, const std::string& program);

struct Server;
// Starts listening on 127.0.0.1 at a port of the system's choice, serving the attached world;
// toolFolder holds the Linux builds of the tools. Null with a reason when it cannot listen.
Server* StartServer(const std::string& toolFolder, uint16_t* port, std::string* error);
// True once the watcher has reported the program's exit; *code is then its exit code.
bool ProgramExited(Server* server, uint32_t* code);
// Stops listening, ends every connection and waits for the threads.
void StopServer(Server* server);

}  // namespace bench
