// Stands in for the program behind the emulated program's face. Its command line is a list of
// steps, run in order:
//   box          shows an OK/Cancel box; Cancel ends the run with 7
//   exitprocess  ends through os::ExitProcess(0x8000000E)
//   shutdown     enables the shutdown privilege and asks for a power-off
//   whoami       records the command line, the module file name and the current directory
//   code=N       ends the run with N (decimal or 0x hex)
#include <cstdlib>
#include <cstring>
#include <string>

#include "emu/program.h"
#include "emu/world.h"
#include "os/os.h"

namespace {

uint32_t Entry(char* commandLine) {
    std::string text = commandLine;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        std::string step = text.substr(start, end - start);
        start = end + 1;
        if (step == "box") {
            if (os::MessageBox(nullptr, "Hello\nWorld", "Greeting", os::kMbOkCancel | os::kMbIconInformation) ==
                os::kIdCancel)
                return 7;
        } else if (step == "exitprocess") {
            os::ExitProcess(0x8000000Eu);
        } else if (step == "shutdown") {
            os::EnableShutdownPrivilege();
            os::ExitWindowsEx(os::kEwxPowerOff);
        } else if (step == "whoami") {
            char module[260] = {}, directory[260] = {};
            os::GetModuleFileName(module, sizeof module);
            os::GetCurrentDirectory(directory, sizeof directory);
            emu::Record({{"event", "whoami"}, {"commandLine", commandLine}, {"module", module},
                         {"directory", directory}});
        } else if (step.rfind("code=", 0) == 0) {
            return static_cast<uint32_t>(std::strtoul(step.c_str() + 5, nullptr, 0));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { emu::RunEmulatedProgram(argc, argv, "test-program", Entry); }
