// The AMI path: after the unpack, the program compares the running BIOS with "bios.rom" itself
// (version, then part number) and runs the AMI flash tool; no MICOM tool, no DMI values, no image
// edit. It ends as the Phoenix path does.
#include "app/ami_update.h"

#include <cstring>

#include "app/ending.h"
#include "app/failure.h"
#include "app/options.h"
#include "app/preflight.h"
#include "base/text.h"
#include "bios/ami.h"
#include "bios/phoenix.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "core/winver.h"
#include "hw/input.h"
#include "micom/micom.h"
#include "package/workdir.h"
#include "ui/progress.h"

namespace {

constexpr const char* kAmiImage = "bios.rom";
constexpr size_t kMaxWordLength = kCommandSize - 1;

// The options of this path: the MICOM tool's switches only (the tool itself does not run here,
// but its command line is built and checked as on the Phoenix path).
struct AmiOptionRow {
    const char* name;  // without its "/" or "-"
    const char* micomSwitch;
};
constexpr AmiOptionRow kAmiOptionTable[] = {
    {"MFORCE", " /FORCE"},
    {"MSERIAL", " /SERIAL"},
    {"MAUTO", " /A"},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const AmiOptionRow* FindAmiOption(const char* word) {
    if (word[0] != '/' && word[0] != '-') return nullptr;
    for (const AmiOptionRow& row : kAmiOptionTable) {
        if (std::strcmp(word + 1, row.name) == 0) return &row;
    }
    return nullptr;
}

// A version is a positive decimal number: 0 is what a missing block or record reads as, -1 an
// unreadable one, and a negative text would pass the unsigned comparison as the newest of all.
bool IsValidVersion(int32_t version) { return version > 0 && version != kAmiDriverFailed; }

}  // namespace

ResultCode ParseAmiOptions(char* commandLine, char* micomToolCommand, char* biosToolCommand) {
    CopyText(micomToolCommand, kCommandSize, kDefaultMicomCommand);
    CopyText(biosToolCommand, kCommandSize, ctx.isWow64 ? kAmiBiosCommand64 : kAmiBiosCommand32);

    // The text is consumed from its front: each word, and the blanks after it, are removed.
    char* rest = commandLine;
    while (IsBlank(*rest)) ++rest;
    std::memmove(commandLine, rest, std::strlen(rest) + 1);
    rest = commandLine;
    while (*rest != '\0') {
        size_t length = 0;
        while (rest[length] != '\0' && !IsBlank(rest[length])) ++length;
        if (length > kMaxWordLength) return kResultInvalidOption;
        char word[kCommandSize];
        CopyTextN(word, sizeof word, rest, length);
        rest += length;
        while (IsBlank(*rest)) ++rest;
        std::memmove(commandLine, rest, std::strlen(rest) + 1);
        rest = commandLine;

        UpperCaseAscii(word);
        const AmiOptionRow* row = FindAmiOption(word);
        if (row == nullptr) {
            LogLine("Invalid option : %s", word);
            return kResultInvalidOption;
        }
        if (!AppendText(micomToolCommand, kCommandSize, row->micomSwitch)) return kResultInvalidOption;
    }
    return kResultOk;
}

ResultCode RunAmiUpdate(char* commandLine) {
    char biosToolCommand[kCommandSize] = {};
    char micomToolCommand[kCommandSize] = {};

    ProbeWindowsVersion();
    std::memset(ctx.ImageFileList, 0, sizeof ctx.ImageFileList);
    if (ParseAmiOptions(commandLine, micomToolCommand, biosToolCommand) != kResultOk) {
        return FailUpdate(kResultInvalidOption);
    }

    DisableInputDevices();
    MarkStep(kMarkFileExtraction, 1);
    ShowProgressText(kTextPreparingBiosUpdate);
    if (CheckHddPassword() != 0) return FailUpdate(kResultHddPassword);

    if (FindAmiImages() != kResultOk) return FailUpdate(kResultBiosFile);

    if (CheckChipVendor() == -1) return FailUpdate(kResultDriverLoad);
    if (ctx.newEcKind != 0) {
        ctx.runOptions |= SkipUpdateMicom;
    } else {
        FindMicomFiles();
    }

    const int32_t running = ReadAmiBiosVersion();
    LogLine("Current Bios Version : %d", running);
    if (!IsValidVersion(running)) return FailUpdate(kResultDriverLoad);
    const int32_t image = ReadAmiImageVersion(kAmiImage);
    LogLine("New Bios Version : %d", image);
    if (!IsValidVersion(image)) return FailUpdate(kResultBiosFile);
    if (static_cast<uint32_t>(running) > static_cast<uint32_t>(image)) return FailUpdate(kResultBiosNotNewer);

    if (ResultCode r = CheckAmiPartNumber(); r != kResultOk) {
        // An image that cannot be read here was readable a moment ago; it is still no BIOS file
        // this run can flash, and the run must end with a code the user is told about.
        return FailUpdate(r == kAmiImageUnreadable ? kResultBiosFile : r);
    }

    if (ResultCode r = RunBiosFlashTool(biosToolCommand); r != kResultOk) return FailUpdate(r);

    LogLine("Before Checking SMI Enable");
    if (EnableGlobalSmi() != kResultOk) return FailUpdate(kResultSmiSetting);
    LogLine("After Checking SMI Enable");

    ctx.busy = 0;
    CleanUpWorkingFiles();
    LogLine("Before HID Enable");
    EnableInputDevices();
    LogLine("After HID Enable");
    return ArmPowerOnAndSwitchOff();
}
