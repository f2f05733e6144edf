// romshell-pack as a person runs it: arguments, exit codes, output, and the sample payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/pack/pack_test_support.h"

namespace {

using namespace packtest;

class PackCliTest : public TempFolderTest {
  protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        WriteBytes(Path("romshell.exe"), Program());
        WriteBytes(Path("payload/AddMem.sys"), "driver");
        WriteBytes(Path("payload/RSAB0101.WPH"), std::string(5000, 'i'));
    }
    RunResult Pack(const std::string& arguments) { return RunCommand(std::string(ROMSHELL_PACK) + " " + arguments, dir_); }
    std::string Q(const std::string& name) { return "'" + PathText(name) + "'"; }
    RunResult BuildOut(const std::string& options = "8") {
        return Pack("build --program " + Q("romshell.exe") + " --from " + Q("payload") + " --options " + options +
                    " -o " + Q("out.exe"));
    }
};

TEST_F(PackCliTest, HelpNamesTheCommandsAndExitsWith0) {
    RunResult r = Pack("--help");
    EXPECT_EQ(r.exitCode, 0);
    for (const char* command : {"build", "list", "extract", "verify"}) {
        EXPECT_NE(r.out.find(command), std::string::npos) << command;
    }
    RunResult b = Pack("build --help");
    EXPECT_EQ(b.exitCode, 0);
    EXPECT_NE(b.out.find("--options"), std::string::npos);
}

TEST_F(PackCliTest, WrongUsageExitsWith2) {
    const char* usages[] = {
        "",
        "frobnicate",
        "list",
        "build --program x --from y -o z",
        "verify x --variant romshell-ami",
        "list a b",
    };
    for (const char* arguments : usages) {
        RunResult r = Pack(arguments);
        EXPECT_EQ(r.exitCode, 2) << arguments << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << arguments;
    }
}

TEST_F(PackCliTest, UnknownOptionsValueIsAUsageErrorNamingTheItem) {
    RunResult r = BuildOut("MarkLastFlashBlock,NoSuchFlag");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "romshell-pack: --options: \"NoSuchFlag\" is neither a number nor a flag name\n");
    EXPECT_FALSE(std::filesystem::exists(Path("out.exe")));
}

TEST_F(PackCliTest, BuildListExtractRoundTrip) {
    RunResult built = BuildOut("MarkLastFlashBlock,ClearCmosOnUpdate");
    ASSERT_EQ(built.exitCode, 0) << built.err;
    EXPECT_EQ(built.out + built.err, "");

    RunResult listed = Pack("list " + Q("out.exe"));
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_NE(listed.out.find("default options  0x00000048 MarkLastFlashBlock,ClearCmosOnUpdate"), std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("AddMem.sys.gz"), std::string::npos);
    EXPECT_NE(listed.out.find("5000"), std::string::npos) << "the image's unpacked size";

    RunResult extracted = Pack("extract " + Q("out.exe") + " -o " + Q("unpacked"));
    EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(ReadBytes(Path("unpacked/AddMem.sys")), "driver");
    EXPECT_EQ(ReadBytes(Path("unpacked/RSAB0101.WPH")), std::string(5000, 'i'));
}

TEST_F(PackCliTest, ProblemsExitWith1WithOneLineEach) {
    WriteBytes(Path("short.exe"), "MZ");
    RunResult r = Pack("build --program " + Q("short.exe") + " --from " + Q("payload") + " --options 8 -o " + Q("out.exe"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "romshell-pack: " + PathText("short.exe") + ": too short for a program file (2 bytes; at least 64)\n");

    RunResult listed = Pack("list " + Q("romshell.exe"));
    EXPECT_EQ(listed.exitCode, 1);
    EXPECT_EQ(listed.err, "romshell-pack: " + PathText("romshell.exe") + ": no package (the offset at byte 40 is 0)\n");

    ASSERT_EQ(BuildOut().exitCode, 0);
    RunResult verified = Pack("verify " + Q("out.exe") + " --variant romshell-phx");
    EXPECT_EQ(verified.exitCode, 1);
    // Everything but the image and the driver is missing, and the driver is a text: one line each.
    EXPECT_EQ(std::count(verified.err.begin(), verified.err.end(), '\n'), 19) << verified.err;
    EXPECT_NE(verified.err.find(PathText("out.exe") + ": AddMem.sys: not a Windows file (no MZ header)\n"), std::string::npos);
    EXPECT_NE(verified.err.find("romshell-pack: " + PathText("out.exe") +
                                ": missing entry \"SWinFlash_32.exe.gz\" (needed by romshell-phx)\n"),
              std::string::npos);
}

// The sample payloads pack into programs that verify, with the counts each variant ships.
TEST_F(PackCliTest, SamplePayloadsBuildPackagesThatVerify) {
    struct Variant {
        const char* name;
        const char* marker;
        int entries;
    } variants[] = {{"romshell", "UnPaCkErSiG@Version 2.02", 38}, {"romshell-phx", "UnPaCkErSiG@Version 1.50", 27}};
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        std::string payload = PathText(std::string("sample-") + v.name);
        // Verify reads the language libraries: the built ones stand in the payload.
        const std::string builtLanguages = ROMSHELL_WINDOWS_LANG;
        if (!std::filesystem::is_regular_file(builtLanguages + "/ConResEn_ami.dll"))
            GTEST_SKIP() << "the win32 build has not made the language libraries";
        const std::string languages = PathText(std::string("languages-") + v.name);
        std::filesystem::create_directories(languages);
        for (const auto& f : std::filesystem::directory_iterator(builtLanguages)) {
            const std::string name = f.path().filename().string();
            const bool ami = name.find("_ami.dll") != std::string::npos;
            if (name.rfind("ConRes", 0) == 0 && (!ami || std::string(v.name) == "romshell"))
                std::filesystem::copy_file(f.path(), languages + "/" + name, std::filesystem::copy_options::overwrite_existing);
        }
        RunResult made = RunCommand(std::string("python3 '") + ROMSHELL_SOURCE_DIR + "/samples/make-payload.py' --variant " +
                                        v.name + " --languages '" + languages + "' -o '" + payload + "'",
                                    dir_);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        int files = static_cast<int>(std::distance(std::filesystem::directory_iterator(payload),
                                                   std::filesystem::directory_iterator()));
        EXPECT_EQ(files, v.entries);
        WriteBytes(Path("program.exe"), Program(v.marker));
        std::filesystem::remove(Path("packed.exe"));
        RunResult built = Pack("build --program " + Q("program.exe") + " --from '" + payload + "' --options 8 -o " +
                               Q("packed.exe"));
        ASSERT_EQ(built.exitCode, 0) << built.err;
        // The samples' tools and drivers are text stand-ins: never a release, good for the tests.
        RunResult refused = Pack("verify " + Q("packed.exe"));
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.err.find(": SWinFlash_64.exe: not a Windows file (no MZ header)\n"), std::string::npos) << refused.err;
        RunResult verified = Pack("verify --for-tests " + Q("packed.exe"));
        EXPECT_EQ(verified.exitCode, 0) << verified.err;
        EXPECT_EQ(verified.err.find("romshell-pack: " + PathText("packed.exe")), std::string::npos) << verified.err;
        EXPECT_NE(verified.err.find("romshell-pack: warning: " + PathText("packed.exe") + ": SWinFlash_64.exe: not a Windows file"),
                  std::string::npos) << verified.err;
        EXPECT_EQ(verified.out, PathText("packed.exe") + ": " + v.name + " package, " + std::to_string(v.entries) +
                                    " entries, default options 0x00000008 (MarkLastFlashBlock), not signed: good\n");
    }
}

TEST_F(PackCliTest, SamplePayloadTakesRealContentsThroughItsHooks) {
    WriteBytes(Path("real/image.bin"), "the real image");
    WriteBytes(Path("tools/swinflash_64.EXE"), "the real tool");
    WriteBytes(Path("languages/ConResEn.dll"), "the real library");
    RunResult made = RunCommand(std::string("python3 '") + ROMSHELL_SOURCE_DIR +
                                    "/samples/make-payload.py' --variant romshell-phx --image '" + PathText("real/image.bin") +
                                    "' --image-name XYCD0202.WPH --tools '" + PathText("tools") + "' --languages '" +
                                    PathText("languages") + "' -o '" + PathText("hooked") + "'",
                                dir_);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(ReadBytes(Path("hooked/XYCD0202.WPH")), "the real image");
    EXPECT_EQ(ReadBytes(Path("hooked/SWinFlash_64.exe")), "the real tool");
    EXPECT_EQ(ReadBytes(Path("hooked/ConResEn.dll")), "the real library");
    EXPECT_NE(ReadBytes(Path("hooked/ConResFr.dll")).find("stand-in for ConResFr.dll"), std::string::npos);
    // The access drivers' stand-ins are native images of their processors (machine at 0x44, the
    // subsystem at 0x58 + 68), which the emulated Windows starts as drivers.
    for (const auto& [name, machine] : {std::pair{"AddMem.sys", std::string("\x4C\x01", 2)},
                                        std::pair{"AddMem64.sys", std::string("\x64\x86", 2)}}) {
        const std::string driver = ReadBytes(Path(std::string("hooked/") + name));
        ASSERT_GT(driver.size(), 0x58u + 70) << name;
        EXPECT_EQ(driver.substr(0x44, 2), machine) << name;
        EXPECT_EQ(driver.substr(0x58 + 68, 2), std::string("\x01\x00", 2)) << name;
    }

    WriteBytes(Path("tools/typo.exe"), "?");
    RunResult refused = RunCommand(std::string("python3 '") + ROMSHELL_SOURCE_DIR +
                                       "/samples/make-payload.py' --variant romshell-phx --tools '" + PathText("tools") +
                                       "' -o '" + PathText("hooked2") + "'",
                                   dir_);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("typo.exe: not a tool file of this variant"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(Path("hooked2")));
}

}  // namespace
