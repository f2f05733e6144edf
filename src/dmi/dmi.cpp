// The DMI arguments of the BIOS flash tool.
//
// The tool rewrites the three DMI values it is given; what it is given is decided here, once per
// Phoenix run before the tool runs. A value is never cut to fit the command line: the tool would
// write the cut text into the notebook, so a run whose arguments do not fit is refused instead.
#include "dmi/dmi.h"

#include <cstring>
#include <initializer_list>

#include "base/text.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "hw/input.h"
#include "package/workdir.h"
#include "ui/dmi_dialog.h"

namespace {

// The BIOS flag's fourth character says which kind of flag it is.
constexpr size_t kKindIndex = 3;

bool IsKindLetter(char c) { return c == 'A' || c == 'B'; }

// Appends all pieces or none of them. False when they do not fit.
bool AppendAll(char* command, size_t size, std::initializer_list<const char*> pieces) {
    const size_t kept = BoundedLength(command, size);
    for (const char* piece : pieces) {
        if (!AppendText(command, size, piece)) {
            command[kept] = '\0';
            return false;
        }
    }
    return true;
}

// The run cannot hand the tool its DMI values: its options leave no room for them.
ResultCode RefuseLongArguments(const char* command) {
    LogLine("DMI arguments do not fit the BIOS tool's command line \"%s\"", command);
    return kResultInvalidOption;
}

// The DMI values go into the tool's command line as the tail of a switch ("/DSS:<serial>"). A
// blank, tab, quote or control character, read from the firmware or typed into the dialog, would
// add or merge switches of the tool, so such a value refuses the run before the tool starts.
bool ValuesArePlainWords(std::initializer_list<const char*> values) {
    for (const char* value : values) {
        if (!IsPlainWord(value)) {
            LogLine("DMI value \"%s\" holds a blank, quote or control character", value);
            return false;
        }
    }
    return true;
}

// The current flag with its kind letter corrected: a flag of another kind letter becomes a "B"
// flag on a BIOS whose version has "E" as its fourth character, an "A" flag otherwise. True when
// the flag needed the correction. A flag shorter than four characters has no kind letter to
// correct; it is kept as it is rather than made up.
bool CorrectBiosFlag() {
    CopyText(ctx.newBiosFlag, ctx.oemString1);
    if (BoundedLength(ctx.oemString1, sizeof ctx.oemString1) <= kKindIndex) {
        LogStep("BIOS flag \"%s\" has no kind letter: not corrected", ctx.oemString1);
        return false;
    }
    if (IsKindLetter(ctx.oemString1[kKindIndex])) return false;
    ctx.newBiosFlag[kKindIndex] = ctx.currentVersion[kKindIndex] == 'E' ? 'B' : 'A';
    LogStep("BIOS flag \"%s\" corrected to \"%s\"", ctx.oemString1, ctx.newBiosFlag);
    return true;
}

// A DMI-only package: the technician enters the values. The MICOM tool goes first, as no MICOM
// update follows; keyboard and mouse work while the dialog is up.
ResultCode AskForDmiValues(char* command, size_t size, bool* cancelled) {
    // The entered texts have the lengths of the current values, so whether they fit is known now,
    // before the technician types them: the current values are put on trial and taken off again.
    const size_t kept = BoundedLength(command, size);
    if (!AppendAll(command, size, {" /MODE=1", " /DO0:", ctx.oemString1, " /DO1:", ctx.oemString2, " /DSS:",
                                   ctx.systemSerial})) {
        return RefuseLongArguments(command);
    }
    command[kept] = '\0';

    RemoveMicomTool();
    EnableInputDevices();
    if (!RunDmiDialog()) return kResultBiosUpdate;
    if (ctx.dmiAccepted == 0) {
        CleanUpWorkingFiles();
        ShowMessage(kStyleInformation, "Stop Update", "Cancel DMI Update.");
        *cancelled = true;
        return kResultOk;
    }
    DisableInputDevices();
    if (!ValuesArePlainWords({ctx.newBiosFlag, ctx.newPurchaseDate, ctx.newSerial})) return kResultInvalidOption;
    if (!AppendAll(command, size, {" /MODE=1", " /DO0:", ctx.newBiosFlag, " /DO1:", ctx.newPurchaseDate, " /DSS:",
                                   ctx.newSerial})) {
        return RefuseLongArguments(command);
    }
    return kResultOk;
}

}  // namespace

ResultCode BuildDmiArguments(char* biosToolCommand, size_t commandSize, bool* cancelled) {
    *cancelled = false;
    // A flag of the wrong kind is rewritten with the current date and serial, unless the command
    // line chose a mode (the tool then gets that mode alone), or the package is a DMI-only one,
    // whose dialog gives the values: the tool gets one mode and one set of values.
    if (CorrectBiosFlag() && !HasOption(Mode3 | Mode2 | Mode1 | DmiOnly)) {
        if (!ValuesArePlainWords({ctx.newBiosFlag, ctx.oemString2, ctx.systemSerial})) return kResultInvalidOption;
        if (!AppendAll(biosToolCommand, commandSize, {" /MODE=3", " /DO0:", ctx.newBiosFlag, " /DO1:", ctx.oemString2,
                                                      " /DSS:", ctx.systemSerial})) {
            return RefuseLongArguments(biosToolCommand);
        }
    }
    if (HasOption(Mode3)) {
        // The option itself is already on the command line.
        if (!ValuesArePlainWords({ctx.newBiosFlag, ctx.oemString2, ctx.systemSerial})) return kResultInvalidOption;
        if (!AppendAll(biosToolCommand, commandSize,
                       {" /DO0:", ctx.newBiosFlag, " /DO1:", ctx.oemString2, " /DSS:", ctx.systemSerial})) {
            return RefuseLongArguments(biosToolCommand);
        }
        return kResultOk;
    }
    if (HasOption(DmiOnly)) return AskForDmiValues(biosToolCommand, commandSize, cancelled);
    return kResultOk;
}
