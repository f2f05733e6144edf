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
constexpr const char kStartupFolderName[] = "Startup";
// Names tried for setting aside what stands at a folder's path ("<path>.1" to "<path>.9"), and
// attempts at making the folder there.
constexpr int kSetAsideNames = 9;
constexpr int kFolderAttempts = 3;

// The working folder and its startup folder, held open for the whole run so that they cannot be
// renamed or replaced under it (the handles close with the process).
enum FolderSlot { kWorkingFolder, kStartupFolder, kFolderSlots };
os::Handle heldFolder[kFolderSlots] = {os::InvalidHandle(), os::InvalidHandle()};
char heldFolderPath[kFolderSlots][kPathSize];
// The working folder was made by this run (it holds nothing of an earlier run).
bool workingFolderMade = false;

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
void TemporaryDirectory(char (&path)[kPathSize]) {
    uint32_t length = os::GetEnvironmentVariable("TEMP", path, sizeof path);
    if (length == 0 || length >= sizeof path) CopyText(path, "C:\\");
}

// base, a backslash unless base ends in one, then the working folder's name with its backslash.
bool WorkingFolderPath(const char* base, char (&path)[kPathSize]) {
    const size_t length = BoundedLength(base, kPathSize);
    if (length == 0 || length >= kPathSize || !CopyText(path, base) ||
        (base[length - 1] != '\\' && !AppendText(path, "\\")) || !AppendText(path, kWorkDirName)) {
        path[0] = '\0';
        return false;
    }
    return true;
}

// The Windows 9x family has neither owners nor links: a folder there is used as it is.
bool WindowsHasSecurity() { return (os::GetVersion() & 0x80000000u) == 0; }

// Renames what stands at path (a link, a junction, a file, a folder the user made) to the first
// free "<path>.<n>". The thing itself is renamed, never what a link leads to.
bool SetAside(const char* path) {
    for (int n = 1; n <= kSetAsideNames; ++n) {
        char aside[kPathSize];
        if (!FormatText(aside, sizeof aside, "%s.%d", path, n)) return false;
        if (os::MoveFile(path, aside)) {
            LogLine("%s is not this program's folder: set aside as %s", path, aside);
            return true;
        }
    }
    LogLine("%s is not this program's folder and cannot be set aside", path);
    return false;
}

// Makes the folder at path (without a final backslash) the run's own: a real folder that only
// administrators and SYSTEM can change (where the file system keeps security), held open from
// now on. A folder of this kind that an earlier run left is taken as it is; anything else at the
// path is set aside, so that nothing is ever written or deleted through a link the user placed
// there, or into a folder the user can still change (files the user planted, or handles the user
// opened before the run, would outlive any change of its security). *made tells that the folder
// was created now.
bool MakeOwnFolder(const char* path, FolderSlot slot, bool* made) {
    *made = false;
    if (os::IsValid(heldFolder[slot]) && EqualIgnoreCase(heldFolderPath[slot], path)) return true;
    if (!WindowsHasSecurity()) {
        *made = os::CreateDirectory(path);
        return true;
    }
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        const bool created = os::CreatePrivateDirectory(path);
        os::Handle folder = os::OpenDirectoryNoFollow(path);
        bool mine = os::IsValid(folder) && os::IsPrivateDirectory(folder);
        // A folder made a moment ago that does not show the security it was made with: either the
        // file system keeps none (FAT, or Wine, which ignores it), or the user, who owns TEMP,
        // renamed it away and put a folder of their own in its place before the open above.
        // Giving the held folder that security tells the two apart: where it then shows, the file
        // system keeps security, so the folder at the path is not the one this run made.
        if (os::IsValid(folder) && !mine && created) {
            mine = !(os::ProtectDirectory(folder) && os::IsPrivateDirectory(folder));
        }
        if (os::IsValid(folder) && mine) {
            if (os::IsValid(heldFolder[slot])) os::CloseHandle(heldFolder[slot]);
            heldFolder[slot] = folder;
            CopyText(heldFolderPath[slot], path);
            *made = created;
            return true;
        }
        if (os::IsValid(folder)) os::CloseHandle(folder);
        if (!SetAside(path)) return false;
    }
    return false;
}

// The path without its final backslash.
void WithoutFinalBackslash(const char* path, char (&out)[kPathSize]) {
    CopyText(out, path);
    const size_t length = BoundedLength(out, sizeof out);
    if (length > 3 && out[length - 1] == '\\') out[length - 1] = '\0';
}

}  // namespace

int EnterStartupFolder() {
    char base[kPathSize];
    TemporaryDirectory(base);
    char folder[kPathSize];
    if (!WorkingFolderPath(base, folder)) return 0;
    char path[kPathSize];
    WithoutFinalBackslash(folder, path);
    bool made = false;
    if (!MakeOwnFolder(path, kWorkingFolder, &made)) return 0;
    if (made) workingFolderMade = true;
    if (!AppendText(folder, kStartupFolderName) || !MakeOwnFolder(folder, kStartupFolder, &made)) return 0;
    return os::SetCurrentDirectory(folder) ? 1 : 0;
}

#if !ROMSHELL_PHX
int PrepareLegacyDriver() {
    if (!EnterStartupFolder()) return 0;
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
    if (length >= sizeof temp || !WorkingFolderPath(temp, ctx.workDir)) {
        ctx.workDir[0] = '\0';
        return kResultDirectory;
    }

    char path[kPathSize];
    WithoutFinalBackslash(ctx.workDir, path);
    bool made = false;
    if (!MakeOwnFolder(path, kWorkingFolder, &made) || !os::SetCurrentDirectory(ctx.workDir)) {
        ctx.workDir[0] = '\0';
        return kResultDirectory;
    }
    // A folder this run made holds nothing of an earlier run's.
    if (!made && !workingFolderMade) CleanWorkingDirectory();
    workingFolderMade = true;
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

void ReleaseWorkingFolders() {
    for (int slot = 0; slot < kFolderSlots; ++slot) {
        if (os::IsValid(heldFolder[slot])) os::CloseHandle(heldFolder[slot]);
        heldFolder[slot] = os::InvalidHandle();
        heldFolderPath[slot][0] = '\0';
    }
    workingFolderMade = false;
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
