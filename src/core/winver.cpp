#include "core/winver.h"

#include "core/context.h"
#include "os/os.h"

void ProbeWindowsVersion() {
    ctx.osProbed = 1;
    os::VersionInfo version{};
    os::GetVersionEx(&version);
    ctx.useQlixDevice = (version.major == 6 && version.minor == 1) ? 1 : 0;
    ctx.useKmdfDevice = (version.major == 6 && version.minor == 0) ? 1 : 0;

    // Without IsWow64Process (older Windows) the program counts as running on 32-bit Windows.
    int wow64 = 0;
    ctx.isWow64 = (os::IsWow64Process(&wow64) && wow64 != 0) ? 1 : 0;
}
