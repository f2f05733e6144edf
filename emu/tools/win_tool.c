/* The Windows build of an emulated flash tool (the Phoenix, the MICOM or the AMI tool, chosen by
 * BENCH_TOOL_KIND when it is built). It hands its command line, its current directory and its
 * program path to the notebook-emu server, which runs the tool's Linux build on the same
 * emulated notebook with the same contracts, and ends with the full 32-bit exit code the Linux
 * build ended with. Without the server (ROMSHELL_BENCH_PORT unset or nobody listening) it ends
 * with 99, as the Linux build does outside an emulated Windows. */
#include "emu/wine-driver/bench_client.h"

#define TOOL_MAGIC 0x4C4F4F54u /* "TOOL" */
#define EXIT_NO_WORLD 99

void __stdcall ToolMain(void) {
    static char directory[MAX_PATH + 1];
    static char program[MAX_PATH + 1];
    const char* commandLine = GetCommandLineA();
    unsigned long code = EXIT_NO_WORLD;
    unsigned short port = BenchPortFromEnvironment();
    DWORD directoryLength = GetCurrentDirectoryA(sizeof directory, directory);
    DWORD programLength = GetModuleFileNameA(NULL, program, sizeof program);
    SOCKET s;
    if (directoryLength == 0 || directoryLength >= sizeof directory) directoryLength = 0;
    if (programLength >= sizeof program) programLength = 0;
    s = port != 0 ? BenchConnect(port) : INVALID_SOCKET;
    if (s == INVALID_SOCKET) {
        BenchComplain("emulated tool: not started on an emulated notebook (no notebook-emu server)");
        ExitProcess(EXIT_NO_WORLD);
    }
    if (!BenchSendWord(s, TOOL_MAGIC) || !BenchSendWord(s, BENCH_TOOL_KIND) ||
        !BenchSendWord(s, BenchLength(commandLine)) || !BenchSendWord(s, directoryLength) ||
        !BenchSendWord(s, programLength) || !BenchSend(s, commandLine, BenchLength(commandLine)) ||
        !BenchSend(s, directory, directoryLength) || !BenchSend(s, program, programLength) ||
        !BenchReceiveWord(s, &code)) {
        BenchComplain("emulated tool: the notebook-emu server broke off");
        code = EXIT_NO_WORLD;
    }
    closesocket(s);
    ExitProcess((UINT)code);
}
