// The end of a successful run, shared by the Phoenix and the AMI path.
#pragma once

#include "core/result_codes.h"

// After the working files are gone and the input devices are back: the completion message, the
// automatic power-on armed by the controller's kind, and the switch-off. The legacy kind stays
// on, without a message, when the flag word blocks the power cycle. Always kResultOk.
ResultCode ArmPowerOnAndSwitchOff();
