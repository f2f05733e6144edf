// The results of the run's steps and of the run itself.
//
// 0 is success; the failures have fixed values, each with the caption and text (string ids of the
// resource module) that the failure exit shows. The result is the process exit code.
#pragma once

#include <cstdint>

#include "core/string_ids.h"

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
};

// One row of the result table: what the failure exit does for the code.
struct ResultRow {
    ResultCode code;
    const char* name;        // short name for logs and reports
    uint32_t captionId;      // 0: no message
    uint32_t textId;
    // The failure comes after the package was unpacked: the progress window runs, the input
    // devices are held off and the working directory holds the package's files, so the failure
    // exit stops the window, gives the devices back and removes the working files. Failures before
    // it (the package check, the power check, the working directory) leave the current directory
    // as it is: it is then the user's, or the TEMP directory with the access driver file.
    bool cleansUpAfterUnpack;
    bool namesModels;        // the text names the current and the new model and part number
};

inline constexpr bool kCleans = true;
inline constexpr bool kNames = true;

// clang-format off
inline constexpr ResultRow kResultTable[] = {
    // code                    name                 caption                   text                     clean-up  models
    {kResultDiskSpace,          "DiskSpace",         0,                        0,                           false,    false},
    {kResultInitialization,     "Initialization",    kTextCaptionFatalError,   kTextInitializationFailed,   false,    false},
    {kResultUnpack,             "Unpack",            kTextCaptionUnpack,       kTextUnpackFailed,           false,    false},
    {kResultHddPassword,        "HddPassword",       kTextCaptionHddPassword,  kTextHddPasswordSet,        kCleans,  false},
    {kResultDriverLoad,         "DriverLoad",        kTextCaptionDriverLoad,   kTextDriverLoadFailed,      kCleans,  false},
    {kResultModelMismatch,      "ModelMismatch",     kTextCaptionModel,        kTextModelDiffers,          kCleans,  kNames},
    {kResultPartNumberMismatch, "PartNumberMismatch",kTextCaptionModel,        kTextModelDiffers,          kCleans,  kNames},
    {kResultModelRefused,       "ModelRefused",      kTextCaptionModel,        kTextModelDiffers,          kCleans,  kNames},
    {kResultBiosUpdate,         "BiosUpdate",        kTextCaptionBiosUpdate,   kTextBiosUpdateFailed,      kCleans,  false},
    {kResultMicomUpdate,        "MicomUpdate",       kTextCaptionMicom,        kTextMicomUpdateFailed,     kCleans,  false},
    {kResultBiosFile,           "BiosFile",          kTextCaptionBiosFile,     kTextInvalidBiosFile,       kCleans,  false},
    {kResultMicomFile,          "MicomFile",         kTextCaptionMicomFile,    kTextInvalidMicomFile,      kCleans,  false},
    {kResultSmiSetting,         "SmiSetting",        kTextCaptionSmi,          kTextSmiSettingFailed,      kCleans,  false},
    {kResultInvalidOption,      "InvalidOption",     kTextCaptionInvalidOption,kTextInvalidOption,         kCleans,  false},
    {kResultDirectory,          "Directory",         kTextCaptionDirectory,    kTextDirectoryFailed,       false,    false},
    {kResultNoAcAdapter,        "NoAcAdapter",       kTextCaptionPower,        kTextNoAcAdapter,           false,    false},
    {kResultBattery,            "Battery",           kTextCaptionPower,        kTextBatteryLow,            false,    false},
    {kResultNoAcAndBattery,     "NoAcAndBattery",    kTextCaptionPower,        kTextNoAcAndBattery,        false,    false},
    {kResultBiosNotNewer,       "BiosNotNewer",      kTextCaptionBiosDate,     kTextBiosIsLatest,          kCleans,  false},
};
// clang-format on

// The row of a code, or nullptr for codes outside the table (0 among them).
const ResultRow* FindResult(ResultCode code);
