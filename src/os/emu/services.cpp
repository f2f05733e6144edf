// The service control manager and the present devices of the emulated seam, over the emulated
// notebook (emu/devices.h).
#include "base/text.h"
#include "emu/devices.h"
#include "emu/winerror.h"
#include "os/emu/emulated.h"

namespace os {

using namespace os::emulated;

namespace {

bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
}

// The service behind a handle; false (and ERROR_INVALID_HANDLE) for anything else.
bool ServiceOf(Handle handle, std::string* key) {
    HandleEntry entry;
    if (!FindHandle(handle, &entry) || entry.kind != Kind::Service) return Fail(emu::winerr::kInvalidHandle);
    *key = entry.service;
    return true;
}

bool IsManager(Handle handle) {
    HandleEntry entry;
    return FindHandle(handle, &entry) && entry.kind == Kind::ServiceManager;
}

Handle ServiceHandle(const std::string& key) {
    HandleEntry entry;
    entry.kind = Kind::Service;
    entry.service = key;
    emu::ScmHandleOpened(key);
    SetLastError(0);
    return AddHandle(entry);
}

bool DeviceSetOf(Handle set, uint32_t* count) {
    HandleEntry entry;
    if (!FindHandle(set, &entry) || entry.kind != Kind::DeviceSet) return Fail(emu::winerr::kInvalidHandle);
    *count = entry.deviceCount;
    return true;
}

}  // namespace

Handle OpenSCManager() {
    if (uint32_t error = emu::ScmOpen()) {
        SetLastError(error);
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = Kind::ServiceManager;
    SetLastError(0);
    return AddHandle(entry);
}

Handle OpenService(Handle manager, const char* name) {
    if (!IsManager(manager)) {
        SetLastError(emu::winerr::kInvalidHandle);
        return nullptr;
    }
    std::string key;
    if (name == nullptr) {
        SetLastError(emu::winerr::kInvalidName);
        return nullptr;
    }
    if (uint32_t error = emu::ScmOpenService(name, &key)) {
        SetLastError(error);
        return nullptr;
    }
    return ServiceHandle(key);
}

Handle CreateKernelDriverService(Handle manager, const char* name, const char* displayName, const char* imagePath) {
    if (!IsManager(manager)) {
        SetLastError(emu::winerr::kInvalidHandle);
        return nullptr;
    }
    if (name == nullptr || imagePath == nullptr) {
        SetLastError(emu::winerr::kInvalidParameter);
        return nullptr;
    }
    std::string key;
    if (uint32_t error = emu::ScmCreateKernelDriver(name, displayName != nullptr ? displayName : "", imagePath, &key)) {
        SetLastError(error);
        return nullptr;
    }
    return ServiceHandle(key);
}

bool StartService(Handle service) {
    std::string key;
    if (!ServiceOf(service, &key)) return false;
    if (uint32_t error = emu::ScmStart(key)) return Fail(error);
    SetLastError(0);
    return true;
}

bool StopService(Handle service) {
    std::string key;
    if (!ServiceOf(service, &key)) return false;
    if (uint32_t error = emu::ScmStop(key)) return Fail(error);
    SetLastError(0);
    return true;
}

bool DeleteService(Handle service) {
    std::string key;
    if (!ServiceOf(service, &key)) return false;
    if (uint32_t error = emu::ScmDelete(key)) return Fail(error);
    SetLastError(0);
    return true;
}

bool CloseServiceHandle(Handle handle) {
    HandleEntry entry;
    if (!FindHandle(handle, &entry) || (entry.kind != Kind::Service && entry.kind != Kind::ServiceManager))
        return Fail(emu::winerr::kInvalidHandle);
    TakeHandle(handle, entry.kind, &entry);
    if (entry.kind == Kind::Service) emu::ScmHandleClosed(entry.service);
    SetLastError(0);
    return true;
}

Handle OpenPresentDevices() {
    HandleEntry entry;
    entry.kind = Kind::DeviceSet;
    entry.deviceCount = emu::PresentDeviceCount();
    SetLastError(0);
    return AddHandle(entry);
}

bool GetPresentDevice(Handle set, uint32_t index, PresentDevice* device) {
    uint32_t count = 0;
    if (!DeviceSetOf(set, &count)) return false;
    bool hasClass = false;
    std::string className;
    if (index >= count || !emu::PresentDeviceClass(index, &hasClass, &className))
        return Fail(emu::winerr::kNoMoreItems);
    device->hasClass = hasClass;
    CopyText(device->className, className.c_str());
    SetLastError(0);
    return true;
}

bool GetDeviceNodeStatus(Handle set, uint32_t index, uint32_t* status, uint32_t* problem) {
    uint32_t count = 0;
    if (!DeviceSetOf(set, &count)) return false;
    if (index >= count) return Fail(emu::winerr::kInvalidParameter);
    uint32_t s = 0, p = 0;
    if (uint32_t error = emu::PresentDeviceStatus(index, &s, &p)) return Fail(error);
    *status = s;
    *problem = p;
    SetLastError(0);
    return true;
}

bool ChangeDeviceState(Handle set, uint32_t index, bool enable) {
    uint32_t count = 0;
    if (!DeviceSetOf(set, &count)) return false;
    uint32_t installerError = 0;
    if (index >= count || !emu::PresentDeviceChange(index, enable, &installerError))
        return Fail(emu::winerr::kInvalidParameter);
    // The parameters were accepted; the last error is what the class installer left.
    SetLastError(installerError);
    return true;
}

void ClosePresentDevices(Handle set) {
    HandleEntry entry;
    TakeHandle(set, Kind::DeviceSet, &entry);
}

}  // namespace os
