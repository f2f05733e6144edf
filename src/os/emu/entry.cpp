// The emulated program's entry point: the Linux build of the program runs against the emulated
// notebook and its Windows (see emu/program.h for its command line).
#include "app/entry.h"
#include "core/variant.h"
#include "emu/program.h"
#include "os/os.h"

namespace {

uint32_t EnterProgram(char* commandLine) { return ProgramEntry(os::ProgramModule(), commandLine); }

}  // namespace

int main(int argc, char** argv) {
    emu::RunEmulatedProgram(argc, argv, kVariant.programName, EnterProgram);
}
