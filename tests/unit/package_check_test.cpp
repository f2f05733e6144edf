// Finding and checking the package behind the program.
#include <gtest/gtest.h>

#include "core/context.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "package/package.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"

namespace {

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";

class PackageCheckTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        MakeWorld();
    }
};

TEST_F(PackageCheckTest, ReadsTheOffsetAtByte40) {
    PutFile(kProgram, testpkg::ProgramWithPackage(8, {}, "LPCK", 5000));
    uint32_t offset = 1;
    EXPECT_EQ(ReadPackageOffset(kProgram, &offset), 0);
    EXPECT_EQ(offset, 5000u);
}

TEST_F(PackageCheckTest, OffsetOfAMissingFileIsResult6) {
    uint32_t offset = 0;
    EXPECT_EQ(ReadPackageOffset("C:\\nowhere.exe", &offset), 6);
}

TEST_F(PackageCheckTest, FileTooShortToHoldAnOffsetHasNoPackage) {
    PutFile(kProgram, std::string(43, 'M'));
    uint32_t offset = 99;
    EXPECT_EQ(ReadPackageOffset(kProgram, &offset), 4);
    EXPECT_EQ(offset, 0u);
}

TEST_F(PackageCheckTest, ChecksTheMagicExactly) {
    for (const char* magic : {"lpck", "LPCk", "LPC\0", "XXXX"}) {
        PutFile(kProgram, testpkg::ProgramWithPackage(8, {}, magic));
        uint32_t offset = 0;
        ASSERT_EQ(ReadPackageOffset(kProgram, &offset), 0);
        ctx.runOptions = 0x55;
        EXPECT_EQ(CheckPackage(kProgram, offset), 4) << magic;
        EXPECT_EQ(ctx.runOptions, 0x55u) << "a rejected package leaves the flag word";
    }
}

TEST_F(PackageCheckTest, OffsetZeroReadsTheProgramsOwnHeader) {
    PutFile(kProgram, testpkg::ProgramWithPackage(8, {}));
    EXPECT_EQ(CheckPackage(kProgram, 0), 4);
}

TEST_F(PackageCheckTest, OffsetBeyondTheEndOfTheFileIsNoPackage) {
    PutFile(kProgram, testpkg::ProgramWithPackage(8, {}));
    EXPECT_EQ(CheckPackage(kProgram, 1u << 30), 4);
}

TEST_F(PackageCheckTest, HeaderCutAfterTheMagicIsNoPackage) {
    std::string file = testpkg::ProgramWithPackage(8, {});
    file.resize(1024 + 6);
    PutFile(kProgram, file);
    ctx.runOptions = 0x55;
    EXPECT_EQ(CheckPackage(kProgram, 1024), 4);
    EXPECT_EQ(ctx.runOptions, 0x55u);
}

TEST_F(PackageCheckTest, MissingProgramFileIsResult6) {
    EXPECT_EQ(CheckPackage("C:\\nowhere.exe", 1024), 6);
}

TEST_F(PackageCheckTest, LoadsTheDefaultOptions) {
    PutFile(kProgram, testpkg::ProgramWithPackage(8, {}));
    ctx.runOptions = BlockPowerOff | SkipCheckPower;
    EXPECT_EQ(CheckPackage(kProgram, 1024), 0);
    if (kVariant.parsesOptionsFirst) {
        // romshell-phx has parsed its command line already: the package adds its bits.
        EXPECT_EQ(ctx.runOptions, 8u | BlockPowerOff | SkipCheckPower);
    } else {
        EXPECT_EQ(ctx.runOptions, 8u);
    }
}

TEST_F(PackageCheckTest, ReadBiosParsedFirstStillTakesThePackagesOptions) {
    if (!kVariant.parsesOptionsFirst) GTEST_SKIP() << "this program reads the package before its command line";
    // The checks before the unpack (power, messages) must see the package's options, as they do
    // where the package comes first.
    PutFile(kProgram, testpkg::ProgramWithPackage(NoMessageBox | SkipCheckPower, {}));
    ctx.runOptions = ReadBios;
    EXPECT_EQ(CheckPackage(kProgram, 1024), 0);
    EXPECT_EQ(ctx.runOptions, uint32_t{ReadBios | NoMessageBox | SkipCheckPower});
}

TEST(UnpackResultTexts, EveryCodeHasItsText) {
    EXPECT_STREQ(UnpackResultText(0), "Success");
    EXPECT_STREQ(UnpackResultText(1), "Archive empty; no files to extract");
    EXPECT_STREQ(UnpackResultText(4), "Not a valid packed file");
    EXPECT_STREQ(UnpackResultText(6), "Input archive file failed to open");
    EXPECT_STREQ(UnpackResultText(7), "");
    EXPECT_STREQ(UnpackResultText(-1), "");
}

}  // namespace
