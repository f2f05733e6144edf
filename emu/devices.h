// The notebook's devices as the emulated Windows reaches them: the access devices and the
// physical drives behind CreateFile and DeviceIoControl, the service control manager, and the
// present devices of the device installer. Used by the emulated seam (src/os/emu); results are 0
// or a Windows error value.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace emu {

enum class DeviceKind { Qlix, Kmdf, Addmem, Memio, PhysicalDrive };

struct OpenDevice {
    DeviceKind kind = DeviceKind::Addmem;
    int drive = 0;         // PhysicalDrive number
    uint32_t access = 0;   // as opened
    std::string name;      // "QLIX", "KMDFMEMIO", "ADDMEM", "MEMIO.VXD", "PhysicalDrive0"
};

// CreateFile of a "\\.\..." path with its creation parameters. Each access device must be
// opened exactly as its driver expects; one opened otherwise, or one that is not there, fails.
uint32_t OpenDevicePath(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t flagsAndAttributes, OpenDevice* device);
void CloseDevice(const OpenDevice& device);

// The caller's memory behind a 32-bit address held in a request record (the Memio and Kmdf
// records carry such addresses): a host pointer to `length` bytes, or nullptr when the address
// does not name the caller's memory.
using CallerMemory = std::function<uint8_t*(uint32_t address, size_t length)>;

// One DeviceIoControl. `in` is the input as the caller passed it; *out receives the bytes the
// system copies back into the caller's output buffer (their number is the bytes returned; a
// request that returns nothing leaves the caller's buffer as it was).
uint32_t DeviceControl(const OpenDevice& device, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize,
                       std::vector<uint8_t>* out, const CallerMemory& memory);

// ---- service control manager ----
uint32_t ScmOpen();
uint32_t ScmOpenService(const std::string& name, std::string* key);
uint32_t ScmCreateKernelDriver(const std::string& name, const std::string& displayName, const std::string& imagePath,
                               std::string* key);
uint32_t ScmStart(const std::string& key);
uint32_t ScmStop(const std::string& key);
uint32_t ScmDelete(const std::string& key);
// A handle to the service was opened or closed in this process: a service marked for deletion
// goes when its last handle closes and it no longer runs.
void ScmHandleOpened(const std::string& key);
void ScmHandleClosed(const std::string& key);

// ---- present devices ----
uint32_t PresentDeviceCount();
// False when index is past the last device.
bool PresentDeviceClass(uint32_t index, bool* hasClass, std::string* className);
uint32_t PresentDeviceStatus(uint32_t index, uint32_t* status, uint32_t* problem);
// DIF_PROPERTYCHANGE. False when the installer parameters are refused; otherwise true, with the
// class installer's own error in *installerError (0 when it ran): 64-bit Windows refuses it to a
// 32-bit process (ERROR_IN_WOW64) and the device stays as it was.
bool PresentDeviceChange(uint32_t index, bool enable, uint32_t* installerError);

}  // namespace emu
