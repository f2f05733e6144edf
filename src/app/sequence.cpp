// The update sequence: the program's entry and the fixed order of everything a run does.
//
// Every step returns 0 or a ResultCode; a failure leaves through FailUpdate, whose result is the
// process exit code. The run is one pass with no retry.
#include "app/entry.h"

#include <cstring>

#include "app/context.h"
#include "app/language.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/preflight.h"
#include "app/run_options.h"
#include "app/variant.h"
#include "app/winver.h"
#include "base/text.h"
#include "bios/image.h"
#include "bios/phoenix.h"
#include "bios/platform.h"
#include "dmi/dmi.h"
#include "hw/input.h"
#include "micom/micom.h"
#include "os/os.h"
#include "package/package.h"
#include "package/workdir.h"
#include "ui/progress.h"

#if !ROMSHELL_PHX
#include "bios/ami.h"
#endif

namespace {

// Step lines of the debug log; romshell-phx does not write them.
void LogStep(const char* line) {
    if constexpr (!kPhxVariant) LogLine("%s", line);
}

// The language library, or the program's own resources when none could be extracted.
void ChooseResourceModule(os::Module instance) {
    ctx.instance = instance;
    if (LoadResourceModule() == 0) ctx.resourceModule = instance;
    if (ctx.resourceModule == nullptr) {
        ShowMessage(kStyleError, "Fail : Dll", "Fail To Load Dll");
    }
}

// Reads the program's own package header: its default options go into the flag word.
ResultCode CheckOwnPackage() {
    char programPath[kPathSize];
    uint32_t length = os::GetModuleFileName(programPath, sizeof programPath);
    // A program path that does not fit the buffer cannot name the program file: no package.
    if (length == 0 || length >= sizeof programPath) return kResultInvalidOption;
    uint32_t packageOffset = 0;
    ReadPackageOffset(programPath, &packageOffset);
    if (CheckPackage(programPath, packageOffset) != kUnpackSuccess) return kResultInvalidOption;
    return kResultOk;
}

// Asks the user to go ahead. False when the answer is Cancel.
bool ConfirmUpdate() {
    LoadText(38, ctx.captionText, sizeof ctx.captionText);
    char format[512];
    LoadText(16, format, sizeof format);
    char text[kMessageSize];
    FormatTableText(text, sizeof text, format, nullptr, 0);
    return ShowMessage(kStyleConfirmation, ctx.captionText, "%s", text) != os::kIdCancel;
}

// Opens the progress window on its own thread, which extracts the package, and waits for the
// extraction to end.
ResultCode UnpackBehindProgressWindow() {
    LogStep("01. Start to Unpack");
    ctx.busy = 1;
    ctx.unpackOk = 1;
    ctx.unpackDone = os::CreateEvent(false, false);
    os::Handle thread =
        ctx.unpackDone != nullptr ? os::CreateThread(ProgressThread, nullptr) : nullptr;
    os::Sleep(100);  // gives the window time to appear before its step mark is set
    // Without the event the wait below would return at once and the run would go on unpacked.
    if (thread == nullptr) return FailUpdate(kResultInitialization);

    MarkStep(kMarkFileExtraction, 0);
    ShowProgressText(5);
    os::WaitForSingleObject(ctx.unpackDone, os::kInfinite);
    if (ctx.unpackOk == 0) return FailUpdate(kResultUnpack);
    LogStep("02. Success to Unpack");
    return kResultOk;
}

void ShowCompletionMessage() {
    StopProgressAnimation();
    LoadText(39, ctx.captionText, sizeof ctx.captionText);
    char text[kTextSize];
    LoadText(20, text, sizeof text);
    ShowMessage(kStyleInformation, ctx.captionText, "%s", text);
}

// The ending of a successful run (both paths): clean up, arm the power-on and switch off.
ResultCode FinishUpdate() {
    ctx.busy = 0;
    CleanUpWorkingFiles();
    EnableInputDevices();

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
        LoadText(40, ctx.captionText, sizeof ctx.captionText);
        char text[kTextSize];
        LoadText(26, text, sizeof text);
        ShowMessage(kStyleError, ctx.captionText, "%s", text);
    }
    ShutdownSystem(os::kEwxPowerOff);
    return kResultOk;
}

// The Phoenix path after the package has been unpacked.
ResultCode RunPhoenixUpdate(char* commandLine, char* micomToolCommand, char* biosToolCommand) {
    std::memset(ctx.ImageFileList, 0, sizeof ctx.ImageFileList);
    if constexpr (!kPhxVariant) {
        micomToolCommand[0] = '\0';
        biosToolCommand[0] = '\0';
        if (ParseRunOptions(micomToolCommand, biosToolCommand, commandLine) != kResultOk) {
            return FailUpdate(kResultInvalidOption);
        }
    } else {
        (void)commandLine;  // parsed at the start
    }
    if (ctx.isWow64) {
        StagePhoenixTools64();
    } else {
        StagePhoenixTools32();
    }
    DisableInputDevices();

    if (HasOption(ReadBios)) {
        ReadRomImage("ReadRomFile.bin");
        CleanUpWorkingFiles();
        EnableInputDevices();
        return kResultOk;
    }

    LogStep("Step 00");
    MarkStep(kMarkFileExtraction, 1);
    ShowProgressText(7);
    if (CheckHddPassword() != 0) return FailUpdate(kResultHddPassword);

    LogStep("Step 01");
    FindBiosImages();

    LogStep("Step 02");
    if (CheckChipVendor() == -1) return FailUpdate(kResultDriverLoad);
    if (ctx.newEcKind != 0) {
        ctx.runOptions |= SkipUpdateMicom;
    } else {
        FindMicomFiles();
    }

    LogStep("Step 03");
    if (ResultCode r = IdentifyPlatform(); r != kResultOk) return FailUpdate(r);

    LogStep("Step 04");
    if (ResultCode r = SelectUpdateImages(); r != kResultOk) return FailUpdate(r);

    LogStep("Step 05");
    if (BuildDmiArguments(biosToolCommand) == 0) return FailUpdate(kResultStepMissing);

    LogStep("Step 06");
    if (HasOption(DmiOnly | BreakEscd | MarkLastFlashBlock)) MarkFlashBlocks();

    LogStep("Step 06-1");
    if (ResultCode r = RunBiosFlashTool(biosToolCommand); r != kResultOk) return FailUpdate(r);

    LogStep("Step 07");
    if (HasOption(DmiOnly)) {
        EnableInputDevices();
        CleanUpWorkingFiles();
        ShowMessage(kStyleInformation, "Complete", "DMI Update is complete.\n\nRestart system.");
        return kResultOk;
    }
    if (ResultCode r = RunMicomFlashTool(micomToolCommand); r != kResultOk) return FailUpdate(r);
    if (HasOption(ClearCmosOnUpdate)) ClearCmos();

    LogStep("Step 08");
    if (EnableGlobalSmi() != kResultOk) return FailUpdate(kResultSmiSetting);

    return FinishUpdate();
}

}  // namespace

uint32_t ProgramEntry(os::Module instance, char* commandLine) {
    char biosToolCommand[kCommandSize] = {};
    char micomToolCommand[kCommandSize] = {};

    ProbeWindowsVersion();
#if !ROMSHELL_PHX
    if (!ctx.useQlixDevice && !ctx.useKmdfDevice && PrepareLegacyDriver() == 0) {
        return FailUpdate(kResultUnpack);
    }
    if (DetectAmiBios() == 0) return FailUpdate(kResultDriverLoad);
    ChooseResourceModule(instance);
    if (ResultCode r = CheckOwnPackage(); r != kResultOk) return FailUpdate(r);
#else
    ChooseResourceModule(instance);
    // romshell-phx reads its command line before the package, whose default options are then
    // added to the word.
    if (ParseRunOptions(micomToolCommand, biosToolCommand, commandLine) != kResultOk) {
        return FailUpdate(kResultInvalidOption);
    }
    if (ResultCode r = CheckOwnPackage(); r != kResultOk) return FailUpdate(r);
#endif

    if (ResultCode r = CheckPower(); r != kResultOk) return FailUpdate(r);
    if (ResultCode r = PrepareWorkingDirectory(); r != kResultOk) return FailUpdate(r);
    // The disk check shows its own message.
    if (CheckDiskSpace() == 0) return kResultDiskSpace;
    if (!ConfirmUpdate()) return kResultOk;

    if (ResultCode r = UnpackBehindProgressWindow(); r != kResultOk) return r;

#if !ROMSHELL_PHX
    if (ctx.isPhoenixBios == 0) {
        LogLine("************* AMI Update *****************");
        RemovePhoenixSet64();
        RemovePhoenixSet32();
        return RunAmiUpdate(commandLine);
    }
#endif
    return RunPhoenixUpdate(commandLine, micomToolCommand, biosToolCommand);
}
