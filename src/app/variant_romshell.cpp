// The record of romshell: both BIOS vendors.
#include "core/variant.h"

#include "app/failure.h"
#include "package/format.h"

namespace {
// The unpacker marker: a fixed text in the program's initialised data that identifies the program
// file as one that carries an update package. Only the record refers to it; it must stay in the
// built file, hence "used" and a writable array (initialised data rather than read-only data).
__attribute__((used)) constinit std::array<char, sizeof kRomshellMarker> unpackerMarker = MarkerData(kRomshellMarker);
}  // namespace

const Variant kVariant = {
    .programName = "romshell",
    .unpackerMarker = unpackerMarker.data(),
    .logsSteps = true,
    .parsesOptionsFirst = false,
    .knowsSecondNewEcChip = true,
    .usesEcMailbox = true,
    .endWithoutDisplayUtility = EndWithoutDisplayUtility,
    .keyboardOwnProbes = false,
    .hasAmiPath = true,
};
