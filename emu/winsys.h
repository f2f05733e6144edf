// Windows services of the emulated world that depend on the profile: the environment and the
// answers a person gives to message boxes.
#pragma once

#include <cstdint>
#include <string>

namespace emu {

// Button ids a message box returns.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
constexpr int kIdTryAgain = 10;
constexpr int kIdContinue = 11;

// Shows a message box to the emulated person: takes the next answer of the profile's
// answers.messageBoxes (a matcher waits for a box whose caption and text fit it; boxes before
// it are answered with their first button), records the box and returns the button pressed.
// An answer the box does not offer becomes its first button (an OK box is always answered OK).
int ShowMessageBox(bool hasOwner, const std::string& text, const std::string& caption, uint32_t style);

// A variable of the emulated environment: TEMP from windows.temp (absent when null), then the
// profile's windows.environment; names compared without regard to case.
bool EnvironmentVariable(const std::string& name, std::string* value);

}  // namespace emu
