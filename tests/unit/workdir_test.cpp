// The working directory, tool staging, candidate searches and clean-up.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <string>

#include <nlohmann/json.hpp>

#include "core/context.h"
#include "core/variant.h"
#include "emu/winfs.h"
#include "base/text.h"
#include "os/os.h"
#include "package/workdir.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"

namespace {

constexpr const char kWork[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update\\";

class WorkDirTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        ReleaseWorkingFolders();
        MakeWorld();
    }
    std::string Work(const std::string& name) { return std::string(kWork) + name; }
    std::string Log() { return ReadFileBytes(Work("DebugLog.txt")); }
    std::string CurrentDirectory() {
        char dir[kPathSize];
        uint32_t n = os::GetCurrentDirectory(dir, sizeof dir);
        return std::string(dir, n);
    }
    // Puts the working directory in place and makes it current.
    void EnterWorkDir() { ASSERT_EQ(PrepareWorkingDirectory(), kResultOk); }
};

TEST_F(WorkDirTest, CreatesTheWorkingDirectoryUnderTempAndMakesItCurrent) {
    EXPECT_EQ(PrepareWorkingDirectory(), kResultOk);
    EXPECT_STREQ(ctx.workDir, kWork);
    EXPECT_TRUE(EqualIgnoreCase(CurrentDirectory().c_str(),
                                "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update"));
    EXPECT_EQ(Log(), kVariant.logsSteps ? "00. Success to Create Directory\r\n" : "");
}

TEST_F(WorkDirTest, TempEndingInABackslashGetsNoSecondOne) {
    MakeWorld(R"({"windows": {"temp": "C:\\Temp\\"}})");
    PutFile("C:\\Temp\\x", "");
    EXPECT_EQ(PrepareWorkingDirectory(), kResultOk);
    EXPECT_STREQ(ctx.workDir, "C:\\Temp\\__Korvane_Update\\");
}

TEST_F(WorkDirTest, WithoutTempTheDirectoryCannotBeMade) {
    MakeWorld(R"({"windows": {"temp": null}})");
    EXPECT_EQ(PrepareWorkingDirectory(), kResultDirectory);
    EXPECT_STREQ(ctx.workDir, "");
}

TEST_F(WorkDirTest, TempThatCannotBeCreatedFails) {
    MakeWorld(R"({"windows": {"temp": "Q:\\Temp"}})");
    EXPECT_EQ(PrepareWorkingDirectory(), kResultDirectory);
}

TEST_F(WorkDirTest, TempTooLongForThePathBufferFails) {
    MakeWorld("{\"windows\": {\"temp\": \"C:\\\\" + std::string(250, 'T') + "\"}}");
    EXPECT_EQ(PrepareWorkingDirectory(), kResultDirectory);
    EXPECT_STREQ(ctx.workDir, "");
}

TEST_F(WorkDirTest, AnEarlierRunsFilesAreDeletedOneLogLineEach) {
    ASSERT_EQ(emu::CreatePrivateWindowsDirectory(Work("")), 0u);
    PutFile(Work("old.bin"), "1");
    PutFile(Work("DebugLog.txt"), "last run\r\n");
    PutFile(Work("sub\\inner.txt"), "stays");
    EXPECT_EQ(PrepareWorkingDirectory(), kResultOk);
    EXPECT_FALSE(FileExists(Work("old.bin")));
    EXPECT_TRUE(FileExists(Work("sub\\inner.txt")));
    // "." and ".." come first and are logged into the old log, which is deleted next: the new log
    // starts with the log file's own line.
    std::string log = Log();
    EXPECT_EQ(log.find("last run"), std::string::npos) << "the old log is deleted too";
    EXPECT_EQ(log.rfind("DeleteDirectoryFile : DebugLog.txt is Deleted\r\n", 0), 0u) << log;
    for (const char* name : {"old.bin", "sub"}) {
        EXPECT_NE(log.find(std::string("DeleteDirectoryFile : ") + name + " is Deleted\r\n"),
                  std::string::npos)
            << name;
    }
}

// Whatever the user placed at the folder's path is never followed, emptied or written into: it is
// set aside under the next free name and a folder only administrators can change is made anew.
// The emulated Windows models who may change a folder; Windows enforces it by the folder's ACL.
TEST_F(WorkDirTest, WhatTheUserPlacedAtTheFoldersPathIsSetAsideUnfollowed) {
    const std::string path = std::string(kWork).substr(0, std::strlen(kWork) - 1);
    const std::string documents = "C:\\Users\\tech\\Documents";
    const std::string canary = documents + "\\canary.txt";
    struct Row {
        const char* name;
        nlohmann::json files;  // the profile's windows.files besides the canary
        nlohmann::json links;  // the profile's windows.links
        bool takenUp;          // "<path>.1" is taken already
    } rows[] = {
        {"LinkToAnotherFolder", nlohmann::json::object(), {{path, documents}}, false},
        {"FolderTheUserMade", {{path + "\\SWinFlash.exe", "PLANTED"}}, nlohmann::json::object(), false},
        {"FileAtThePath", {{path, "a file"}}, nlohmann::json::object(), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpdateContext();
        ReleaseWorkingFolders();
        nlohmann::json files = row.files;
        files[canary] = "keep";
        MakeWorld(nlohmann::json{{"windows", {{"files", files}, {"links", row.links}}}}.dump());
        if (row.takenUp) PutFile(path + ".1", "taken");
        ASSERT_EQ(PrepareWorkingDirectory(), kResultOk);
        const std::string aside = path + (row.takenUp ? ".2" : ".1");
        EXPECT_TRUE(emu::IsPrivateWindowsFolder(path));
        EXPECT_FALSE(FileExists(Work("SWinFlash.exe")));
        EXPECT_EQ(ReadFileBytes(canary), "keep");
        EXPECT_FALSE(FileExists(documents + "\\DebugLog.txt"));
        EXPECT_TRUE(emu::IsWindowsLink(aside) || FileExists(aside) || FileExists(aside + "\\SWinFlash.exe")) << aside;
    }
}

TEST_F(WorkDirTest, Staging64BitRenamesThe64BitSetAndRemovesThe32BitSet) {
    EnterWorkDir();
    for (const char* bits : {"32", "64"}) {
        for (std::string name : {"SWinFlash_%.exe", "PhlashNT_%.sys", "PhlashLc_%.dll", "PHLASH_%.INI"}) {
            name.replace(name.find('%'), 1, bits);
            PutFile(Work(name), name);
        }
    }
    StagePhoenixTools64();
    EXPECT_EQ(ReadFileBytes(Work("SWinFlash.exe")), "SWinFlash_64.exe");
    EXPECT_EQ(ReadFileBytes(Work("PhlashNT.sys")), "PhlashNT_64.sys");
    EXPECT_EQ(ReadFileBytes(Work("PhlashLc.dll")), "PhlashLc_64.dll");
    EXPECT_EQ(ReadFileBytes(Work("PHLASH.INI")), "PHLASH_64.INI");
    for (const char* left : {"SWinFlash_32.exe", "SWinFlash_64.exe", "PhlashNT_32.sys", "PhlashLc_64.dll",
                             "PHLASH_32.INI", "PHLASH_64.INI"}) {
        EXPECT_FALSE(FileExists(Work(left))) << left;
    }
}

TEST_F(WorkDirTest, StagingKeepsAWorkingNameThatExistsAlready) {
    EnterWorkDir();
    PutFile(Work("SWinFlash.exe"), "old");
    PutFile(Work("SWinFlash_32.exe"), "new32");
    PutFile(Work("SWinFlash_64.exe"), "new64");
    StagePhoenixTools32();
    EXPECT_EQ(ReadFileBytes(Work("SWinFlash.exe")), "old");
    EXPECT_EQ(ReadFileBytes(Work("SWinFlash_32.exe")), "new32");
    EXPECT_FALSE(FileExists(Work("SWinFlash_64.exe")));
}

TEST_F(WorkDirTest, MicomSearchLogsEachNameAndTheTotal) {
    EnterWorkDir();
    for (const char* name : {"AA11.bin", "BB22.BIN", "CC33.bin"}) PutFile(Work(name), "m");
    PutFile(Work("other.txt"), "");
    EXPECT_EQ(FindMicomFiles(), kResultOk);
    EXPECT_EQ(ctx.micomFileCount, 3);
    std::string log = Log();
    for (const char* name : {"AA11.bin", "BB22.BIN", "CC33.bin"}) {
        EXPECT_NE(log.find(std::string("Micom File Found : ") + name + "\r\n"), std::string::npos);
    }
    EXPECT_NE(log.find("Total Micom File Number : 3\r\n"), std::string::npos);
    EXPECT_STREQ(ctx.MicomFileList[3], "");
}

TEST_F(WorkDirTest, SearchesReportTheirCodeWhenNothingMatches) {
    EnterWorkDir();
    EXPECT_EQ(FindBiosImages(), kResultBiosFile);
    EXPECT_EQ(FindMicomFiles(), kResultMicomFile);
    EXPECT_EQ(ctx.imageFileCount, 0);
    EXPECT_EQ(Log().find("Total Micom File Number"), std::string::npos);
}

TEST_F(WorkDirTest, MoreThanTenMatchesKeepTheListConsistentWithItsCount) {
    EnterWorkDir();
    for (int i = 0; i < 13; ++i) PutFile(Work("img" + std::to_string(i) + ".wph"), "i");
    EXPECT_EQ(FindBiosImages(), kResultOk);
    EXPECT_EQ(ctx.imageFileCount, 10);
    for (const auto& name : ctx.ImageFileList) {
        ASSERT_NE(name[0], '\0');
        EXPECT_TRUE(FileExists(Work(name))) << name;
    }
}

TEST_F(WorkDirTest, CandidateRemovalSparesTheWorkingCopies) {
    EnterWorkDir();
    for (const char* name : {"BIOS.WPH", "XXAB0123.wph", "KBC.BIN", "XXAB.bin", "mfc42.dll", "keep.txt"}) {
        PutFile(Work(name), "x");
    }
    CopyText(ctx.ImageFileList[0], "BIOS.WPH");
    CopyText(ctx.ImageFileList[1], "XXAB0123.wph");
    CopyText(ctx.MicomFileList[0], "XXAB.bin");
    CopyText(ctx.MicomFileList[1], "KBC.BIN");
    RemoveCandidatesAndRuntime();
    EXPECT_TRUE(FileExists(Work("BIOS.WPH")));
    EXPECT_TRUE(FileExists(Work("KBC.BIN")));
    EXPECT_FALSE(FileExists(Work("XXAB0123.wph")));
    EXPECT_FALSE(FileExists(Work("XXAB.bin")));
    EXPECT_FALSE(FileExists(Work("mfc42.dll")));
    EXPECT_TRUE(FileExists(Work("keep.txt")));
}

TEST_F(WorkDirTest, CleanUpRemovesEveryNamedFileAndLeavesTheRest) {
    EnterWorkDir();
    const char* named[] = {"SWinFlash.exe", "PhlashNT.sys", "bios.wph", "bios.bak", "newSys.bin",
                           "WinUpV01_10.exe", "kbc.bin", "AddMem.sys", "PHLASH.log", "ConResEn.dll",
                           "ConResSp.dll", "PHLASH.ini", "msvcp60.dll"};
    for (const char* name : named) PutFile(Work(name), "x");
    PutFile(Work("AFUWIN.exe"), "ami");
    PutFile(Work("ConResEn_ami.dll"), "ami");
    PutFile(Work("devcon.exe"), "stays");
    CleanUpWorkingFiles();
    for (const char* name : named) EXPECT_FALSE(FileExists(Work(name))) << name;
    // romshell-phx has no AMI files to remove.
    EXPECT_EQ(FileExists(Work("AFUWIN.exe")), !kVariant.hasAmiPath);
    EXPECT_EQ(FileExists(Work("ConResEn_ami.dll")), !kVariant.hasAmiPath);
    EXPECT_TRUE(FileExists(Work("devcon.exe")));
}

// After the package went into the working directory, the driver installed from there is the 64-bit
// one on 64-bit Windows when the package carried it.
TEST_F(WorkDirTest, UnpackedPackageGivesTheAccessDriverOfTheRunningWindows) {
    const struct {
        int isWow64;
        bool carries64;
        int chosen64;
    } rows[] = {{1, true, 1}, {1, false, 0}, {0, true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.isWow64) + (row.carries64 ? " carries" : " lacks") + " AddMem64.sys");
        ResetUpdateContext();
        ReleaseWorkingFolders();  // each row is a run of its own, which empties the folder it finds
        EnterWorkDir();
        ctx.isWow64 = row.isWow64;
        PutFile(Work("AddMem.sys"), "driver 32");
        if (row.carries64) PutFile(Work("AddMem64.sys"), "driver 64");
        ChooseUnpackedAccessDriver();
        EXPECT_EQ(ctx.accessDriver64, row.chosen64);
    }
}

#if !ROMSHELL_PHX
// The driver goes into the startup folder of the working folder, which only administrators can
// change, and that folder stays current for the service's installation. 64-bit Windows takes the
// 64-bit driver when the package carries it; a package of the 32-bit driver alone gives that one.
TEST_F(WorkDirTest, LegacyDriverIsExtractedIntoTheStartupFolderWhichStaysCurrent) {
    constexpr const char kStartup[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update\\Startup";
    struct Row {
        const char* patch;
        const char* folder;
        int isWow64;
        const char* carried;    // entries: "32", "64", "32 64" or ""
        const char* extracted;  // the one file extracted, or ""
    } rows[] = {
        {"{}", kStartup, 0, "32 64", "AddMem.sys"},
        {"{}", kStartup, 1, "32 64", "AddMem64.sys"},
        {"{}", kStartup, 1, "32", "AddMem.sys"},
        {"{}", kStartup, 0, "64", ""},
        {R"({"windows": {"temp": null}})", "C:\\__Korvane_Update\\Startup", 1, "32 64", "AddMem64.sys"},
        {"{}", kStartup, 1, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.patch) + " wow64 " + std::to_string(row.isWow64) + " carries " + row.carried);
        ResetUpdateContext();
        ReleaseWorkingFolders();
        MakeWorld(row.patch);
        ctx.isWow64 = row.isWow64;
        std::vector<testpkg::Entry> entries = {{"other.txt.gz", testpkg::Gzip("x")}};
        const std::string carried = row.carried;
        if (carried.find("32") != std::string::npos) entries.push_back({"addmem.sys.gz", testpkg::Gzip("driver 32")});
        if (carried.find("64") != std::string::npos) entries.push_back({"AddMem64.sys.gz", testpkg::Gzip("driver 64")});
        PutFile("C:\\Users\\tech\\Desktop\\romshell.exe", testpkg::ProgramWithPackage(8, entries));
        const bool extracts = row.extracted[0] != '\0';
        EXPECT_EQ(PrepareLegacyDriver(), extracts ? 1 : 0);
        EXPECT_TRUE(EqualIgnoreCase(CurrentDirectory().c_str(), row.folder) ||
                    EqualIgnoreCase((CurrentDirectory() + "\\").c_str(), row.folder))
            << CurrentDirectory();
        const std::string folder =
            std::string(row.folder) + (row.folder[std::strlen(row.folder) - 1] == '\\' ? "" : "\\");
        for (const char* name : {"AddMem.sys", "AddMem64.sys"}) {
            EXPECT_EQ(FileExists(folder + name), EqualIgnoreCase(name, row.extracted)) << name;
        }
        EXPECT_EQ(ctx.accessDriver64, EqualIgnoreCase(row.extracted, "AddMem64.sys") ? 1 : 0);
        EXPECT_TRUE(emu::IsPrivateWindowsFolder(row.folder));
    }
}

TEST_F(WorkDirTest, ASingleRomImageIsCopiedToBiosRom) {
    EnterWorkDir();
    PutFile(Work("XXAB0208.rom"), "rom image");
    EXPECT_EQ(FindAmiImages(), kResultOk);
    EXPECT_EQ(ReadFileBytes(Work("bios.rom")), "rom image");
    EXPECT_TRUE(FileExists(Work("XXAB0208.rom")));
}

TEST_F(WorkDirTest, TwoRomImagesGiveNoBiosRom) {
    EnterWorkDir();
    PutFile(Work("A.rom"), "a");
    PutFile(Work("B.rom"), "b");
    EXPECT_EQ(FindAmiImages(), kResultOk);
    EXPECT_FALSE(FileExists(Work("bios.rom")));
}

TEST_F(WorkDirTest, NoRomImageIsAnInvalidBiosFile) {
    EnterWorkDir();
    EXPECT_EQ(FindAmiImages(), kResultBiosFile);
}
#endif

}  // namespace
