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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace emu {

// Lays out a new root from a profile (JSON text), removing what an earlier world left there, and
// attaches this process to it. False with a reason when the profile is invalid or the root cannot
// be written.
bool CreateWorld(const std::string& root, const std::string& profileJson, std::string* error);
// Attaches this process to an existing root.
bool AttachWorld(const std::string& root, std::string* error);
// Writes the machine's state to the root (the transcript is written as it happens).
void FlushWorld();
// Flushes and detaches; the process may attach to another root afterwards.
void DetachWorld();
bool WorldAttached();
std::string WorldRoot();

// The profile the world was made from, with every default filled in.
const nlohmann::json& Profile();

// The host file or folder behind a Windows path of the emulated file system ("C:\..." maps to
// <root>/C/...). Components that exist are found without regard to case; the rest are kept as
// written. Relative paths are taken from the emulated current directory.
std::string HostPathOf(const std::string& windowsPath);

// The transcript, in the order things happened. Each event is an object with at least "event":
//   {"event":"messageBox","owner":bool,"style":16,"caption":"...","text":"...","answer":1}
//   {"event":"shutdown","flags":8}
//   {"event":"exit","code":2147483662}   (the process's full 32-bit exit code)
//   {"event":"process","commandLine":"...","directory":"...","started":true,"exitCode":0}
// further kinds are added as the world grows (window, device, service, ...).
std::vector<nlohmann::json> Transcript();
std::vector<nlohmann::json> TranscriptOf(const std::string& eventKind);
void Record(const nlohmann::json& event);

}  // namespace emu
