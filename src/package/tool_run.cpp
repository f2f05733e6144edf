#include "package/tool_run.h"

#include "base/text.h"
#include "core/context.h"
#include "os/os.h"

bool BuildToolCommandLine(const char* commandText, char* line, size_t size) {
    if (CopyText(line, size, ctx.workDir) && AppendText(line, size, commandText)) return true;
    if (size > 0) line[0] = '\0';
    return false;
}

bool ToolProgramPath(const char* commandLine, char* path, size_t size) {
    if (size == 0) return false;
    path[0] = '\0';
    const size_t dirLength = BoundedLength(ctx.workDir, sizeof ctx.workDir);
    if (dirLength == 0 || CompareIgnoreCaseN(commandLine, ctx.workDir, dirLength) != 0) return false;
    const char* name = commandLine + dirLength;
    size_t nameLength = 0;
    bool hasExtension = false;
    while (name[nameLength] != '\0' && name[nameLength] != ' ' && name[nameLength] != '\t') {
        if (name[nameLength] == '.') hasExtension = true;
        ++nameLength;
    }
    if (nameLength == 0 || dirLength + nameLength >= size) return false;
    CopyTextN(path, size, commandLine, dirLength + nameLength);
    if (!hasExtension && !AppendText(path, size, ".exe")) {
        path[0] = '\0';
        return false;
    }
    return true;
}

ToolRun RunToolToEnd(const char* commandLine, uint32_t* exitCode) {
    os::ProcessInfo info;
    const char* directory = ctx.workDir[0] != '\0' ? ctx.workDir : nullptr;
    // The program is named by its file, not left to the first word of the command line: the
    // working directory's path may hold blanks ("C:\Documents and Settings\..."), and Windows would
    // then try "C:\Documents.exe", "C:\Documents and.exe", ... first, running whatever program
    // was planted there with this program's administrator rights. The command line stays as it
    // is, so the tool sees what it always saw.
    char program[kToolCommandLineSize];
    const bool named = ToolProgramPath(commandLine, program, sizeof program);
    if (!os::CreateProcess(named ? program : nullptr, commandLine, directory, &info)) {
        *exitCode = os::GetLastError();
        return ToolRun::NotStarted;
    }
    // No time limit: a flash tool is never stopped or abandoned, since a tool cut off in the middle
    // of writing the flash part can leave the notebook unable to start. The tool ends by itself.
    ToolRun result = ToolRun::Ended;
    if (os::WaitForSingleObject(info.process, os::kInfinite) != os::kWaitObject0) {
        // Without a finished wait the tool may still be writing: its "exit code" would only say
        // that it is still active, and nothing may be judged from it.
        *exitCode = os::GetLastError();
        result = ToolRun::NotStarted;
    } else if (!os::GetExitCodeProcess(info.process, exitCode)) {
        *exitCode = os::GetLastError();
        result = ToolRun::ExitCodeUnread;
    }
    os::CloseHandle(info.thread);
    os::CloseHandle(info.process);
    return result;
}
