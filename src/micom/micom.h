// The embedded controller's firmware update, CMOS, SMI and the automatic power-on.
#pragma once

#include "app/result_codes.h"

// 1 for the newer controller kind, 0 for the legacy kind, -1 when the access driver fails.
int CheckChipVendor();
ResultCode RunMicomFlashTool(const char* micomToolCommand);
ResultCode ClearCmos();
ResultCode EnableGlobalSmi();
ResultCode ArmPowerOnLegacyEc();
ResultCode ArmPowerOnNewEc();
