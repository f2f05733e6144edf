// Keyboard and mouse held off while the firmware is written.
#pragma once

// Disables every present mouse device, then the keyboard controller's keyboard and auxiliary
// interfaces.
void DisableInputDevices();
// Turns the keyboard controller's interfaces back on, then enables the mouse devices.
void EnableInputDevices();
