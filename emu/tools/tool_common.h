// What the emulated flash tools share: attaching to the world they were started in, the profile's
// knobs for a tool, files of the emulated working folder, and plain text helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::tools {

// Attaches to the world of the emulated process that started this one; on failure prints why
// and ends the process with 99 (a tool started outside an emulated Windows has nothing to do).
void AttachOrExit(const char* toolName);

// The profile's knobs for one tool (tools.<name> of the machine profile).
struct ToolKnobs {
    std::optional<int64_t> exitCode;  // end at once with this code, doing nothing
    bool crash = false;               // die of an access violation at once
};
ToolKnobs KnobsOf(const std::string& name);
// Applies the knobs: crashes, or ends with the code after recording `event` with the outcome.
// Returns when no knob is set.
void ApplyKnobs(const ToolKnobs& knobs, const std::string& eventKind, const std::string& toolName);

// Files named relative to the emulated current directory (the working folder).
bool ReadWindowsFile(const std::string& windowsPath, std::vector<uint8_t>* bytes);
bool WriteWindowsFile(const std::string& windowsPath, const std::vector<uint8_t>& bytes);
bool AppendWindowsText(const std::string& windowsPath, const std::string& text);

std::string Upper(std::string text);
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

}  // namespace emu::tools
