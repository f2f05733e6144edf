// Whole runs of the update sequence, called in-process on an emulated notebook.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "app/entry.h"
#include "core/variant.h"
#include "os/os.h"
#include "package/workdir.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"

namespace {

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";

class SequenceTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        ReleaseWorkingFolders();
    }
    uint32_t Run(std::string commandLine) {
        return ProgramEntry(os::ProgramModule(), commandLine.data());
    }
};

TEST_F(SequenceTest, PhxWithoutAPackageFailsTheCheckWithInvalidOption) {
    if (!kVariant.parsesOptionsFirst) GTEST_SKIP() << "this program reaches the package check later";
    MakeWorld();
    PutFile(kProgram, "MZ" + std::string(4094, '\0'));
    EXPECT_EQ(Run(""), 0x8000000eu);
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["caption"], "Fail : Invalid Option");
    EXPECT_EQ(boxes[0]["text"], "Invalid Option.\nCheck the option.");
    EXPECT_TRUE(Events("shutdown").empty());
}

TEST_F(SequenceTest, PhxRefusesAnUnknownOptionBeforeReadingThePackage) {
    if (!kVariant.parsesOptionsFirst) GTEST_SKIP() << "this program parses its options after the unpack";
    MakeWorld();
    PutFile(kProgram, testpkg::ProgramWithPackage(8, {}));
    EXPECT_EQ(Run("/BOGUS"), 0x8000000eu);
    ASSERT_EQ(MessageBoxes().size(), 1u);
    EXPECT_EQ(ctx.runOptions, 0u) << "the package's options were never read";
}

TEST_F(SequenceTest, RomshellWithoutAPackageCannotPrepareItsDriver) {
    if (kVariant.parsesOptionsFirst) GTEST_SKIP() << "this program reads its command line first";
    MakeWorld();
    // A package without the access driver's file: the driver cannot be prepared.
    PutFile(kProgram, testpkg::ProgramWithPackage(8, {{"other.txt.gz", testpkg::Gzip("x")}}));
    EXPECT_EQ(Run(""), 0x80000003u);
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["caption"], "Fail : Unpack");
    EXPECT_TRUE(Events("shutdown").empty());
}

TEST_F(SequenceTest, RomshellRefusesAnUnknownOptionOnlyAfterTheUnpack) {
    if (kVariant.parsesOptionsFirst) GTEST_SKIP() << "this program parses its options before the package";
    MakeWorld();
    PutFile(kProgram, testpkg::ProgramWithPackage(8, testpkg::DriverEntries()));
    EXPECT_EQ(Run("/BOGUS"), 0x8000000eu);
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0]["caption"], "Warning") << "the user confirmed before the options were read";
    EXPECT_EQ(boxes[1]["caption"], "Fail : Invalid Option");
    EXPECT_EQ(ctx.runOptions, 8u) << "the package's options were read first";
    EXPECT_TRUE(Events("shutdown").empty());
}

TEST_F(SequenceTest, OnWindows61TheDriverFileIsNeverPutIntoTemp) {
    if (!kVariant.hasAmiPath) GTEST_SKIP() << "this program prepares no driver before the package";
    MakeWorld(R"({"windows": {"major": 6, "minor": 1}, "accessDevices": {"qtv": true}})");
    PutFile(kProgram, testpkg::ProgramWithPackage(8, testpkg::DriverEntries()));
    EXPECT_EQ(Run("/BOGUS"), 0x8000000eu);
    EXPECT_FALSE(FileExists("C:\\Users\\tech\\AppData\\Local\\Temp\\AddMem.sys"));
    EXPECT_FALSE(FileExists("C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update\\Startup\\AddMem.sys"));
}

TEST_F(SequenceTest, PackagesNoMessageBoxHoldsFromTheStart) {
    // Without TEMP the run ends at the working directory, in both programs, before any option of
    // the command line could have been read by the one that reads it late.
    MakeWorld(R"({"windows": {"temp": null}})");
    PutFile(kProgram, testpkg::ProgramWithPackage(0x20, testpkg::DriverEntries()));
    EXPECT_EQ(Run(""), 0x8000000fu);
    EXPECT_TRUE(MessageBoxes().empty());
}

}  // namespace
