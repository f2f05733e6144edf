// The embedded controller's firmware update, CMOS, SMI and the automatic power-on.
#pragma once

#include <cstdint>

#include "core/result_codes.h"

// Tells the two controller kinds apart by the chip identification behind the configuration ports
// (0x2E, then 0x6C2) and sets newEcKind: 1 for the newer kind (0x4D, or 0x85 where the record
// knows it; its mailbox is looked up where the record uses it), 0 for the legacy kind, -1 when the
// access driver fails for the mailbox lookup (so never without the mailbox).
int CheckChipVendor();
// Runs workDir + micomToolCommand in the working directory unless SkipUpdateMicom is set.
// kResultMicomUpdate when the tool could not be run or did not end with 0. The tool and its image
// are deleted in every case.
ResultCode RunMicomFlashTool(const char* micomToolCommand);
// Sets standard CMOS 0x20-0x7F and extended CMOS 0x00-0x7F to 0.
ResultCode ClearCmos();
// Makes sure the chipset's global SMI enable bit is set. kResultSmiSetting when there is no
// power-management base to find.
ResultCode EnableGlobalSmi();
// Arms the automatic power-on: legacy kind through bit 0 of controller RAM byte 0xE887, newer kind
// through controller command 0xDC. kResultDriverLoad when the driver cannot be opened or the
// controller did not answer.
ResultCode ArmPowerOnLegacyEc();
ResultCode ArmPowerOnNewEc();

