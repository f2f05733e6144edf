#include "bios/phoenix.h"

#include "app/context.h"
#include "app/messages.h"
#include "base/text.h"
#include "bios/image.h"
#include "hw/input.h"
#include "os/os.h"
#include "package/workdir.h"
#include "ui/progress.h"

namespace {

// Exit codes with which the Phoenix tool refuses an image.
constexpr int32_t kToolRefusedModel = -120;
constexpr int32_t kToolNotNewer = -110;
constexpr int32_t kToolNotNewerDate = -109;
// Exit codes of the form 0xCxxxxxxx are the system's error statuses: the tool did not end by
// itself but died of an exception (0xC0000005, an access violation) or was killed by one.
constexpr uint32_t kSeverityMask = 0xF0000000;
constexpr uint32_t kSeverityError = 0xC0000000;

// The image the tool refused, which it leaves in the working directory.
constexpr const char* kRefusedImage = "newSys.bin";

}  // namespace

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

ResultCode RunBiosFlashTool(const char* biosToolCommand) {
    char line[kToolCommandLineSize];
    if (!BuildToolCommandLine(biosToolCommand, line, sizeof line)) {
        LogLine("Bios command too long : %s%s", ctx.workDir, biosToolCommand);
        EnableInputDevices();
        return kResultBiosUpdate;
    }
    LogLine("Bios command : %s", line);
    MarkStep(kMarkBiosUpdate, 0);

    uint32_t exitCode = 0;
    if (RunToolToEnd(line, &exitCode) == ToolRun::NotStarted) {
        // Nothing was flashed, or nobody knows what was: going on as after a success would
        // update the MICOM and switch the notebook off over an unknown BIOS.
        LogLine("Bios tool not run : error %u", exitCode);
        EnableInputDevices();
        return kResultBiosUpdate;
    }
    // An exit code that could not be read holds the last error value, a small positive number,
    // which counts as the tool's success as any code other than a refusal does.

    const int32_t code = static_cast<int32_t>(exitCode);
    if (code == kToolRefusedModel || code == kToolNotNewer || code == kToolNotNewerDate) {
        // The refusal message names the refused image's model and part number.
        ReadImageIdentity(kRefusedImage);
        EnableInputDevices();
        return code == kToolRefusedModel ? kResultModelRefused : kResultBiosNotNewer;
    }
    if ((exitCode & kSeverityMask) == kSeverityError) {
        // A tool that crashed may have stopped in the middle of a write: the flash part's state is
        // unknown, and the run must not go on to the MICOM and the switch-off as after a success.
        LogLine("Bios tool ended abnormally : %08X", exitCode);
        EnableInputDevices();
        return kResultBiosUpdate;
    }

    RemovePhoenixWorkingSet();
#if !ROMSHELL_PHX
    RemoveAmiToolSet();
#endif
    MarkStep(kMarkBiosUpdate, 1);
    return kResultOk;
}
