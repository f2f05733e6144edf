#include "hw/driver.h"

#include "base/text.h"
#include "core/context.h"
#include "core/variant.h"
#include "core/winver.h"

os::Handle driverHandle = os::InvalidHandle();
int isNt = 0;
int addmemServiceCreated = 0;

namespace {

constexpr int kProbeAttempts = 10;
constexpr int kKmdfOpenAttempts = 10;
constexpr uint32_t kKmdfOpenPauseMs = 50;
constexpr int kDriverPathSize = 256;

// The driver file of the service this run created last, deleted with the service.
char registeredDriverPath[kDriverPathSize];

os::Handle OpenDevice(const char* path) {
    return os::CreateFile(path, os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting,
                          os::kFileAttributeNormal);
}

}  // namespace

AccessDriverKind CurrentAccessDriverKind() {
    if (ctx.useQlixDevice) return AccessDriverKind::Qlix;
    if (ctx.useKmdfDevice) return AccessDriverKind::Kmdf;
    return IsNtPlatform() ? AccessDriverKind::Addmem : AccessDriverKind::Memio;
}

int IsNtPlatform() {
    isNt = (os::GetVersion() & 0x80000000u) == 0 ? 1 : 0;
    return isNt;
}

int OpenAddmemDevice() {
    if (IsNtPlatform()) {
        driverHandle = OpenDevice(kAddmemDevicePath);
    } else {
        // Opening a VxD by name with delete-on-close loads it dynamically on Windows 9x and
        // unloads it again when the handle is closed.
        driverHandle = os::CreateFile(kMemioDevicePath, os::kGenericRead | os::kGenericWrite, 0, 0,
                                      os::kFileFlagDeleteOnClose | os::kFileAttributeNormal);
    }
    return os::IsValid(driverHandle) ? 1 : 0;
}

int RemoveAddmemService() {
    if (!IsNtPlatform()) return 1;
    os::Handle manager = os::OpenSCManager();
    if (manager == nullptr) return 0;
    os::Handle service = os::OpenService(manager, kAddmemServiceName);
    if (service == nullptr) {
        os::CloseServiceHandle(manager);
        return 0;
    }
    // A driver that refuses to stop is still marked for deletion; the re-creation that follows
    // shows whether the name is free again.
    os::StopService(service);
    os::DeleteService(service);
    os::CloseServiceHandle(service);
    os::CloseServiceHandle(manager);
    return 1;
}

int InstallAddmemService() {
    if (!IsNtPlatform()) return 1;
    RemoveAddmemService();
    os::Handle manager = os::OpenSCManager();
    if (manager == nullptr) return 0;

    // The driver file lies in the current directory: the TEMP directory at the first open of a
    // run, the working directory later. A directory too long for the name leaves no usable path,
    // and registering a cut one would start some other file, so the installation fails.
    char driverPath[kDriverPathSize];
    const uint32_t length = os::GetCurrentDirectory(driverPath, kDriverPathSize - 1);
    const char* file = ctx.accessDriver64 ? kAddmemDriverFile64 : kAddmemDriverFile;
    if (length == 0 || length >= kDriverPathSize - 1 || !AppendText(driverPath, file)) {
        os::CloseServiceHandle(manager);
        return 0;
    }

    os::Handle service =
        os::CreateKernelDriverService(manager, kAddmemServiceName, kAddmemServiceName, driverPath);
    if (service == nullptr) {
        os::CloseServiceHandle(manager);
        return 0;
    }
    // From here on the service is this run's: it goes when the run ends, whether it starts or not.
    addmemServiceCreated = 1;
    CopyText(registeredDriverPath, driverPath);
    // Whether the driver runs shows when its device is opened next.
    os::StartService(service);
    os::CloseServiceHandle(service);
    os::CloseServiceHandle(manager);
    return 1;
}

int OpenKmdfDevice() {
    if (!ctx.useKmdfDevice) return 0;
    for (int attempt = 0; attempt < kKmdfOpenAttempts; ++attempt) {
        driverHandle = OpenDevice(kKmdfDevicePath);
        if (os::IsValid(driverHandle)) return 1;
        os::Sleep(kKmdfOpenPauseMs);
    }
    return 0;
}

int ProbeAccessDriver() {
    if (!ctx.osProbed) ProbeWindowsVersion();

    if (ctx.useKmdfDevice) {
        // The probe only shows that the device is there: every request opens it anew.
        driverHandle = OpenDevice(kKmdfDevicePath);
        if (!os::IsValid(driverHandle)) return 0;
        os::CloseHandle(driverHandle);
        return 1;
    }
    if (ctx.useQlixDevice) {
        driverHandle = OpenDevice(kQlixDevicePath);
        return os::IsValid(driverHandle) ? 1 : 0;
    }

    // A device that opens is a driver already running, from this run or an earlier one since
    // Windows started; it is used as it is. Otherwise the service is made anew from this
    // directory's driver file.
    if (OpenAddmemDevice()) return 1;
    if (!InstallAddmemService()) {
        RemoveAddmemService();
        if (!InstallAddmemService()) return 0;
    }
    return OpenAddmemDevice();
}

int OpenAccessDriver() {
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
        if (ProbeAccessDriver()) return 1;
    }
    // The display utility's devices are used as they are, never installed: when they are missing
    // the program decides whether the run can go on.
    if ((ctx.useQlixDevice || ctx.useKmdfDevice) && kVariant.endWithoutDisplayUtility != nullptr) {
        kVariant.endWithoutDisplayUtility();
    }
    return 0;
}

void CloseAccessDriver() {
    // On the Kmdf path every request closed its own handle, and the probe closed its one.
    if (ctx.useKmdfDevice) return;
    if (os::IsValid(driverHandle)) os::CloseHandle(driverHandle);
    // Forgotten here, so that a second close, or a request after the close, never reaches a
    // handle that may meanwhile belong to something else.
    driverHandle = os::InvalidHandle();
}

void ReleaseAddmemService() {
    if (!addmemServiceCreated) return;
    // The driver answers whoever opens its device with physical memory and port access; left
    // registered it would outlive the run. An open handle would keep the driver from stopping.
    if (!ctx.useKmdfDevice && os::IsValid(driverHandle)) CloseAccessDriver();
    // A driver that cannot stop is still marked for deletion and goes at the next restart.
    RemoveAddmemService();
    addmemServiceCreated = 0;
    if (registeredDriverPath[0] != '\0') os::DeleteFile(registeredDriverPath);
    registeredDriverPath[0] = '\0';
}
