// Packages built by romshell-pack, read by the program itself on an emulated notebook.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "os/os.h"
#include "pack.h"
#include "package/package.h"
#include "tests/pack/pack_test_support.h"
#include "tests/support/emulated_world.h"

namespace {

using namespace packtest;

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";
constexpr const char kWork[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update";

std::string Noise(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    for (char& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

class PackProgramTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        MakeWorld();
        folder_ = fs::path(::testing::TempDir()) /
                  (std::string("romshell-pack-program-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        WriteBytes(folder_ / "romshell.exe", Program());
        ASSERT_TRUE(os::CreateDirectory(kWork));
        ASSERT_TRUE(os::SetCurrentDirectory(kWork));
    }
    void TearDown() override {
        fs::remove_all(folder_);
        EmulatedWorldTest::TearDown();
    }
    // Packs the files and places the packed program where the machine's program lives.
    void PackAndPlace(const std::vector<std::pair<std::string, std::string>>& files, uint32_t options) {
        for (const auto& [name, data] : files) WriteBytes(folder_ / "payload" / name, data);
        pack::Problems problems;
        ASSERT_TRUE(pack::BuildPackage({(folder_ / "romshell.exe").string(), (folder_ / "payload").string(), options,
                                        (folder_ / "out.exe").string()},
                                       &problems))
            << problems[0];
        PutFile(kProgram, ReadBytes(folder_ / "out.exe"));
    }
    fs::path folder_;
};

TEST_F(PackProgramTest, ProgramExtractsWhatTheToolPacked) {
    std::vector<std::pair<std::string, std::string>> files = {
        {"RSAB0101.WPH", Noise(2 * 1024 * 1024, 1)},
        {"AddMem.sys", "driver"},
        {"ConResEn.dll", std::string(70000, 'e')},
        {"PHLASH_32.INI", ""},
    };
    PackAndPlace(files, 8);
    uint32_t offset = 0;
    ASSERT_EQ(ReadPackageOffset(kProgram, &offset), 0);
    ASSERT_EQ(CheckPackage(kProgram, offset), 0);
    EXPECT_EQ(ctx.runOptions, 8u);
    EXPECT_EQ(ExtractAllEntries(kProgram, offset), 0);
    for (const auto& [name, data] : files) {
        EXPECT_EQ(ReadFileBytes(std::string(kWork) + "\\" + name), data) << name;
        EXPECT_FALSE(FileExists(std::string(kWork) + "\\" + name + ".gz"));
    }
}

TEST_F(PackProgramTest, ProgramFindsSingleEntriesOfTheToolsPackage) {
    PackAndPlace({{"ConResEn_ami.dll", "ami"}, {"ConResEn.dll", "phoenix"}, {"AddMem.sys", "driver"}}, 8);
    EXPECT_EQ(ExtractNamedEntry("addmem.sys"), 1);
    EXPECT_EQ(ExtractNamedEntry("ConResEn.dll"), 1);
    EXPECT_EQ(ReadFileBytes(std::string(kWork) + "\\AddMem.sys"), "driver");
    EXPECT_EQ(ReadFileBytes(std::string(kWork) + "\\ConResEn.dll"), "phoenix");
    EXPECT_FALSE(FileExists(std::string(kWork) + "\\ConResEn_ami.dll"));
}

}  // namespace
