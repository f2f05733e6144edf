// UpdateContext: what one run has learned, shared by every subsystem of the program.
//
// One record with static storage duration. Its start values are the default member initialisers
// below: busy, unpackOk and isPhoenixBios are 1, everything else 0. Each field has one writer
// (named beside it); the progress window's thread writes progressWindow and unpackOk and reads
// busy, which is why those three are atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"

constexpr int kPathSize = 260;
constexpr int kTextSize = 256;
constexpr int kFileListSlots = 10;

struct BiosDate {
    uint8_t day = 0;
    uint8_t month = 0;
    uint16_t year = 0;
};

struct UpdateContext {
    uint32_t runOptions = 0;                  // package default, then the command line
    os::Module instance = nullptr;            // the program's own module
    os::Module resourceModule = nullptr;      // strings and dialogs come from here
    std::atomic<os::Window> progressWindow{nullptr};  // progress window, owner of message boxes
    std::atomic<int> busy{1};                 // the progress window refuses to close while 1
    std::atomic<int> unpackOk{1};             // 0 once the package extraction failed
    os::Handle unpackDone = nullptr;          // signalled when the extraction has ended
    int isPhoenixBios = 1;                    // 0 when the running BIOS is an AMI BIOS

    // Windows version probe.
    int osProbed = 0;
    int useQlixDevice = 0;                    // Windows 6.1
    int useKmdfDevice = 0;                    // Windows 6.0
    int isWow64 = 0;                          // 32-bit program on 64-bit Windows
    int accessDriver64 = 0;                   // the access driver taken is the 64-bit one

    char workDir[kPathSize] = {};             // TEMP + "\__Korvane_Update\", or empty
    char captionText[kTextSize] = {};         // caption of the message box being shown

    char ImageFileList[kFileListSlots][kTextSize] = {};  // BIOS image candidates
    uint8_t imageFileCount = 0;
    char MicomFileList[kFileListSlots][kTextSize] = {};  // MICOM image candidates
    uint8_t micomFileCount = 0;

    uint8_t newEcKind = 0;                    // 1: the newer embedded-controller kind

    // The running platform.
    char currentModel[16] = {};
    char currentPartNumber[8] = {};
    char currentVersion[8] = {};
    BiosDate currentBiosDate;
    char systemSerial[32] = {};
    char oemString1[32] = {};                 // the BIOS flag
    char oemString2[32] = {};                 // the purchase date

    // The new image, as far as the program reads it.
    char newModel[8] = {};
    char newVersion[8] = {};
    char newPartNumber[8] = {};
    uint8_t dmiBlockIndex = 0;

    // DMI values to be written.
    char newSerial[kTextSize] = {};
    char newBiosFlag[kTextSize] = {};
    char newPurchaseDate[kTextSize] = {};
    int dmiAccepted = 0;
};

extern UpdateContext ctx;

// Releases what the run installed that must not outlive it (the access driver's service), where
// the process ends at once instead of returning through the program's entry: a package entry
// that does not decompress. Set by the entry; nullptr while there is nothing to release.
extern void (*releaseBeforeAbruptEnd)();

// Puts every field back to its start value (a new run; tests).
void ResetUpdateContext();

inline bool HasOption(uint32_t bits) { return (ctx.runOptions & bits) != 0; }
