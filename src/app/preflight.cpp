#include "app/preflight.h"

#include "app/context.h"
#include "app/messages.h"
#include "app/run_options.h"
#include "base/bytes.h"
#include "base/text.h"
#include "os/os.h"

namespace {

constexpr uint8_t kAcOnLine = 1;
constexpr uint8_t kMinimumBatteryPercent = 30;
constexpr uint8_t kMaximumBatteryPercent = 100;  // 255 means unknown: no battery

constexpr uint64_t kRequiredMegabytes = 2;
constexpr uint32_t kDiskSpaceCaptionId = 41;
constexpr uint32_t kDiskSpaceTextId = 22;

// ATA SMART through the disk driver.
constexpr uint32_t kSmartGetVersion = 0x00074080;
constexpr uint32_t kSmartReceiveDriveData = 0x0007C088;
constexpr uint32_t kVersionParamsSize = 24;     // GETVERSIONINPARAMS
constexpr uint32_t kDeviceMapOffset = 3;        // bIDEDeviceMap
constexpr uint32_t kCommandInSize = 32;         // SENDCMDINPARAMS with one byte of buffer
constexpr uint32_t kCommandOutSize = 528;       // SENDCMDOUTPARAMS with 512 bytes of data
constexpr uint32_t kIdentifyDataOffset = 16;    // after the buffer size and the driver status
constexpr uint32_t kIdentifySize = 512;
constexpr uint8_t kIdentifyDevice = 0xEC;
constexpr uint8_t kIdentifyPacketDevice = 0xA1;
constexpr int kDriveCount = 4;                  // the device map describes drives 0 to 3

// Word 0 bit 6: fixed device. Word 128 bit 1: security enabled.
constexpr uint32_t kWord0LowByte = 0;
constexpr uint8_t kFixedDevice = 0x40;
constexpr uint32_t kWord128LowByte = 256;
constexpr uint8_t kSecurityEnabled = 0x02;

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

// True when drive n answers IDENTIFY as a fixed disk with ATA security enabled.
bool DriveHasSecurityEnabled(int drive) {
    char path[32];
    FormatText(path, sizeof path, "\\\\.\\PhysicalDrive%d", drive);
    os::Handle disk = os::CreateFile(path, os::kGenericRead | os::kGenericWrite, os::kShareRead | os::kShareWrite,
                                     os::kOpenExisting, 0);
    if (!os::IsValid(disk)) return false;

    bool secured = false;
    uint8_t version[kVersionParamsSize] = {};
    uint32_t returned = 0;
    if (os::DeviceIoControl(disk, kSmartGetVersion, nullptr, 0, version, sizeof version, &returned) &&
        version[kDeviceMapOffset] != 0) {
        const bool atapi = (version[kDeviceMapOffset] & (1u << (drive + 4))) != 0;
        uint8_t in[kCommandInSize] = {};
        BuildIdentifyRequest(in, drive, atapi);
        uint8_t out[kCommandOutSize] = {};
        if (os::DeviceIoControl(disk, kSmartReceiveDriveData, in, sizeof in, out, sizeof out, &returned)) {
            const uint8_t* identify = out + kIdentifyDataOffset;
            secured = (identify[kWord0LowByte] & kFixedDevice) != 0 &&
                      (identify[kWord128LowByte] & kSecurityEnabled) != 0;
        }
    }
    os::CloseHandle(disk);
    return secured;
}

}  // namespace

ResultCode CheckPower() {
    LogLine("Check System Power");
    if (HasOption(SkipCheckPower)) return kResultOk;

    // A status that cannot be read counts as neither AC nor a battery: nothing shows that power
    // is safe.
    os::PowerStatus status{255, 255};
    if (!os::GetSystemPowerStatus(&status)) status = os::PowerStatus{255, 255};
    const bool noAc = status.acLineStatus != kAcOnLine;
    const bool badBattery =
        status.batteryLifePercent < kMinimumBatteryPercent || status.batteryLifePercent > kMaximumBatteryPercent;

    if (noAc && badBattery) return kResultNoAcAndBattery;
    if (noAc) return kResultNoAcAdapter;
    if (badBattery) return kResultBattery;
    return kResultOk;
}

int CheckDiskSpace() {
    // Space that cannot be read counts as none, so the run stops before it unpacks.
    uint64_t available = 0;
    if (!os::GetDiskFreeSpace(&available)) available = 0;
    const uint64_t megabytes = available >> 20;
    if (megabytes >= kRequiredMegabytes) return 1;

    LoadText(kDiskSpaceCaptionId, ctx.captionText, sizeof ctx.captionText);
    char format[kTextSize];
    LoadText(kDiskSpaceTextId, format, sizeof format);
    const TextArg args[] = {
        {TextArg::Number, nullptr, static_cast<long>(megabytes)},
        {TextArg::Number, nullptr, static_cast<long>(kRequiredMegabytes)},
    };
    char text[kMessageSize];
    FormatTableText(text, sizeof text, format, args, 2);
    ShowMessage(kStyleError, ctx.captionText, "%s", text);
    return 0;
}

uint32_t CheckHddPassword() {
    uint32_t mask = 0;
    for (int drive = 0; drive < kDriveCount; ++drive) {
        if (DriveHasSecurityEnabled(drive)) mask |= 1u << drive;
    }
    return mask;
}
