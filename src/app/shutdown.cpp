#include "app/shutdown.h"

#include "os/os.h"

void ShutdownSystem(uint32_t flags) {
    os::VersionInfo version{};
    if (os::GetVersionEx(&version) && version.platformId == os::kPlatformWin32Nt) {
        os::EnableShutdownPrivilege();
    }
    os::ExitWindowsEx(flags);
}
