#include "app/preflight.h"

#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "hw/disk.h"
#include "os/os.h"

namespace {

constexpr uint8_t kAcOnLine = 1;
constexpr uint8_t kMinimumBatteryPercent = 30;
constexpr uint8_t kMaximumBatteryPercent = 100;  // 255 means unknown: no battery

constexpr uint64_t kRequiredMegabytes = 2;

// Word 0 bit 6: fixed device. Word 128 bit 1: security enabled.
constexpr uint32_t kWord0LowByte = 0;
constexpr uint8_t kFixedDevice = 0x40;
constexpr uint32_t kWord128LowByte = 256;
constexpr uint8_t kSecurityEnabled = 0x02;

// True when drive n answers IDENTIFY as a fixed disk with ATA security enabled.
bool DriveHasSecurityEnabled(int drive) {
    uint8_t identify[kIdentifySize] = {};
    if (!ReadDriveIdentify(drive, identify)) return false;
    return (identify[kWord0LowByte] & kFixedDevice) != 0 && (identify[kWord128LowByte] & kSecurityEnabled) != 0;
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

    LoadText(kTextCaptionDiskSpace, ctx.captionText, sizeof ctx.captionText);
    char format[kTextSize];
    LoadText(kTextDiskSpaceLow, format, sizeof format);
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
    for (int drive = 0; drive < kSmartDriveCount; ++drive) {
        if (DriveHasSecurityEnabled(drive)) mask |= 1u << drive;
    }
    return mask;
}
