// Whole runs of the update sequence, called in-process on an emulated notebook.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "app/entry.h"
#include "core/variant.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/package_builder.h"

namespace {

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";

class SequenceTest : public EmulatedWorldTest {
  protected:
    void SetUp() override { ResetUpdateContext(); }
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

}  // namespace
