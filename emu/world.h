// The emulated notebook and its Windows, as one "world" kept in a folder (the emulated root).
//
// A machine profile (JSON) describes the notebook; CreateWorld lays out a fresh root from it and
// attaches the calling process. Child processes (the emulated flash tools) and the report after
// the run attach to the same root with AttachWorld. Everything a person would have seen or a
// technician would check is recorded in the root: the transcript of message boxes, windows,
// processes and the switch-off, and the machine's state.
//
// This library is written from the hardware's and Windows' side. It never includes the program's
// headers (src/): the program's request records and offsets must meet an independent model here.
//
// Layout of a root:
//   .emulated-world     marker: CreateWorld only clears a folder that holds it (or an empty one)
//   machine.json        the profile with every default filled in
//   C/                  drive C: of the emulated Windows
//   state/state.json    the machine's state (small values); state/<name> for large parts
//   processes/          exit codes that emulated programs hand to their parent (32 bits)
//   transcript.jsonl    one JSON object per line, appended as things happen
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace emu {

// Lays out a new root from a profile (JSON text), removing what an earlier world left there, and
// attaches this process to it. False with a reason when the profile is invalid or the root cannot
// be written. A folder that is neither empty nor an earlier world is left alone (and refused).
bool CreateWorld(const std::string& root, const std::string& profileJson, std::string* error);
// Attaches this process to an existing root, as the program the profile names.
bool AttachWorld(const std::string& root, std::string* error);
// Attaches a process that an emulated CreateProcess started: the root, its program path, command
// line and current directory come from the environment (see emu/process.h). False when this
// process was not started that way.
bool AttachFromEnvironment(std::string* error);
// Writes the machine's state to the root (the transcript is written as it happens).
void FlushWorld();
// Flushes and detaches; the process may attach to another root afterwards.
void DetachWorld();
bool WorldAttached();
std::string WorldRoot();

// The profile the world was made from, with every default filled in (an empty object when no
// world is attached).
const nlohmann::json& Profile();
// One value of the profile by JSON pointer ("/windows/major"); null when absent or detached.
const nlohmann::json& ProfileValue(const std::string& pointer);

// The host file or folder behind a Windows path of the emulated file system ("C:\..." maps to
// <root>/C/...). Components that exist are found without regard to case; the rest are kept as
// written. Relative paths are taken from the emulated current directory. Empty for a path that
// does not lie on the emulated drive.
std::string HostPathOf(const std::string& windowsPath);

// The transcript, in the order things happened. Each event is an object with at least "event":
//   {"event":"messageBox","owner":bool,"style":16,"caption":"...","text":"...","answer":1}
//   {"event":"shutdown","flags":8,"privilegeEnabled":true,"accepted":true}
//   {"event":"exit","code":2147483662}   (the process's full 32-bit exit code)
//   {"event":"process","commandLine":"...","directory":"...","program":"...","started":true,"exitCode":0}
//   {"event":"start","program":"...","commandLine":"..."}   (the emulated program began)
//   {"event":"priorityClass","class":256}
//   {"event":"stderr","text":"..."}
//   {"event":"unsupported","call":"DialogBox"}   (a Windows service the world does not model yet)
// further kinds are added as the world grows (window, device, service, ...).
std::vector<nlohmann::json> Transcript();
std::vector<nlohmann::json> TranscriptOf(const std::string& eventKind);
// Appends one event; safe from any thread and any process of the world.
void Record(const nlohmann::json& event);

// ---------------------------------------------------------------------------------------------
// Machine state
//
// Small values live in one JSON document, loaded on attach and written by FlushWorld. Large parts
// (flash contents, controller RAM) are files of the state folder, read and written by the part
// that owns them. Parts that keep state in memory register hooks: `save` runs at every flush,
// `load` after the state was read again (a child process has changed the machine).

// Hold the lock while reading or changing State().
std::unique_lock<std::recursive_mutex> LockState();
nlohmann::json& State();
std::string StateFilePath(const std::string& name);
void AddStateHooks(std::function<void()> save, std::function<void()> load);
// Reads the state again from the root (after a child process ended).
void ReloadState();

// ---------------------------------------------------------------------------------------------
// This process as the emulated Windows sees it

// The Windows path of the running program's file (GetModuleFileName).
std::string ProgramPath();
// The whole Windows command line (GetCommandLine), program name included.
std::string CommandLine();
// Sets the whole command line (the face of the emulated program does, from its options).
void SetCommandLine(const std::string& commandLine);
// Marks this process as the program a person started (its end prints a summary).
void SetTopProgram(bool top);
bool IsTopProgram();

// Reads a whole host file into bytes, in one read (flash parts and images are megabytes, and
// byte-wise stream reads are slow in sanitized builds). False when it cannot be read.
bool ReadHostFile(const std::string& path, std::vector<uint8_t>* bytes);

// Per-process Windows values kept by the emulated system services.
uint32_t PriorityClass();
void SetPriorityClassValue(uint32_t priorityClass);
bool ShutdownPrivilegeEnabled();
void SetShutdownPrivilegeEnabled(bool enabled);

// The emulated Windows clock (GetTickCount): milliseconds since the machine started, wrapping at
// 2^32 as Windows' count does. It starts at the profile's windows.tickCountStart when the process
// attaches and moves only while a thread of the process sleeps, so that a test sees exactly the
// time a program waited, however fast the host runs it.
uint32_t TickCount();
// Sleep: the clock moves on by the time asked, rounded up to whole periods of the system timer
// (windows.timerPeriodUs; Windows' default period is 15625 us, so Sleep(1) lasts 15.6 ms there).
// The thread also sleeps on the host for the time asked, so that other threads (the progress
// window's) get on as they would.
void Sleep(uint32_t milliseconds);

}  // namespace emu
