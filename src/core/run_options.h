// The run's flag word and its bits.
//
// The word starts as the package's default options and the command line adds to it. Bits are
// tested by name throughout the program.
#pragma once

#include <cstdint>

enum RunOption : uint32_t {
    BlockPowerOff = 0x00000001,
    SkipCheckPart = 0x00000002,
    SkipCheckModel = 0x00000004,
    MarkLastFlashBlock = 0x00000008,
    SkipUpdateMicom = 0x00000010,
    NoMessageBox = 0x00000020,
    ClearCmosOnUpdate = 0x00000040,
    BreakEscd = 0x00000100,
    Mode3 = 0x00000200,
    Mode2 = 0x00000400,
    Mode1 = 0x00000800,
    DmiOnly = 0x00001000,
    ReadBios = 0x00002000,
    SkipUpdateFiles = 0x00004000,
    SkipCheckDate = 0x00008000,
    SkipCheckPower = 0x00010000,
    VistaUpgrade = 0x00020000,
    NoPowerCycle = 0x00040000,
    LongModelId = 0x00080000,
};

struct RunOptionName {
    uint32_t bit;
    const char* name;
};

// Every bit with its name, in bit order (for the release tool and the reports).
inline constexpr RunOptionName kRunOptionNames[] = {
    {BlockPowerOff, "BlockPowerOff"},     {SkipCheckPart, "SkipCheckPart"},
    {SkipCheckModel, "SkipCheckModel"},   {MarkLastFlashBlock, "MarkLastFlashBlock"},
    {SkipUpdateMicom, "SkipUpdateMicom"}, {NoMessageBox, "NoMessageBox"},
    {ClearCmosOnUpdate, "ClearCmosOnUpdate"}, {BreakEscd, "BreakEscd"},
    {Mode3, "Mode3"},                     {Mode2, "Mode2"},
    {Mode1, "Mode1"},                     {DmiOnly, "DmiOnly"},
    {ReadBios, "ReadBios"},               {SkipUpdateFiles, "SkipUpdateFiles"},
    {SkipCheckDate, "SkipCheckDate"},     {SkipCheckPower, "SkipCheckPower"},
    {VistaUpgrade, "VistaUpgrade"},       {NoPowerCycle, "NoPowerCycle"},
    {LongModelId, "LongModelId"},
};

// The bit of a flag name, compared without regard to case; 0 when there is no such flag.
uint32_t RunOptionBitByName(const char* name);
