#include "micom/micom.h"

#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "hw/chipset.h"
#include "hw/driver.h"
#include "hw/ports.h"
#include "micom/ec.h"
#include "os/os.h"
#include "package/tool_run.h"
#include "package/workdir.h"
#include "ui/progress.h"

namespace {

// Chip identifications of the newer controller kind (the second only where the record knows it).
constexpr uint8_t kNewEcChipA = 0x4D;
constexpr uint8_t kNewEcChipB = 0x85;

bool IsNewEcChip(uint8_t id) {
    return id == kNewEcChipA || (kVariant.knowsSecondNewEcChip && id == kNewEcChipB);
}

// The controller RAM byte whose bit 0 makes the legacy controller switch the notebook on again.
constexpr uint16_t kPowerOnRamAddress = 0xE887;
constexpr uint8_t kPowerOnBit = 0x01;
// The newer controller's command that arms the power-on.
constexpr uint8_t kArmPowerOnCommand = 0xDC;

// CMOS: the bytes cleared in each bank.
constexpr uint8_t kFirstClearedCmosByte = 0x20;  // below it: the clock and its status registers
constexpr int kCmosBankSize = 0x80;

// The LPC bridge's power-management base.
constexpr uint8_t kLpcBus = 0;
constexpr uint8_t kLpcDevice = 31;
constexpr uint8_t kLpcFunction = 0;
constexpr uint8_t kPmBaseRegister = 0x40;
constexpr uint32_t kNoDevice = 0xFFFFFFFFu;
constexpr uint32_t kPmBaseFlag = 0x1;  // I/O space indicator, not part of the address
constexpr uint16_t kSmiControlOffset = 0x30;
constexpr uint16_t kGlobalSmiEnable = 0x1;

// The exchange with the controller runs at real-time priority. The keyboard controller's ports
// are shared with the system's keyboard and pointing-device drivers, and the controller holds the
// exchange open from its begin command to its end command; at real-time priority no other
// program's thread runs in between, so the exchange is short and the controller is not left
// waiting in the middle of a request. The previous class is restored at once afterwards: a
// program left at real-time priority starves the rest of the system.
uint32_t RaisePriority() {
    uint32_t previous = os::GetPriorityClass();
    if (previous == 0) previous = os::kNormalPriorityClass;
    os::SetPriorityClass(os::kRealtimePriorityClass);
    return previous;
}

void RestorePriority(uint32_t previous) { os::SetPriorityClass(previous); }

}  // namespace

int CheckChipVendor() {
    LogStep("Check Chip Vendor");
    uint16_t port = kEcConfigPortPrimary;
    uint8_t id = ProbeEcChipId(port);
    if (!IsNewEcChip(id)) {
        port = kEcConfigPortSecondary;
        id = ProbeEcChipId(port);
    }
    LogStep("Check Chip Vendor end");

    if (!IsNewEcChip(id)) {
        ctx.newEcKind = 0;
        return 0;
    }
    ctx.newEcKind = 1;
    if (kVariant.usesEcMailbox) {
        if (!OpenAccessDriver()) return -1;
        FindEcMailbox(port);
        CloseAccessDriver();
    }
    return 1;
}

ResultCode RunMicomFlashTool(const char* micomToolCommand) {
    if (HasOption(SkipUpdateMicom)) return kResultOk;

    char line[kToolCommandLineSize];
    const bool fits = BuildToolCommandLine(micomToolCommand, line, sizeof line);
    if (fits) {
        // The MICOM step logs its command under the same words as the BIOS step.
        LogLine("Bios command : %s", line);
    } else {
        LogLine("Micom command too long : %s%s", ctx.workDir, micomToolCommand);
    }
    MarkStep(kMarkMicomUpdate, 0);
    ShowProgressText(kTextPreparingMicomUpdate);

    ResultCode result = kResultMicomUpdate;
    if (fits) {
        uint32_t exitCode = 0;
        if (RunToolToEnd(line, &exitCode) == ToolRun::Ended && exitCode == 0) result = kResultOk;
    }
    RemoveMicomTool();
    if (result != kResultOk) return result;
    MarkStep(kMarkMicomUpdate, 1);
    return kResultOk;
}

ResultCode ClearCmos() {
    if (!OpenAccessDriver()) return kResultDriverLoad;
    for (int index = kFirstClearedCmosByte; index < kCmosBankSize; ++index) {
        WriteCmosByte(static_cast<uint8_t>(index), 0);
    }
    for (int index = 0; index < kCmosBankSize; ++index) WriteExtCmosByte(static_cast<uint8_t>(index), 0);
    CloseAccessDriver();
    return kResultOk;
}

ResultCode EnableGlobalSmi() {
    if (!OpenAccessDriver()) return kResultDriverLoad;
    const uint32_t base = ReadPciConfigDword(kLpcBus, kLpcDevice, kLpcFunction, kPmBaseRegister);
    if (base == kNoDevice) {
        CloseAccessDriver();
        return kResultSmiSetting;
    }
    const uint16_t controlPort = static_cast<uint16_t>((base & ~kPmBaseFlag) + kSmiControlOffset);
    const uint16_t control = ReadPortWord(controlPort);
    if ((control & kGlobalSmiEnable) == 0) {
        WritePortWord(controlPort, static_cast<uint16_t>(control | kGlobalSmiEnable));
    }
    CloseAccessDriver();
    return kResultOk;
}

ResultCode ArmPowerOnLegacyEc() {
    if (!OpenAccessDriver()) return kResultDriverLoad;
    const uint32_t previous = RaisePriority();
    uint8_t value = 0;
    // A byte that could not be read is not written back: 0xFF | 1 would set every other bit of
    // the controller's byte as well.
    const bool armed = ReadEcByte(kPowerOnRamAddress, &value) &&
                       WriteEcByte(kPowerOnRamAddress, static_cast<uint8_t>(value | kPowerOnBit));
    RestorePriority(previous);
    CloseAccessDriver();
    return armed ? kResultOk : kResultDriverLoad;
}

ResultCode ArmPowerOnNewEc() {
    if (!OpenAccessDriver()) return kResultDriverLoad;
    const uint32_t previous = RaisePriority();
    bool armed;
    if (kVariant.usesEcMailbox && ecMailboxPort != 0) {
        EcMailboxBlock block;
        block.bytes[0] = kArmPowerOnCommand;
        armed = RunEcMailboxCommand(&block);
    } else {
        armed = SendEcCommandByte(kArmPowerOnCommand);
    }
    RestorePriority(previous);
    CloseAccessDriver();
    return armed ? kResultOk : kResultDriverLoad;
}
