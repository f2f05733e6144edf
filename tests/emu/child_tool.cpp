// Stands in for an emulated tool in the process tests. The first argument chooses what it does:
//   report       records what it was given (argv, command line, directories, program path)
//   exit CODE    ends through emu::ExitTool with CODE (decimal or 0x hex, 32 bits)
//   plain CODE   returns CODE from main without handing over a full code
//   crash        dies of SIGSEGV
//   state TEXT   writes TEXT into the machine's state and ends with 0
//   sleep MS     waits MS milliseconds and ends with 0
//   hardware     copies controller RAM byte 0x10 to 0x11, writes 0xC3 at the start of the flash
//                part and 0x99 to CMOS index 0x40 through the ports, and ends with 0
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "emu/hardware.h"
#include "emu/process.h"
#include "emu/winfs.h"
#include "emu/world.h"

int main(int argc, char** argv) {
    std::string error;
    if (!emu::AttachFromEnvironment(&error)) {
        std::fprintf(stderr, "child: %s\n", error.c_str());
        return 99;
    }
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "report") {
        nlohmann::json args = nlohmann::json::array();
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        char host[4096] = {};
        if (getcwd(host, sizeof host) == nullptr) host[0] = '\0';
        emu::Record({{"event", "child"},
                     {"argv", args},
                     {"commandLine", emu::CommandLine()},
                     {"environmentCommandLine", std::getenv(emu::kEnvCommandLine)},
                     {"directory", emu::CurrentDirectory()},
                     {"hostDirectory", host},
                     {"program", emu::ProgramPath()}});
        emu::ExitTool(0);
    }
    if (mode == "exit" && argc > 2) emu::ExitTool(static_cast<int32_t>(std::strtoul(argv[2], nullptr, 0)));
    if (mode == "plain" && argc > 2) return std::atoi(argv[2]);
    if (mode == "crash") {
        signal(SIGSEGV, SIG_DFL);
        kill(getpid(), SIGSEGV);
        pause();
    }
    if (mode == "state" && argc > 2) {
        {
            auto lock = emu::LockState();
            emu::State()["child"] = argv[2];
        }
        emu::ExitTool(0);
    }
    if (mode == "hardware") {
        emu::SetEcRam(0x11, emu::EcRam(0x10));
        emu::WriteFlash(0, {0xC3});
        emu::WritePort(0x70, 1, 0x40);
        emu::WritePort(0x71, 1, 0x99);
        emu::ExitTool(0);
    }
    if (mode == "sleep" && argc > 2) {
        usleep(static_cast<useconds_t>(std::atoi(argv[2])) * 1000);
        emu::ExitTool(0);
    }
    return 98;
}
