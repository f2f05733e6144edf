#include "hw/disk.h"

#include <cstring>

#include "base/bytes.h"
#include "base/text.h"
#include "os/os.h"

namespace {

// ATA SMART through the disk driver.
constexpr uint32_t kSmartGetVersion = 0x00074080;
constexpr uint32_t kSmartReceiveDriveData = 0x0007C088;
constexpr uint32_t kVersionParamsSize = 24;     // GETVERSIONINPARAMS
constexpr uint32_t kDeviceMapOffset = 3;        // bIDEDeviceMap
constexpr uint32_t kCommandInSize = 32;         // SENDCMDINPARAMS with one byte of buffer
constexpr uint32_t kCommandOutSize = 528;       // SENDCMDOUTPARAMS with 512 bytes of data
constexpr uint32_t kIdentifyDataOffset = 16;    // after the buffer size and the driver status
constexpr uint8_t kIdentifyDevice = 0xEC;
constexpr uint8_t kIdentifyPacketDevice = 0xA1;

// The IDENTIFY request for drive n; atapi asks the packet-device form.
void BuildIdentifyRequest(uint8_t* in, int drive, bool atapi) {
    StoreU32(in + 0, kIdentifySize);  // buffer size
    in[4] = 0;                        // features
    in[5] = 1;                        // sector count
    in[6] = 1;                        // sector number
    in[7] = 0;                        // cylinder low
    in[8] = 0;                        // cylinder high
    in[9] = (drive & 1) ? 0xB0 : 0xA0;  // drive/head: slave for odd drives
    in[10] = atapi ? kIdentifyPacketDevice : kIdentifyDevice;
    in[11] = 0;
    in[12] = static_cast<uint8_t>(drive);
}

}  // namespace

bool ReadDriveIdentify(int drive, uint8_t (&identify)[kIdentifySize]) {
    char path[32];
    FormatText(path, sizeof path, "\\\\.\\PhysicalDrive%d", drive);
    os::Handle disk = os::CreateFile(path, os::kGenericRead | os::kGenericWrite, os::kShareRead | os::kShareWrite,
                                     os::kOpenExisting, 0);
    if (!os::IsValid(disk)) return false;

    bool read = false;
    uint8_t version[kVersionParamsSize] = {};
    uint32_t returned = 0;
    if (os::DeviceIoControl(disk, kSmartGetVersion, nullptr, 0, version, sizeof version, &returned) &&
        version[kDeviceMapOffset] != 0) {
        const bool atapi = (version[kDeviceMapOffset] & (1u << (drive + 4))) != 0;
        uint8_t in[kCommandInSize] = {};
        BuildIdentifyRequest(in, drive, atapi);
        uint8_t out[kCommandOutSize] = {};
        if (os::DeviceIoControl(disk, kSmartReceiveDriveData, in, sizeof in, out, sizeof out, &returned)) {
            std::memcpy(identify, out + kIdentifyDataOffset, kIdentifySize);
            read = true;
        }
    }
    os::CloseHandle(disk);
    return read;
}
