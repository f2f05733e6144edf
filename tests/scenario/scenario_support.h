// Running notebook-emu on a machine profile and a packaged program, and reading its JSON report.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace scenario {

struct Run {
    int status = -1;       // notebook-emu's exit status
    std::string output;    // what it printed
    nlohmann::json report; // the JSON report (null when none was written)
};

// The path of a machine profile of emu/machines and of a package of the scenario fixture.
std::string Machine(const std::string& name);
std::string Package(const std::string& name);

// notebook-emu with these arguments; the output and the exit status.
Run RunNotebookEmu(const std::vector<std::string>& arguments);
// A host program (its path first) with these arguments; its output (both streams) and status.
Run RunCommand(const std::vector<std::string>& arguments);

// `notebook-emu run` of a package (packages/<name>.exe) on a profile (emu/machines/<name>.json)
// with the program's options; the world is kept in <binary dir>/worlds/<world>.
Run RunScenario(const std::string& world, const std::string& machine, const std::string& package,
                const std::vector<std::string>& options = {});
// RunScenario on the profile emu/machines/<machine>.json with patch (a JSON merge patch, such as
// {"faults": {"mailboxNeverClears": true}}) laid over it; the patched profile is kept beside the
// world as <world>-machine.json.
Run RunPatchedScenario(const std::string& world, const std::string& machine, const nlohmann::json& patch,
                       const std::string& package, const std::vector<std::string>& options = {});

// Parts of a report, as a technician reads them.
uint32_t ResultCode(const nlohmann::json& report);
std::vector<std::string> Captions(const nlohmann::json& report);
// The tool command lines, without the working folder in front ("SWinFlash bios.wph /P").
std::vector<std::string> ToolCommands(const nlohmann::json& report);
std::vector<std::string> WorkingFolderFiles(const nlohmann::json& report);

}  // namespace scenario
