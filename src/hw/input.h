// Keyboard and mouse held off while the firmware is written.
#pragma once

// Disables every present mouse device, then the keyboard controller's keyboard and auxiliary
// interfaces.
void DisableInputDevices();
// Turns the keyboard controller's interfaces back on, then enables the mouse devices.
void EnableInputDevices();

// Enables (nonzero) or disables every present device whose setup class begins with "mouse" (any
// case) and that Windows can disable; devices the hardware itself has disabled are left alone.
void SetMouseDevicesState(int enable);
// Stops the keyboard and auxiliary interfaces of the keyboard controller, with their interrupts.
void KeyboardOff();
// Starts them again.
void KeyboardOn();
