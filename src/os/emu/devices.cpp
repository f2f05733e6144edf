// Device I/O of the emulated seam: CreateFile of device paths and DeviceIoControl, carried out by
// the emulated notebook's devices (emu/devices.h).
//
// Addresses inside request records. The Memio and Kmdf records carry the address of the caller's
// own memory in a 32-bit field, since on Windows the program is a 32-bit program. The emulated
// program runs as a 64-bit Linux process, where such a field can only hold the low half of the
// address. The emulated system takes the high half from the address of the request record itself
// and accepts the result only when it lies within 1 MiB of the record: the record and the value it
// points at live together in the caller's frame (or the value inside the record). Anything else
// fails the request as a pointer the driver cannot use. This is the emulation's mechanism, not a
// behaviour of the devices.
#include <cstring>
#include <vector>

#include "emu/devices.h"
#include "emu/winerror.h"
#include "os/emu/emulated.h"

namespace os {

using namespace os::emulated;

namespace {

constexpr uint64_t kNear = 0x100000;  // 1 MiB

// The caller's memory behind a 32-bit address field of the record at `record`.
uint8_t* CallerAddress(const void* record, uint32_t low, size_t length) {
    uint64_t base = reinterpret_cast<uintptr_t>(record);
    uint64_t high = base >> 32;
    // The record may lie just below or above a 4 GiB boundary from the value it points at.
    for (int64_t step : {0, -1, 1}) {
        if ((step < 0 && high == 0) || (step > 0 && high == 0xFFFFFFFFull)) continue;
        uint64_t candidate = ((high + static_cast<uint64_t>(step)) << 32) | low;
        uint64_t distance = candidate > base ? candidate - base : base - candidate;
        if (distance < kNear && candidate + length >= candidate) return reinterpret_cast<uint8_t*>(candidate);
    }
    return nullptr;
}

}  // namespace

namespace emulated {

Handle OpenDeviceHandle(const char* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
    auto device = std::make_shared<emu::OpenDevice>();
    if (uint32_t error = emu::OpenDevicePath(path, access, share, disposition, flags, device.get())) {
        SetLastError(error);
        return InvalidHandle();
    }
    HandleEntry entry;
    entry.kind = Kind::Device;
    entry.device = device;
    SetLastError(0);
    return AddHandle(entry);
}

}  // namespace emulated

bool DeviceIoControl(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    HandleEntry entry;
    if (!FindHandle(handle, &entry) || entry.kind != Kind::Device) {
        SetLastError(emu::winerr::kInvalidHandle);
        return false;
    }
    if ((in == nullptr && inSize != 0) || (out == nullptr && outSize != 0)) {
        SetLastError(emu::winerr::kInvalidParameter);
        return false;
    }
    const uint8_t* input = static_cast<const uint8_t*>(in);
    std::vector<uint8_t> request(input, input + inSize);
    std::vector<uint8_t> result;
    uint32_t error = emu::DeviceControl(
        *entry.device, code, request, outSize, &result,
        [in](uint32_t address, size_t length) { return CallerAddress(in, address, length); });
    if (error != 0) {
        SetLastError(error);
        return false;
    }
    // As the system copies a buffered request's result back: the bytes the driver returned.
    if (!result.empty()) std::memcpy(out, result.data(), result.size() < outSize ? result.size() : outSize);
    if (bytesReturned != nullptr) *bytesReturned = static_cast<uint32_t>(result.size());
    SetLastError(0);
    return true;
}

}  // namespace os
