// The update sequence: the program's entry and the fixed order of everything a run does.
//
// Every step returns 0 or a ResultCode; a failure leaves through FailUpdate, whose result is the
// process exit code. The run is one pass with no retry.
#include "app/entry.h"
#include "app/ending.h"

#include <cstring>

#include "app/failure.h"
#include "app/language.h"
#include "app/options.h"
#include "app/preflight.h"
#include "base/text.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "core/winver.h"
#include "bios/image.h"
#include "bios/phoenix.h"
#include "bios/platform.h"
#include "dmi/dmi.h"
#include "hw/driver.h"
#include "hw/input.h"
#include "micom/micom.h"
#include "os/os.h"
#include "package/package.h"
#include "package/workdir.h"
#include "ui/progress.h"

#if !ROMSHELL_PHX
#include "app/ami_update.h"
#endif

namespace {

// Reads the program's own package header: its default options go into the flag word. First it
// logs what the signature check found (signedDigest: the digest's name, nullptr when unsigned),
// here, where the run's log begins, rather than beside the program file.
ResultCode CheckOwnPackage(const char* signedDigest) {
    if (signedDigest != nullptr) {
        LogLine("Program file signed: its %s digest matches the signature", signedDigest);
    } else {
        LogLine("Program file not signed: its digest is not checked");
    }
    char programPath[kPathSize];
    uint32_t length = os::GetModuleFileName(programPath, sizeof programPath);
    // A program path that does not fit the buffer cannot name the program file: no package.
    if (length == 0 || length >= sizeof programPath) return kResultInvalidOption;
    uint32_t packageOffset = 0;
    ReadPackageOffset(programPath, &packageOffset);
    if (CheckPackage(programPath, packageOffset) != kUnpackSuccess) return kResultInvalidOption;
    return kResultOk;
}

constexpr const char* kDamagedProgramText =
    "The program file is damaged: it changed after it was signed.\n\n"
    "Get a new copy of the program.\n\nProgram will be terminated.";

// A signed program whose file no longer has the digest it was signed with carries a package
// that nobody released: it ends before anything of it is extracted or installed. The result is
// the unpack failure's, the code a damaged package gives, so that deployment scripts that treat
// it as "get the file again" stay right. Whether the signer is trusted is Windows' question.
// signedDigest: the name of the digest that matched, nullptr for an unsigned program.
ResultCode CheckOwnSignature(const char** signedDigest) {
    *signedDigest = nullptr;
    char programPath[kPathSize];
    const uint32_t length = os::GetModuleFileName(programPath, sizeof programPath);
    SignatureReport report;
    const SignatureCheck check = length == 0 || length >= sizeof programPath
                                     ? SignatureCheck::ReadFailed
                                     : CheckProgramSignature(programPath, &report);
    if (check == SignatureCheck::Unsigned) return kResultOk;
    if (check == SignatureCheck::Good) {
        *signedDigest = report.expected.name;
        return kResultOk;
    }
    LogLine("Program file damaged: %s", SignatureCheckText(check));
    LoadText(kTextCaptionUnpack, ctx.captionText, sizeof ctx.captionText);
    ShowMessage(kStyleError, ctx.captionText, "%s", kDamagedProgramText);
    return kResultUnpack;
}

// Asks the user to go ahead. False when the answer is Cancel.
bool ConfirmUpdate() {
    LoadText(kTextCaptionWarning, ctx.captionText, sizeof ctx.captionText);
    char format[512];
    LoadText(kTextConfirmUpdate, format, sizeof format);
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
    static const ProgressJob extraction = {ExtractOwnPackage};
    os::Handle thread = ctx.unpackDone != nullptr
                            ? os::CreateThread(ProgressThread, const_cast<ProgressJob*>(&extraction))
                            : nullptr;
    os::Sleep(100);  // gives the window time to appear before its step mark is set
    // Without the event the wait below would return at once and the run would go on unpacked.
    if (thread == nullptr) return FailUpdate(kResultInitialization);

    MarkStep(kMarkFileExtraction, 0);
    ShowProgressText(kTextPreparingExtraction);
    os::WaitForSingleObject(ctx.unpackDone, os::kInfinite);
    if (ctx.unpackOk == 0) return FailUpdate(kResultUnpack);
    LogStep("02. Success to Unpack");
    return kResultOk;
}

// The ending of the Phoenix path: clean up, then arm the power-on and switch off.
ResultCode FinishUpdate() {
    ctx.busy = 0;
    CleanUpWorkingFiles();
    EnableInputDevices();
    return ArmPowerOnAndSwitchOff();
}

// The Phoenix path after the package has been unpacked.
ResultCode RunPhoenixUpdate(char* commandLine, char* micomToolCommand, char* biosToolCommand) {
    std::memset(ctx.ImageFileList, 0, sizeof ctx.ImageFileList);
    if (!kVariant.parsesOptionsFirst) {
        micomToolCommand[0] = '\0';
        biosToolCommand[0] = '\0';
        if (ParseRunOptions(micomToolCommand, biosToolCommand, commandLine) != kResultOk) {
            return FailUpdate(kResultInvalidOption);
        }
    } else if (HasOption(ReadBios)) {
        // Here the other order parses the command line, and "/READ_BIOS" makes the word exactly
        // ReadBios: from now on both programs run with the same word.
        ctx.runOptions = ReadBios;
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
    ShowProgressText(kTextPreparingBiosUpdate);
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
    bool dmiCancelled = false;
    if (ResultCode r = BuildDmiArguments(biosToolCommand, kCommandSize, &dmiCancelled); r != kResultOk) {
        return FailUpdate(r);
    }
    // The technician cancelled the DMI values: the working files are gone and nothing is flashed.
    if (dmiCancelled) return kResultOk;

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

namespace {

// The run from the version probe to its end; the caller releases what the run leaves running.
ResultCode RunUpdate(os::Module instance, char* commandLine) {
    char biosToolCommand[kCommandSize] = {};
    char micomToolCommand[kCommandSize] = {};

    ProbeWindowsVersion();
    const char* signedDigest = nullptr;
    if (ResultCode r = CheckOwnSignature(&signedDigest); r != kResultOk) return r;
#if !ROMSHELL_PHX
    // The BIOS vendor is known before anything is shown, since the language library depends on
    // it: the access driver file goes into the TEMP directory first, where the display utility's
    // devices are not used.
    if (!ctx.useQlixDevice && !ctx.useKmdfDevice && PrepareLegacyDriver() == 0) {
        return FailUpdate(kResultUnpack);
    }
    if (DetectAmiBios() == 0) return FailUpdate(kResultDriverLoad);
#endif
    ChooseResourceModule(instance);
    // A program that reads its command line before the package adds the package's default
    // options to the word afterwards.
    if (kVariant.parsesOptionsFirst &&
        ParseRunOptions(micomToolCommand, biosToolCommand, commandLine) != kResultOk) {
        return FailUpdate(kResultInvalidOption);
    }
    if (ResultCode r = CheckOwnPackage(signedDigest); r != kResultOk) return FailUpdate(r);

    if (ResultCode r = CheckPower(); r != kResultOk) return FailUpdate(r);
    if (ResultCode r = PrepareWorkingDirectory(); r != kResultOk) return FailUpdate(r);
    // The disk check shows its own message.
    if (CheckDiskSpace() == 0) return kResultDiskSpace;
    if (!ConfirmUpdate()) return kResultOk;

    if (ResultCode r = UnpackBehindProgressWindow(); r != kResultOk) return r;
    ChooseUnpackedAccessDriver();

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

}  // namespace

uint32_t ProgramEntry(os::Module instance, char* commandLine) {
    releaseBeforeAbruptEnd = ReleaseAddmemService;
    const ResultCode result = RunUpdate(instance, commandLine);
    // Every end that leaves Windows running comes back here (the switch-off released it before):
    // the access driver this run installed does not outlive it.
    ReleaseAddmemService();
    return result;
}
