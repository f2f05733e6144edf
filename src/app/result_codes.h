// The results of the run's steps and of the run itself.
//
// 0 is success; the failures have fixed values, each with the caption and text (string ids of the
// resource module) that the failure exit shows. The result is the process exit code.
#pragma once

#include <cstdint>

using ResultCode = uint32_t;

enum : ResultCode {
    kResultOk = 0,
    kResultDiskSpace = 0x80000001,
    kResultInitialization = 0x80000002,
    kResultUnpack = 0x80000003,
    kResultHddPassword = 0x80000004,
    kResultDriverLoad = 0x80000005,
    kResultModelMismatch = 0x80000006,
    kResultPartNumberMismatch = 0x80000007,
    kResultModelRefused = 0x80000008,
    kResultBiosUpdate = 0x80000009,
    kResultMicomUpdate = 0x8000000a,
    kResultBiosFile = 0x8000000b,
    kResultMicomFile = 0x8000000c,
    kResultSmiSetting = 0x8000000d,
    kResultInvalidOption = 0x8000000e,
    kResultDirectory = 0x8000000f,
    kResultNoAcAdapter = 0x80000010,
    kResultBattery = 0x80000011,
    kResultNoAcAndBattery = 0x80000012,
    kResultBiosNotNewer = 0x80000013,
    // A step whose part of the program this build does not carry yet. Outside the table: the
    // failure exit cleans up and shows nothing, and the run never counts as a success.
    kResultStepMissing = 0x800000ff,
};

struct ResultRow {
    ResultCode code;
    const char* name;   // short name for logs and reports
    uint32_t captionId; // 0: no message
    uint32_t textId;
};

inline constexpr ResultRow kResultTable[] = {
    {kResultDiskSpace, "DiskSpace", 0, 0},
    {kResultInitialization, "Initialization", 42, 27},
    {kResultUnpack, "Unpack", 43, 9},
    {kResultHddPassword, "HddPassword", 44, 23},
    {kResultDriverLoad, "DriverLoad", 45, 19},
    {kResultModelMismatch, "ModelMismatch", 46, 21},
    {kResultPartNumberMismatch, "PartNumberMismatch", 46, 21},
    {kResultModelRefused, "ModelRefused", 46, 21},
    {kResultBiosUpdate, "BiosUpdate", 47, 28},
    {kResultMicomUpdate, "MicomUpdate", 48, 29},
    {kResultBiosFile, "BiosFile", 49, 30},
    {kResultMicomFile, "MicomFile", 50, 31},
    {kResultSmiSetting, "SmiSetting", 51, 32},
    {kResultInvalidOption, "InvalidOption", 54, 25},
    {kResultDirectory, "Directory", 52, 33},
    {kResultNoAcAdapter, "NoAcAdapter", 53, 34},
    {kResultBattery, "Battery", 53, 35},
    {kResultNoAcAndBattery, "NoAcAndBattery", 53, 37},
    {kResultBiosNotNewer, "BiosNotNewer", 55, 36},
};

// The row of a code, or nullptr for codes outside the table (0 among them).
const ResultRow* FindResult(ResultCode code);
