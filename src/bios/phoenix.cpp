#include "bios/phoenix.h"

#include "core/context.h"
#include "core/messages.h"
#include "base/text.h"
#include "bios/image.h"
#include "hw/input.h"
#include "os/os.h"
#include "package/tool_run.h"
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
