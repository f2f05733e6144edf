// Device I/O, the service control manager, and the present devices of SetupAPI.
#include "os/win32/win32.h"

namespace os {

using win32::ToDeviceSet;
using win32::ToHandle;
using win32::ToService;

bool DeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* bytesReturned) {
    // Without an OVERLAPPED record NT insists on a bytes-returned variable.
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(ToHandle(device), code, const_cast<void*>(in), inSize, out, outSize,
                                      &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok != FALSE;
}

Handle OpenSCManager() { return ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

Handle OpenService(Handle manager, const char* name) {
    return ::OpenServiceA(ToService(manager), name, SERVICE_ALL_ACCESS);
}

Handle CreateKernelDriverService(Handle manager, const char* name, const char* displayName,
                                 const char* imagePath) {
    return ::CreateServiceA(ToService(manager), name, displayName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
}

bool StartService(Handle service) { return ::StartServiceA(ToService(service), 0, nullptr) != FALSE; }

bool StopService(Handle service) {
    SERVICE_STATUS status{};
    return ::ControlService(ToService(service), SERVICE_CONTROL_STOP, &status) != FALSE;
}

bool DeleteService(Handle service) { return ::DeleteService(ToService(service)) != FALSE; }

bool CloseServiceHandle(Handle handle) { return ::CloseServiceHandle(ToService(handle)) != FALSE; }

Handle OpenPresentDevices() {
    return ::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
}

namespace {

static_assert(sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20);

bool DeviceAt(Handle set, uint32_t index, SP_DEVINFO_DATA* device) {
    *device = SP_DEVINFO_DATA{};
    device->cbSize = sizeof(SP_DEVINFO_DATA);
    return ::SetupDiEnumDeviceInfo(ToDeviceSet(set), index, device) != FALSE;
}

// The property grows its buffer as the installer asks. Any other error means the device has no
// class name to offer: asking again would only repeat it. The number of rounds is bounded as
// well, against a required size that keeps changing.
constexpr int kMaxPropertyRounds = 8;

BYTE* ReadClassProperty(Handle set, SP_DEVINFO_DATA* device, DWORD* size) {
    BYTE* buffer = nullptr;
    *size = 0;
    for (int round = 0; round < kMaxPropertyRounds; ++round) {
        DWORD required = 0;
        if (::SetupDiGetDeviceRegistryPropertyW(ToDeviceSet(set), device, SPDRP_CLASS, nullptr, buffer, *size,
                                                &required)) {
            return buffer;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) break;
        if (buffer != nullptr) ::LocalFree(buffer);
        buffer = static_cast<BYTE*>(::LocalAlloc(LPTR, required));
        if (buffer == nullptr) {
            *size = 0;
            return nullptr;
        }
        *size = required;
    }
    if (buffer != nullptr) ::LocalFree(buffer);
    *size = 0;
    return nullptr;
}

// The class name in the ANSI code page, cut to what the field holds (only its first letters are
// ever compared). A surrogate pair is never split.
void ConvertClassName(const wchar_t* name, int length, char* out, int outSize) {
    out[0] = '\0';
    const DWORD flags = WC_NO_BEST_FIT_CHARS;
    int count = length;
    for (;;) {
        if (count <= 0) return;
        const int needed = ::WideCharToMultiByte(CP_ACP, flags, name, count, nullptr, 0, nullptr, nullptr);
        if (needed <= 0) return;
        if (needed < outSize) break;
        int shorter = static_cast<int>(static_cast<int64_t>(count) * (outSize - 1) / needed);
        if (shorter >= count) shorter = count - 1;
        if (shorter > 0 && name[shorter - 1] >= 0xD800 && name[shorter - 1] <= 0xDBFF) --shorter;
        count = shorter;
    }
    const int written = ::WideCharToMultiByte(CP_ACP, flags, name, count, out, outSize - 1, nullptr, nullptr);
    out[written > 0 ? written : 0] = '\0';
}

}  // namespace

bool GetPresentDevice(Handle set, uint32_t index, PresentDevice* device) {
    SP_DEVINFO_DATA info;
    if (!DeviceAt(set, index, &info)) return false;
    device->hasClass = false;
    device->className[0] = '\0';
    DWORD size = 0;
    BYTE* property = ReadClassProperty(set, &info, &size);
    if (property == nullptr) return true;
    // The registry text need not carry its terminator within the size returned.
    const auto* name = reinterpret_cast<const wchar_t*>(property);
    const int maxChars = static_cast<int>(size / sizeof(wchar_t));
    int length = 0;
    while (length < maxChars && name[length] != L'\0') ++length;
    ConvertClassName(name, length, device->className, static_cast<int>(sizeof(device->className)));
    device->hasClass = true;
    ::LocalFree(property);
    return true;
}

bool GetDeviceNodeStatus(Handle set, uint32_t index, uint32_t* status, uint32_t* problem) {
    SP_DEVINFO_DATA info;
    if (!DeviceAt(set, index, &info)) return false;
    ULONG nodeStatus = 0;
    ULONG nodeProblem = 0;
    if (::CM_Get_DevNode_Status(&nodeStatus, &nodeProblem, info.DevInst, 0) != CR_SUCCESS) return false;
    *status = nodeStatus;
    *problem = nodeProblem;
    return true;
}

bool ChangeDeviceState(Handle set, uint32_t index, bool enable) {
    SP_DEVINFO_DATA info;
    if (!DeviceAt(set, index, &info)) return false;
    HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT

    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = enable ? DICS_ENABLE : DICS_DISABLE;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    if (!::SetupDiSetClassInstallParamsW(ToDeviceSet(set), &info, &params.ClassInstallHeader, sizeof(params))) {
        ::SetCursor(previous);
        return false;
    }
    ::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, ToDeviceSet(set), &info);
    ::SetCursor(previous);
    return true;
}

void ClosePresentDevices(Handle set) { ::SetupDiDestroyDeviceInfoList(ToDeviceSet(set)); }

}  // namespace os
