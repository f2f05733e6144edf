// Extracting the package: every entry, one named entry, and the decompression of an entry.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "os/os.h"
#include "package/package.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"

namespace {

using testpkg::Entry;
using testpkg::Gzip;
using testpkg::ProgramWithPackage;

// The program file of the default machine profile: ExtractNamedEntry reads this one.
constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";
constexpr const char kWork[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update";
constexpr uint32_t kOffset = 1024;  // where ProgramWithPackage puts the package

// Bytes that deflate hardly shrinks, so that compressed entries span several copy chunks.
std::string Noise(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

Entry Packed(const std::string& name, const std::string& contents) { return {name, Gzip(contents)}; }

// The program with the size field of entry `index` replaced (the entries before it keep theirs).
std::string WithEntrySize(std::string program, int index, int32_t size) {
    size_t at = kOffset + 12;
    for (int i = 0; i < index; ++i) at += 264 + static_cast<uint8_t>(program[at + 260]) +
                                          (static_cast<uint8_t>(program[at + 261]) << 8) +
                                          (static_cast<uint8_t>(program[at + 262]) << 16);
    testpkg::PutU32(program, at + 260, static_cast<uint32_t>(size));
    return program;
}

// The program with its entry count field replaced (ProgramWithPackage counts the entries given).
std::string WithEntryCount(std::string program, int32_t count) {
    testpkg::PutU32(program, kOffset + 8, static_cast<uint32_t>(count));
    return program;
}

class PackageReaderTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ResetUpdateContext();
        MakeWorld();
        ASSERT_TRUE(os::CreateDirectory(kWork));
        ASSERT_TRUE(os::SetCurrentDirectory(kWork));
    }
    std::string Work(const std::string& name) { return std::string(kWork) + "\\" + name; }
    bool InWork(const std::string& name) { return FileExists(Work(name)); }
    std::string ReadWork(const std::string& name) { return ReadFileBytes(Work(name)); }

    // Every file of drive C: (host paths below the drive's folder), to show that nothing was
    // written where it should not be.
    std::set<std::string> FilesOnDrive() {
        std::set<std::string> files;
        std::filesystem::path drive = HostPath("C:\\");
        for (const auto& item : std::filesystem::recursive_directory_iterator(drive)) {
            files.insert(std::filesystem::relative(item.path(), drive).generic_string());
        }
        return files;
    }
    std::set<std::string> WorkFiles() {
        std::set<std::string> files;
        for (const auto& item : std::filesystem::directory_iterator(HostPath(kWork))) {
            files.insert(item.path().filename().string());
        }
        return files;
    }

    int ExtractAll(const std::string& program, uint32_t offset = kOffset) {
        PutFile(kProgram, program);
        DecompressFailure failure;
        int result = TryExtractAllEntries(kProgram, offset, &failure);
        EXPECT_FALSE(failure.failed) << failure.line;
        return result;
    }
};

// ---------------------------------------------------------------------------------------------
// ExtractAllEntries

TEST_F(PackageReaderTest, ExtractsEveryEntryUnderItsNameWithoutGz) {
    std::string big = Noise(3 * 4096 + 77, 1);
    PutFile(kProgram, ProgramWithPackage(8, {Packed("AddMem.sys.gz", "driver"), Packed("KVAB0101.WPH.gz", big),
                                             Packed("ConResEn.dll.gz", "english")}));
    EXPECT_EQ(ExtractAllEntries(kProgram, kOffset), 0);
    EXPECT_EQ(ReadWork("AddMem.sys"), "driver");
    EXPECT_EQ(ReadWork("KVAB0101.WPH"), big);
    EXPECT_EQ(ReadWork("ConResEn.dll"), "english");
    EXPECT_EQ(WorkFiles(), (std::set<std::string>{"AddMem.sys", "KVAB0101.WPH", "ConResEn.dll"}))
        << "no compressed copy remains";
}

TEST_F(PackageReaderTest, LoadsTheDefaultOptionsIntoTheFlagWord) {
    ctx.runOptions = BlockPowerOff | SkipCheckPower;
    EXPECT_EQ(ExtractAll(ProgramWithPackage(MarkLastFlashBlock, {Packed("a.gz", "a")})), 0);
    if (kVariant.parsesOptionsFirst) {
        EXPECT_EQ(ctx.runOptions, uint32_t{MarkLastFlashBlock | BlockPowerOff | SkipCheckPower});
    } else {
        EXPECT_EQ(ctx.runOptions, uint32_t{MarkLastFlashBlock});
    }
}

TEST_F(PackageReaderTest, EmptyPackageIsResult1AfterLoadingTheOptions) {
    ctx.runOptions = kVariant.parsesOptionsFirst ? uint32_t{BlockPowerOff} : 0x55u;
    EXPECT_EQ(ExtractAll(ProgramWithPackage(DmiOnly, {})), 1);
    EXPECT_EQ(ctx.runOptions, kVariant.parsesOptionsFirst ? uint32_t{DmiOnly | BlockPowerOff} : uint32_t{DmiOnly});
    EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(PackageReaderTest, NegativeEntryCountExtractsNothingAndSucceeds) {
    for (int32_t count : {-1, -3, INT32_MIN}) {
        EXPECT_EQ(ExtractAll(WithEntryCount(ProgramWithPackage(8, {Packed("a.gz", "a")}), count)), 0) << count;
    }
    EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(PackageReaderTest, EntryOfSizeZeroGivesAnEmptyFileAndExtractionGoesOn) {
    EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {{"empty.bin.gz", ""}, Packed("next.bin.gz", "next")})), 0);
    ASSERT_TRUE(InWork("empty.bin"));
    EXPECT_EQ(ReadWork("empty.bin"), "");
    EXPECT_EQ(ReadWork("next.bin"), "next");
}

TEST_F(PackageReaderTest, CopiesExactlySizeBytesWhenSizeIsNoMultipleOf4096) {
    // Data that is not gzip passes the decompression unchanged, so the output shows the copy.
    for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{2 * 4096 + 1000}}) {
        SCOPED_TRACE(size);
        std::string raw(size, 'r');
        raw[0] = 'p';
        EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {{"raw.bin.gz", raw}, Packed("after.gz", "after")})), 0);
        EXPECT_EQ(ReadWork("raw.bin"), raw);
        EXPECT_EQ(ReadWork("after"), "after") << "the next entry starts right behind";
    }
}

TEST_F(PackageReaderTest, ReplacesFilesThatExistUnderEitherName) {
    PutFile(Work("AddMem.sys"), std::string(10000, 'o'));
    PutFile(Work("ConResEn.dll.gz"), std::string(10000, 'o'));
    EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {Packed("AddMem.sys.gz", "new driver"),
                                                Packed("ConResEn.dll.gz", "new library")})),
              0);
    EXPECT_EQ(ReadWork("AddMem.sys"), "new driver");
    EXPECT_EQ(ReadWork("ConResEn.dll"), "new library");
    EXPECT_FALSE(InWork("ConResEn.dll.gz"));
}

TEST_F(PackageReaderTest, FileNamesAreMatchedWithoutRegardToCase) {
    PutFile(Work("addmem.SYS"), "old");
    EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {Packed("AddMem.sys.gz", "new")})), 0);
    EXPECT_EQ(ReadWork("AddMem.sys"), "new");
    EXPECT_EQ(WorkFiles().size(), 1u);
}

TEST_F(PackageReaderTest, MagicMustMatchExactly) {
    for (const char* magic : {"lpck", "LPCk", "XPCK", "LPC "}) {
        SCOPED_TRACE(magic);
        ctx.runOptions = 0x55;
        EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {Packed("a.gz", "a")}, magic)), 4);
        EXPECT_EQ(ctx.runOptions, kVariant.parsesOptionsFirst ? 0x55u : 0u);
        EXPECT_TRUE(WorkFiles().empty());
    }
}

TEST_F(PackageReaderTest, OffsetZeroReadsTheProgramsOwnHeaderAndFindsNoPackage) {
    EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {Packed("a.gz", "a")}), 0), 4);
}

TEST_F(PackageReaderTest, MissingProgramFileIsResult6AndClearsTheWordInRomshell) {
    ctx.runOptions = 0x55;
    DecompressFailure failure;
    EXPECT_EQ(TryExtractAllEntries("C:\\nowhere.exe", kOffset, &failure), 6);
    EXPECT_EQ(ctx.runOptions, kVariant.parsesOptionsFirst ? 0x55u : 0u);
}

// ---------------------------------------------------------------------------------------------
// Packages that end early or hold entries the reader refuses

struct BrokenPackage {
    const char* what;
    std::string program;
};

// A good first entry "first.bin", then something wrong.
std::vector<BrokenPackage> BrokenPackages() {
    std::vector<Entry> good = {Packed("first.bin.gz", "first")};
    auto with = [&](Entry bad) {
        std::vector<Entry> entries = good;
        entries.push_back(std::move(bad));
        return ProgramWithPackage(8, entries);
    };
    std::string full = ProgramWithPackage(8, {Packed("first.bin.gz", "first"), Packed("second.bin.gz", Noise(9000, 2))});
    std::string firstOnly = ProgramWithPackage(8, good);
    std::vector<BrokenPackage> cases = {
        {"header ends after the magic", ProgramWithPackage(8, {}).substr(0, kOffset + 6)},
        {"header ends in the entry count", ProgramWithPackage(8, {}).substr(0, kOffset + 10)},
        {"more entries counted than present", ProgramWithPackage(8, good, "LPCK", 1024, 2)},
        {"second head cut short", full.substr(0, firstOnly.size() + 100)},
        {"second data cut short", full.substr(0, full.size() - 1)},
        {"size negative", WithEntrySize(with(Packed("second.bin.gz", "x")), 1, -1)},
        {"size most negative", WithEntrySize(with(Packed("second.bin.gz", "x")), 1, INT32_MIN)},
        {"size far past the end", with({"second.bin.gz", Gzip("x"), 0x7FFFFFFF})},
        {"size one past the end", with({"second.bin.gz", Gzip("x"), static_cast<int32_t>(Gzip("x").size() + 1)})},
        {"name not terminated", with({std::string(260, 'n'), Gzip("x")})},
        {"name empty", with({"", Gzip("x")})},
        {"name with a backslash", with({"..\\up.bin.gz", Gzip("x")})},
        {"name with a slash", with({"sub/up.bin.gz", Gzip("x")})},
        {"absolute name", with({"\\Windows\\up.bin.gz", Gzip("x")})},
        {"drive letter", with({"C:up.bin.gz", Gzip("x")})},
        {"stream name", with({"first.bin:hidden.gz", Gzip("x")})},
        {"dot", with({".", Gzip("x")})},
        {"dot dot", with({"..", Gzip("x")})},
        {"dot once decompressed", with({"..gz", Gzip("x")})},
        {"dot dot once decompressed", with({"...gz", Gzip("x")})},
        {"device name", with({"CON.gz", Gzip("x")})},
        {"device name with extension", with({"nul.txt.gz", Gzip("x")})},
        {"wildcard", with({"up*.bin.gz", Gzip("x")})},
        {"control character", with({"up\x01.bin.gz", Gzip("x")})},
    };
    return cases;
}

TEST_F(PackageReaderTest, BrokenPackageEndsWithResult5AndWritesNothingElse) {
    for (const BrokenPackage& c : BrokenPackages()) {
        SCOPED_TRACE(c.what);
        for (const std::string& name : WorkFiles()) os::DeleteFile(Work(name).c_str());
        PutFile(kProgram, c.program);
        std::set<std::string> before = FilesOnDrive();
        DecompressFailure failure;
        int result = TryExtractAllEntries(kProgram, kOffset, &failure);
        EXPECT_FALSE(failure.failed) << failure.line;
        EXPECT_EQ(result, 5);
        std::set<std::string> after = FilesOnDrive();
        std::set<std::string> added;
        for (const std::string& f : after) {
            if (!before.count(f)) added.insert(f);
        }
        std::set<std::string> allowed = {};
        if (!std::string(c.what).starts_with("header")) {
            EXPECT_EQ(ReadWork("first.bin"), "first") << "the entry before the broken one stays";
            allowed.insert(std::filesystem::relative(HostPath(Work("first.bin")), HostPath("C:\\")).generic_string());
        }
        EXPECT_EQ(added, allowed);
    }
}

TEST_F(PackageReaderTest, RefusedEntryNeverReplacesAnEarlierEntrysFile) {
    std::string second = Gzip("second");
    std::string program = ProgramWithPackage(8, {Packed("same.bin.gz", "from the first entry"),
                                                 {"same.bin.gz", second, static_cast<int32_t>(second.size() + 50)}});
    EXPECT_EQ(ExtractAll(program), 5);
    EXPECT_EQ(ReadWork("same.bin"), "from the first entry");
    EXPECT_FALSE(InWork("same.bin.gz"));
}

TEST_F(PackageReaderTest, CutOptionsFieldLoadsNothingIntoTheWord) {
    ctx.runOptions = 0x55;
    EXPECT_EQ(ExtractAll(ProgramWithPackage(8, {}).substr(0, kOffset + 6)), 5);
    EXPECT_EQ(ctx.runOptions, kVariant.parsesOptionsFirst ? 0x55u : 0u);
}

// ---------------------------------------------------------------------------------------------
// Failures that end the process

TEST_F(PackageReaderTest, NameWithoutGzEndsTheProcessWithExitCode1) {
    PutFile(kProgram, ProgramWithPackage(8, {Packed("AddMem.sys", "driver")}));
    EXPECT_EXIT(ExtractAllEntries(kProgram, kOffset), ::testing::ExitedWithCode(1), "can't gzopen AddMem.sys.gz");
}

TEST_F(PackageReaderTest, NameEndingInUpperCaseGzEndsTheProcessWithExitCode1) {
    PutFile(kProgram, ProgramWithPackage(8, {Packed("AddMem.sys.GZ", "driver")}));
    EXPECT_EXIT(ExtractAllEntries(kProgram, kOffset), ::testing::ExitedWithCode(1),
                "can't gzopen AddMem.sys.GZ.gz");
}

TEST_F(PackageReaderTest, NameWithoutGzIsWrittenUnderItsNameBeforeTheDecompressionFails) {
    DecompressFailure failure;
    PutFile(kProgram, ProgramWithPackage(8, {Packed("AddMem.sys", "driver"), Packed("b.gz", "b")}));
    EXPECT_EQ(TryExtractAllEntries(kProgram, kOffset, &failure), 5);
    EXPECT_TRUE(failure.failed);
    EXPECT_STREQ(failure.line, "can't gzopen AddMem.sys.gz");
    EXPECT_EQ(ReadWork("AddMem.sys"), Gzip("driver"));
    EXPECT_FALSE(InWork("b")) << "the extraction stops at the failure";
}

TEST_F(PackageReaderTest, CorruptGzipEndsTheProcessWithZlibsText) {
    std::string member = Gzip(Noise(20000, 3));
    member[member.size() - 6] ^= 0x55;  // the CRC in the trailer
    PutFile(kProgram, ProgramWithPackage(8, {{"bad.bin.gz", member}}));
    EXPECT_EXIT(ExtractAllEntries(kProgram, kOffset), ::testing::ExitedWithCode(1), "incorrect data check");
}

TEST_F(PackageReaderTest, DecompressionFailuresAreReportedWithTheirLine) {
    std::string truncated = Gzip(Noise(20000, 4));
    truncated.resize(truncated.size() / 2);
    struct Case {
        const char* what;
        std::string member;
        const char* blocker;  // a folder that stands where a file must be written
        const char* line;
    } cases[] = {
        {"member cut short", truncated, nullptr, "failed gzclose"},
        {"compressed copy cannot be created", Gzip("x"), "x.bin.gz", "can't gzopen x.bin.gz"},
        {"output cannot be created", Gzip("x"), "x.bin", "can't create x.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(HostPath(kWork));
        ASSERT_TRUE(os::CreateDirectory(kWork));
        if (c.blocker != nullptr) PutFile(Work(c.blocker) + "\\inside", "");
        PutFile(kProgram, ProgramWithPackage(8, {{"x.bin.gz", c.member}, Packed("y.gz", "y")}));
        DecompressFailure failure;
        EXPECT_EQ(TryExtractAllEntries(kProgram, kOffset, &failure), 5);
        EXPECT_TRUE(failure.failed);
        EXPECT_STREQ(failure.line, c.line);
        EXPECT_FALSE(InWork("y"));
    }
}

// ---------------------------------------------------------------------------------------------
// ExtractNamedEntry

TEST_F(PackageReaderTest, NamedEntryMatchesThePrefixWithoutRegardToCase) {
    PutFile(kProgram, ProgramWithPackage(8, {Packed("AFUWIN.exe.gz", "afu"), Packed("AddMem.sys.gz", "driver")}));
    EXPECT_EQ(ExtractNamedEntry("addmem.sys"), 1);
    EXPECT_EQ(WorkFiles(), (std::set<std::string>{"AddMem.sys"}));
    EXPECT_EQ(ReadWork("AddMem.sys"), "driver");
}

TEST_F(PackageReaderTest, NamedEntryTellsTheLanguageLibrariesApart) {
    PutFile(kProgram, ProgramWithPackage(8, {Packed("ConResEn_ami.dll.gz", "ami"), Packed("ConResEn.dll.gz", "phoenix")}));
    EXPECT_EQ(ExtractNamedEntry("ConResEn.dll"), 1);
    EXPECT_EQ(ReadWork("ConResEn.dll"), "phoenix");
    EXPECT_FALSE(InWork("ConResEn_ami.dll"));
    EXPECT_EQ(ExtractNamedEntry("conresen_AMI.dll"), 1);
    EXPECT_EQ(ReadWork("ConResEn_ami.dll"), "ami");
}

TEST_F(PackageReaderTest, NamedEntryTakesTheFirstMatchOnly) {
    PutFile(kProgram, ProgramWithPackage(8, {Packed("x.gz", "x"), Packed("AddMem.sys.gz", "first"),
                                             Packed("AddMem.sys.old.gz", "second")}));
    EXPECT_EQ(ExtractNamedEntry("AddMem.sys"), 1);
    EXPECT_EQ(WorkFiles(), (std::set<std::string>{"AddMem.sys"}));
    EXPECT_EQ(ReadWork("AddMem.sys"), "first");
}

TEST_F(PackageReaderTest, EmptyWantedNameExtractsTheFirstEntry) {
    PutFile(kProgram, ProgramWithPackage(8, {Packed("first.bin.gz", "1"), Packed("second.bin.gz", "2")}));
    EXPECT_EQ(ExtractNamedEntry(""), 1);
    EXPECT_EQ(WorkFiles(), (std::set<std::string>{"first.bin"}));
}

TEST_F(PackageReaderTest, NamedEntryLeavesTheFlagWordAlone) {
    PutFile(kProgram, ProgramWithPackage(DmiOnly, {Packed("a.gz", "a")}));
    ctx.runOptions = 0x55;
    EXPECT_EQ(ExtractNamedEntry("a"), 1);
    EXPECT_EQ(ctx.runOptions, 0x55u);
}

TEST_F(PackageReaderTest, NamedEntryFindsNothingAndWritesNothing) {
    std::string twoEntries = ProgramWithPackage(8, {Packed("a.bin.gz", "a"), Packed("b.bin.gz", Noise(5000, 5))});
    std::string noOffset = twoEntries;
    testpkg::PutU32(noOffset, 40, 0);
    struct Case {
        const char* what;
        std::string program;
        const char* wanted;
    } cases[] = {
        {"name not in the package", twoEntries, "addmem.sys"},
        {"wanted name longer than the entry's", twoEntries, "a.bin.gz.old"},
        {"no package offset", noOffset, "a"},
        {"wrong magic", ProgramWithPackage(8, {Packed("a.gz", "a")}, "LPCk"), "a"},
        {"no entries", ProgramWithPackage(8, {}), ""},
        {"negative entry count", WithEntryCount(ProgramWithPackage(8, {Packed("a.gz", "a")}), -1), ""},
        {"program file without a package", std::string(30, 'M'), ""},
        {"second entry cut short", twoEntries.substr(0, twoEntries.size() - 10), "b.bin"},
        {"refused entry before the match",
         ProgramWithPackage(8, {Packed("..\\a.bin.gz", "up"), Packed("a.bin.gz", "a")}), "a.bin"},
        {"size past the end before the match",
         ProgramWithPackage(8, {{"x.gz", "x", 1 << 20}, Packed("a.bin.gz", "a")}), "a.bin"},
        {"negative size before the match",
         WithEntrySize(ProgramWithPackage(8, {{"x.gz", ""}, Packed("a.bin.gz", "a")}), 0, -264), "a.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PutFile(kProgram, c.program);
        std::set<std::string> before = FilesOnDrive();
        EXPECT_EQ(ExtractNamedEntry(c.wanted), 0);
        EXPECT_EQ(FilesOnDrive(), before);
    }
}

TEST_F(PackageReaderTest, NamedEntryWithoutTheProgramFileIsNotFound) {
    EXPECT_EQ(ExtractNamedEntry("a"), 0);
}

TEST_F(PackageReaderTest, NamedEntryThatCannotBeDecompressedEndsTheProcess) {
    PutFile(kProgram, ProgramWithPackage(8, {{"AddMem.sys.gz", Gzip("driver").substr(0, 12)}}));
    EXPECT_EXIT(ExtractNamedEntry("addmem.sys"), ::testing::ExitedWithCode(1), "failed gzclose");
}

TEST_F(PackageReaderTest, TryNamedEntryReadsTheGivenProgramFile) {
    PutFile("C:\\other.exe", ProgramWithPackage(8, {Packed("a.bin.gz", "a")}));
    DecompressFailure failure;
    EXPECT_EQ(TryExtractNamedEntry("C:\\other.exe", "A.BIN", &failure), 1);
    EXPECT_EQ(ReadWork("a.bin"), "a");
}

// ---------------------------------------------------------------------------------------------
// DecompressEntryFile

TEST_F(PackageReaderTest, DecompressTurnsNameGzIntoName) {
    struct Case {
        const char* given;
        const char* input;
        const char* output;
    } cases[] = {
        {"tool.exe.gz", "tool.exe.gz", "tool.exe"},
        {"tool.exe", "tool.exe.gz", "tool.exe"},
        {"tool.exe.GZ", "tool.exe.GZ.gz", "tool.exe.GZ"},
        {".gz", ".gz.gz", ".gz"},
        {"a.gz", "a.gz", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        PutFile(Work(c.input), Gzip(std::string("contents of ") + c.given));
        DecompressEntryFile(c.given);
        EXPECT_EQ(ReadWork(c.output), std::string("contents of ") + c.given);
        EXPECT_FALSE(InWork(c.input));
    }
}

TEST_F(PackageReaderTest, DecompressPassesDataWithoutTheGzipSignatureUnchanged) {
    PutFile(Work("plain.txt.gz"), "just text\n");
    DecompressEntryFile("plain.txt.gz");
    EXPECT_EQ(ReadWork("plain.txt"), "just text\n");
}

TEST_F(PackageReaderTest, DecompressWithoutItsInputEndsTheProcess) {
    EXPECT_EXIT(DecompressEntryFile("missing.bin.gz"), ::testing::ExitedWithCode(1), "can't gzopen missing.bin.gz");
}

TEST_F(PackageReaderTest, DecompressLeavesNothingOnDiskButItsOutput) {
    PutFile(Work("big.bin.gz"), Gzip(Noise(100000, 6)));
    DecompressFailure failure;
    EXPECT_TRUE(TryDecompressEntryFile("big.bin.gz", &failure));
    EXPECT_EQ(ReadWork("big.bin"), Noise(100000, 6));
    EXPECT_EQ(WorkFiles(), (std::set<std::string>{"big.bin"}));
}

}  // namespace
