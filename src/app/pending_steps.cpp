// Steps whose subsystems this build does not carry yet. Each one fails explicitly, so that a run
// that reaches it can never count as a success. This file shrinks as the subsystems arrive.
#include "app/failure.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#if !ROMSHELL_PHX
#include "bios/ami.h"
#endif

namespace {
[[maybe_unused]] ResultCode Missing(const char* step) {
    LogLine("Step not available in this build: %s", step);
    return kResultStepMissing;
}
}  // namespace

#if !ROMSHELL_PHX
ResultCode RunAmiUpdate(char*) { return FailUpdate(Missing("RunAmiUpdate")); }
#endif
