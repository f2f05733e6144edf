// What a run of the updater did to an emulated notebook, as a technician reads it: built from an
// emulated world's root after the run (the profile it was made from, the machine's state, the
// transcript, the files of drive C:).
//
// The report is one JSON object; FormatReport prints the same as text. Its members:
//   run             how the program was run and how it ended (from <root>/notebook-emu.json when
//                   notebook-emu ran it): variant, program file, machine profile, options, ended
//   result          the exit code with its name, caption and text from the program's result table
//   messageBoxes    in order: style and its meaning, caption, text, answer
//   progressWindow  the progress window's last state: step lines with their marks, progress text
//   debugLogs       "DebugLog.txt" of the folders a run writes it to, with their lines
//   tools           each tool command line with its exit code; biosFlashTool / micomFlashTool:
//                   what the emulated tools recorded of themselves
//   flash           the part's size, the blocks the tool wrote, and the part's contents by block
//                   (which image's block each holds, read from the images' page tags)
//   biosIdentity    model, version and part number before and after (the BIOS segment's blocks)
//   dmi             the DMI strings before and after, and those that changed
//   controller      kind, mailbox, automatic power-on (armed, how), commands, MICOM image taken
//   cmos, smi       CMOS cleared or not; SMI enabled, the control word
//   inputDevices    mouse devices and the keyboard controller's interfaces at the end; whether
//                   the mice were held off, and when the device installer would not disable
//                   them, why they stayed on (miceStayedOnBecause: error, name, why)
//   switchOff       whether the system was switched off, with the flags
//   workingFolder   the working folder and the files left in it
//   notes           breaches of hardware protocols, calls the emulated Windows does not model,
//                   lines the program wrote to its standard error
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace emu::report {

// The file notebook-emu leaves in a root with what it knows of the run.
constexpr const char* kRunFileName = "notebook-emu.json";

// Attaches to the world at root (detaching from any other), reads it and detaches. False with a
// reason when root is not an emulated world.
bool BuildReport(const std::string& root, nlohmann::json* report, std::string* error);

// The report as text for a person.
std::string FormatReport(const nlohmann::json& report);

// The name and texts of a result code from the program's result table ("Success" for 0).
nlohmann::json DescribeResult(uint32_t code);

// Message-box style flags in words ("error icon; OK").
std::string DescribeStyle(uint32_t style);

}  // namespace emu::report
