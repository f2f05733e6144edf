// Running a host program to its end or to a time limit, for notebook-emu.
#pragma once

#include <string>
#include <vector>

namespace notebook_emu {

struct Ended {
    std::string how;  // "exited", "signal", "timeout"
    int status = 0;   // exit status or signal
};

// Runs args (args[0] a path) with its output into outputPath, in a process group of its own, so
// that a run that does not end is stopped with every process it started. The environment is this
// process's without the emulated world's variables, with extraEnvironment ("NAME=value") over it.
// timeoutSeconds 0 waits without a limit. False with a reason when it cannot be started.
bool RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment,
                const std::string& outputPath, int timeoutSeconds, Ended* ended, std::string* error);

}  // namespace notebook_emu
