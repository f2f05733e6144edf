// Steps whose subsystems this build does not carry yet. Each one fails explicitly, so that a run
// that reaches it can never count as a success. This file shrinks as the subsystems arrive.
#include "app/failure.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "dmi/dmi.h"

namespace {
[[maybe_unused]] ResultCode Missing(const char* step) {
    LogLine("Step not available in this build: %s", step);
    return kResultStepMissing;
}
}  // namespace

// The DMI values are not written by this build. A run that asks for nothing but them (a DMI-only
// package, or /MODE=3 for the current values) would otherwise flash the BIOS without them and end
// as a success; every other run writes no DMI arguments, as when the values need no correction.
int BuildDmiArguments(char*) {
    if (HasOption(DmiOnly | Mode3)) {
        Missing("BuildDmiArguments");
        return 0;
    }
    return 1;
}
