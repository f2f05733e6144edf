// Error values the emulated Windows reports, as winerror.h numbers them.
//
// Kept here rather than shared with the program: the program's constants must meet the values
// Windows really uses, not a copy of its own.
#pragma once

#include <cstdint>

namespace emu::winerr {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kInvalidFunction = 1;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kHandleEof = 38;
constexpr uint32_t kBadNetPath = 53;
constexpr uint32_t kFileExists = 80;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kDiskFull = 112;
constexpr uint32_t kCallNotImplemented = 120;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kModNotFound = 126;
constexpr uint32_t kProcNotFound = 127;
constexpr uint32_t kNegativeSeek = 131;
constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kBadExeFormat = 193;
constexpr uint32_t kEnvVarNotFound = 203;
constexpr uint32_t kFilenameExcedRange = 206;
constexpr uint32_t kNoMoreItems = 259;
constexpr uint32_t kDirectory = 267;
constexpr uint32_t kFileInvalid = 1006;
constexpr uint32_t kServiceAlreadyRunning = 1056;
constexpr uint32_t kServiceDoesNotExist = 1060;
constexpr uint32_t kServiceNotActive = 1062;
constexpr uint32_t kServiceMarkedForDelete = 1072;
constexpr uint32_t kServiceExists = 1073;
constexpr uint32_t kDriverBlocked = 1275;
constexpr uint32_t kPrivilegeNotHeld = 1314;
// SetupAPI: the class installer is not run for a 32-bit process on 64-bit Windows.
constexpr uint32_t kInWow64 = 0xE0000235u;

// Not an error: the exit code GetExitCodeProcess reports for a process that still runs.
constexpr uint32_t kStillActive = 259;

// Exception codes a crashed process ends with.
constexpr uint32_t kStatusAccessViolation = 0xC0000005u;
constexpr uint32_t kStatusIllegalInstruction = 0xC000001Du;
constexpr uint32_t kStatusIntegerDivideByZero = 0xC0000094u;
constexpr uint32_t kStatusControlCExit = 0xC000013Au;
constexpr uint32_t kStatusStackBufferOverrun = 0xC0000409u;

}  // namespace emu::winerr
