#include "package/workdir.h"

#include <cstring>
#include <iterator>

#include "core/context.h"
#include "core/messages.h"
#include "core/variant.h"
#include "base/text.h"
#include "os/os.h"
#include "package/package.h"

namespace {

constexpr const char kWorkDirName[] = "__Korvane_Update\\";

// The Phoenix flash tool set: the working name the flash step uses, and the file of each bitness.
struct ToolSetRow {
    const char* working;
    const char* bits32;
    const char* bits64;
};
constexpr ToolSetRow kPhoenixToolSet[] = {
    {"SWinFlash.exe", "SWinFlash_32.exe", "SWinFlash_64.exe"},
    {"PhlashNT.sys", "PhlashNT_32.sys", "PhlashNT_64.sys"},
    {"PhlashLc.dll", "PhlashLc_32.dll", "PhlashLc_64.dll"},
    {"PHLASH.INI", "PHLASH_32.INI", "PHLASH_64.INI"},
    {"PHLASH.LOG", "PHLASH_32.LOG", "PHLASH_64.LOG"},
};

constexpr const char* kPhoenixWorkingSet[] = {"SWinFlash.exe", "PhlashNT.sys", "Phlash9X.vxd",
                                              "PhlashLc.dll",  "bios.wph",     "bios.bak",
                                              "newSys.bin"};
[[maybe_unused]] constexpr const char* kAmiToolSet[] = {"AFUDOS.EXE",     "AFUWIN.EXE",     "AFUWINX64.EXE",
                                       "AMIFLDRV.VXD",   "AMIFLDRV32.sys", "AMIFLDRV64.sys",
                                       "BIOS.ROM"};
constexpr const char* kMicomTool[] = {"WinUpV01_10.exe", "kbc.bin"};
constexpr const char* kAccessDriverFile[] = {"AddMem.sys", "AddMem64.sys"};
constexpr const char* kFlashLog[] = {"PHLASH.log"};
constexpr const char* kResourceModules[] = {
    "ConResKr.dll",     "ConResChs.dll",     "ConResCht.dll",     "ConResEn.dll",
    "ConResFr.dll",     "ConResGr.dll",      "ConResPo.dll",      "ConResRu.dll",
    "ConResSp.dll",     "ConResKr_ami.dll",  "ConResChs_ami.dll", "ConResCht_ami.dll",
    "ConResEn_ami.dll", "ConResFr_ami.dll",  "ConResGr_ami.dll",  "ConResPo_ami.dll",
    "ConResRu_ami.dll", "ConResSp_ami.dll",
};
// romshell-phx carries no "_ami" libraries: it removes the first nine names only.
constexpr size_t kPhoenixResourceModuleCount = 9;
constexpr const char* kRuntimeFiles[] = {"PHLASH.ini", "mfc42.dll", "msvcp60.dll", "msvcrt.dll",
                                         "winhlp32.exe"};

template <size_t N>
[[maybe_unused]] void DeleteAll(const char* const (&names)[N], size_t count = N) {
    for (size_t i = 0; i < count && i < N; ++i) os::DeleteFile(names[i]);
}

void StagePhoenixTools(bool bits64) {
    for (const ToolSetRow& row : kPhoenixToolSet) {
        os::MoveFile(bits64 ? row.bits64 : row.bits32, row.working);
    }
    if (bits64) {
        RemovePhoenixSet32();
    } else {
        RemovePhoenixSet64();
    }
}

// Deletes the names of a candidate list other than the one that became the working copy.
void DeleteCandidates(const char (&list)[kFileListSlots][kTextSize], const char* keep) {
    for (const char* name : list) {
        if (name[0] == '\0') break;
        if (!EqualIgnoreCase(name, keep)) os::DeleteFile(name);
    }
}

// Fills a candidate list with the names the pattern matches in the current directory. The list
// holds at most 10 names of at most 255 characters: further names, and names too long to be kept
// whole, are left out, so that every slot names an existing file and the count tells the slots.
ResultCode FindCandidates(const char* pattern, char (&list)[kFileListSlots][kTextSize],
                          uint8_t* count, ResultCode nothingFound, bool logMicom) {
    os::FindData found{};
    os::Handle search = os::FindFirstFile(pattern, &found);
    if (!os::IsValid(search)) return nothingFound;

    std::memset(list, 0, sizeof list);
    *count = 0;
    do {
        if (found.isDirectory) continue;
        if (*count >= kFileListSlots) continue;
        if (!CopyText(list[*count], found.name)) {
            list[*count][0] = '\0';
            continue;
        }
        ++*count;
        if (logMicom) LogLine("Micom File Found : %s", found.name);
    } while (os::FindNextFile(search, &found));
    os::FindClose(search);
    if (logMicom) LogLine("Total Micom File Number : %d", *count);
    return kResultOk;
}

// The TEMP directory, or "C:\" when TEMP is not set (or does not fit a path).
[[maybe_unused]] void TemporaryDirectory(char (&path)[kPathSize]) {
    uint32_t length = os::GetEnvironmentVariable("TEMP", path, sizeof path);
    if (length == 0 || length >= sizeof path) CopyText(path, "C:\\");
}

}  // namespace

#if !ROMSHELL_PHX
int PrepareLegacyDriver() {
    char temporary[kPathSize];
    TemporaryDirectory(temporary);
    os::SetCurrentDirectory(temporary);
    return ExtractAccessDriver() ? 1 : 0;
}

bool ExtractAccessDriver() {
    // A kernel driver loads only on Windows of its own processor: 64-bit Windows takes the 64-bit
    // driver when the package carries one, and a package of one driver runs as it always has.
    ctx.accessDriver64 = 0;
    if (ctx.isWow64 && ExtractNamedEntry("addmem64.sys") != 0) {
        ctx.accessDriver64 = 1;
        return true;
    }
    return ExtractNamedEntry("addmem.sys") != 0;
}
#endif

ResultCode PrepareWorkingDirectory() {
    ctx.workDir[0] = '\0';
    char temp[kPathSize];
    uint32_t length = os::GetEnvironmentVariable("TEMP", temp, sizeof temp);
    if (length == 0) return kResultDirectory;
    // A TEMP value that leaves no room for the directory's name cannot hold the working
    // directory; the run ends as when the directory cannot be made.
    if (length >= sizeof temp || !CopyText(ctx.workDir, temp) ||
        (temp[length - 1] != '\\' && !AppendText(ctx.workDir, "\\")) ||
        !AppendText(ctx.workDir, kWorkDirName)) {
        ctx.workDir[0] = '\0';
        return kResultDirectory;
    }

    if (os::SetCurrentDirectory(ctx.workDir)) {
        CleanWorkingDirectory();
    } else {
        os::CreateDirectory(ctx.workDir);
        if (!os::SetCurrentDirectory(ctx.workDir)) {
            ctx.workDir[0] = '\0';
            return kResultDirectory;
        }
    }
    LogStep("00. Success to Create Directory");
    return kResultOk;
}

void ChooseUnpackedAccessDriver() {
    // The working directory was emptied before the package went into it: what lies there now is
    // the package's.
    os::FindData found{};
    os::Handle search = os::FindFirstFile("AddMem64.sys", &found);
    const bool carried = os::IsValid(search);
    if (carried) os::FindClose(search);
    ctx.accessDriver64 = ctx.isWow64 && carried ? 1 : 0;
}

void CleanWorkingDirectory() {
    os::FindData found{};
    os::Handle search = os::FindFirstFile("*.*", &found);
    if (!os::IsValid(search)) return;
    do {
        os::DeleteFile(found.name);
        LogLine("DeleteDirectoryFile : %s is Deleted", found.name);
    } while (os::FindNextFile(search, &found));
    os::FindClose(search);
}

void StagePhoenixTools32() { StagePhoenixTools(false); }
void StagePhoenixTools64() { StagePhoenixTools(true); }

void RemovePhoenixSet64() {
    for (const ToolSetRow& row : kPhoenixToolSet) os::DeleteFile(row.bits64);
}
void RemovePhoenixSet32() {
    for (const ToolSetRow& row : kPhoenixToolSet) os::DeleteFile(row.bits32);
}
void RemovePhoenixWorkingSet() { DeleteAll(kPhoenixWorkingSet); }
#if !ROMSHELL_PHX
void RemoveAmiToolSet() { DeleteAll(kAmiToolSet); }
#endif
void RemoveMicomTool() { DeleteAll(kMicomTool); }
void RemoveAccessDriverFile() { DeleteAll(kAccessDriverFile); }
void RemoveFlashLog() { DeleteAll(kFlashLog); }
void RemoveResourceModules() {
    DeleteAll(kResourceModules, kVariant.hasAmiPath ? std::size(kResourceModules) : kPhoenixResourceModuleCount);
}

void RemoveCandidatesAndRuntime() {
    DeleteCandidates(ctx.ImageFileList, "bios.wph");
    DeleteCandidates(ctx.MicomFileList, "kbc.bin");
    DeleteAll(kRuntimeFiles);
}

void CleanUpWorkingFiles() {
    RemovePhoenixWorkingSet();
#if !ROMSHELL_PHX
    RemoveAmiToolSet();
#endif
    RemoveMicomTool();
    RemoveAccessDriverFile();
    RemoveFlashLog();
    RemoveResourceModules();
    RemoveCandidatesAndRuntime();
}

ResultCode FindBiosImages() {
    return FindCandidates("*.wph", ctx.ImageFileList, &ctx.imageFileCount, kResultBiosFile, false);
}

#if !ROMSHELL_PHX
ResultCode FindAmiImages() {
    ResultCode r =
        FindCandidates("*.rom", ctx.ImageFileList, &ctx.imageFileCount, kResultBiosFile, false);
    if (r != kResultOk) return r;
    // With several candidates none is chosen: the AMI path then finds no "bios.rom".
    if (ctx.imageFileCount == 1) os::CopyFile(ctx.ImageFileList[0], "bios.rom");
    return kResultOk;
}
#endif

ResultCode FindMicomFiles() {
    return FindCandidates("*.bin", ctx.MicomFileList, &ctx.micomFileCount, kResultMicomFile, true);
}
