// The record of romshell-phx: Phoenix notebooks only.
#include "core/variant.h"

#include "package/format.h"

namespace {
// The unpacker marker (see variant_romshell.cpp).
__attribute__((used)) constinit std::array<char, sizeof kRomshellPhxMarker> unpackerMarker = MarkerData(kRomshellPhxMarker);
}  // namespace

const Variant kVariant = {
    .programName = "romshell-phx",
    .unpackerMarker = unpackerMarker.data(),
    .logsSteps = false,
    .parsesOptionsFirst = true,
    .knowsSecondNewEcChip = false,
    .usesEcMailbox = false,
    .endWithoutDisplayUtility = nullptr,
    .keyboardOwnProbes = true,
    .hasAmiPath = false,
};
