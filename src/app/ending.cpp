// The end of a successful run: the completion message, the automatic power-on and the switch-off.
#include "app/ending.h"

#include "app/shutdown.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "hw/driver.h"
#include "micom/micom.h"
#include "os/os.h"
#include "package/workdir.h"
#include "ui/progress.h"

namespace {

void ShowCompletionMessage() {
    StopProgressAnimation();
    LoadText(kTextCaptionComplete, ctx.captionText, sizeof ctx.captionText);
    char text[kTextSize];
    LoadText(kTextTurnOffAndOn, text, sizeof text);
    ShowMessage(kStyleInformation, ctx.captionText, "%s", text);
}

}  // namespace

ResultCode ArmPowerOnAndSwitchOff() {
    ResultCode armed;
    if (ctx.newEcKind == 1) {
        ShowCompletionMessage();
        armed = ArmPowerOnNewEc();
    } else {
        if (HasOption(NoPowerCycle | BlockPowerOff | SkipUpdateMicom)) return kResultOk;
        ShowCompletionMessage();
        armed = ArmPowerOnLegacyEc();
    }
    if (armed != kResultOk) {
        RemoveAccessDriverFile();
        LoadText(kTextCaptionAutoOn, ctx.captionText, sizeof ctx.captionText);
        char text[kTextSize];
        LoadText(kTextAutoOnFailed, text, sizeof text);
        ShowMessage(kStyleError, ctx.captionText, "%s", text);
    }
    // The access driver this run installed goes before Windows does: a switch-off that does not
    // happen must not leave it behind.
    ReleaseAddmemService();
    ShutdownSystem(os::kEwxPowerOff);
    return kResultOk;
}

