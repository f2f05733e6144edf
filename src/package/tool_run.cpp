#include "package/tool_run.h"

#include "base/text.h"
#include "core/context.h"
#include "os/os.h"

bool BuildToolCommandLine(const char* commandText, char* line, size_t size) {
    if (CopyText(line, size, ctx.workDir) && AppendText(line, size, commandText)) return true;
    if (size > 0) line[0] = '\0';
    return false;
}

ToolRun RunToolToEnd(const char* commandLine, uint32_t* exitCode) {
    os::ProcessInfo info;
    const char* directory = ctx.workDir[0] != '\0' ? ctx.workDir : nullptr;
    if (!os::CreateProcess(commandLine, directory, &info)) {
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
