// The real romshell-phx.exe with a packed sample payload under Wine: on a virtual display (Xvfb)
// its progress window opens and unpacks the package into "__Korvane_Update\" under Wine's TEMP,
// and the run then fails at the hardware, which Wine lacks; without a display the window cannot
// open and the run ends as a failed unpack instead of waiting for ever. A screenshot of the window
// shows its spinner drawn with the colour key left out.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/windows/shell.h"

namespace fs = std::filesystem;

namespace {

using wine_test::Lower;
using wine_test::Quote;
using wine_test::RunShell;

std::string FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string WineRun(bool headless) {
    return Quote(ROMSHELL_WINE_RUN) + (headless ? " --headless" : "") + " --prefix " + Quote(ROMSHELL_WINE_PREFIX);
}

// The files of the packed sample payload that no clean-up table of romshell-phx names: they are
// extracted and stay.
const char* const kUnnamedFiles[] = {"devcon.exe", "QLIX2.dll", "WinUp64_V01.exe"};

class PackedProgramUnderWine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"wine", "xvfb-run", "python3"}) {
            if (RunShell(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0) {
                skipReason = std::string(tool) + " is not installed";
                return;
            }
        }
        const fs::path program = fs::path(ROMSHELL_WINDOWS_BIN) / "romshell-phx.exe";
        if (!fs::exists(program)) {
            skipReason = program.string() + " has not been built (cmake --preset win32 && cmake --build build/win32)";
            return;
        }
        std::string output;
        if (RunShell(WineRun(true) + " --init-only 2>&1", &output) != 0) {
            setupError = "cannot make the Wine prefix: " + output;
            return;
        }
        std::string temp;
        RunShell(WineRun(true) + " cmd /c echo %TEMP%", &temp);
        temp.erase(std::remove_if(temp.begin(), temp.end(), [](char c) { return c == '\r' || c == '\n'; }), temp.end());
        if (temp.size() < 3 || Lower(temp.substr(0, 3)) != "c:\\") {
            setupError = "Wine's TEMP is not on drive C: \"" + temp + "\"";
            return;
        }
        std::string relative = temp.substr(3);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        workDir = fs::path(ROMSHELL_WINE_PREFIX) / "drive_c" / relative / "__Korvane_Update";

        // The sample payload with the built language libraries (a stand-in would not load, and the
        // program would wait at its "Fail : Dll" box), packed with options that need no answers
        // and no battery.
        folder = fs::temp_directory_path() / ("romshell-wine-progress-" + std::to_string(getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        payload = folder / "payload";
        packed = folder / "romshell-phx.exe";
        const std::string make = "python3 " + Quote(ROMSHELL_MAKE_PAYLOAD) + " --variant romshell-phx --win32 " +
                                 Quote(fs::path(ROMSHELL_WINDOWS_BIN).parent_path().string()) + " -o " +
                                 Quote(payload.string()) + " 2>&1";
        const std::string pack = Quote(ROMSHELL_PACK) + " build --program " + Quote(program.string()) + " --from " +
                                 Quote(payload.string()) +
                                 " --options MarkLastFlashBlock,NoMessageBox,SkipCheckPower -o " +
                                 Quote(packed.string()) + " 2>&1";
        if (RunShell(make, &output) != 0 || RunShell(pack, &output) != 0) setupError = "cannot pack the sample payload: " + output;
    }

    static void TearDownTestSuite() {
        std::error_code ec;
        if (!folder.empty()) fs::remove_all(folder, ec);
    }

    void SetUp() override {
        if (!skipReason.empty()) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(setupError.empty()) << setupError;
        // A folder at the working folder's path with a file in it. Wine keeps no ACLs, so to the
        // program it is not a folder of its own kind: the run sets it aside, unemptied, and makes
        // its own (in the emulated world, which keeps them, an earlier run's folder is reused).
        fs::remove_all(workDir);
        fs::remove_all(workDir.string() + ".1");
        fs::create_directories(workDir);
        std::ofstream(workDir / "leftover.txt") << "from an earlier run";
    }

    // The names in the working folder.
    static std::set<std::string> WorkFiles() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(workDir)) names.insert(entry.path().filename().string());
        return names;
    }

    static inline std::string skipReason;
    static inline std::string setupError;
    static inline fs::path workDir;
    static inline fs::path folder;
    static inline fs::path payload;
    static inline fs::path packed;
};

TEST_F(PackedProgramUnderWine, OnADisplayItUnpacksIntoTempAndFailsLaterAtTheHardware) {
    std::string output;
    const int status = RunShell("timeout 300 xvfb-run -a -s '-screen 0 1024x768x24' " + WineRun(false) + " " +
                                    Quote(packed.string()) + " 2>&1",
                                &output);
    // The low byte of a failure of the update after the unpack (0x80000004 to 0x80000013, not
    // the option, directory and power failures that come before it); 3 would be a failed unpack.
    const std::set<int> afterUnpack = {0x04, 0x05, 0x07, 0x08, 0x0a, 0x0b, 0x0c, 0x0d, 0x13};
    EXPECT_EQ(afterUnpack.count(status), 1u) << "exit status " << status << "\n" << output;

    const std::set<std::string> files = WorkFiles();
    for (const char* name : kUnnamedFiles) {
        SCOPED_TRACE(name);
        ASSERT_EQ(files.count(name), 1u) << "not extracted, or removed by the clean-up";
        EXPECT_EQ(FileBytes(workDir / name), FileBytes(payload / name)) << "extracted bytes differ from the payload";
    }
    // Everything else there is a payload file the clean-up missed, the debug log, or the folder
    // of the files unpacked before the rest; no compressed copy stays behind.
    for (const std::string& name : files) {
        EXPECT_TRUE(name == "DebugLog.txt" || name == "Startup" || fs::exists(payload / name)) << "unexpected file " << name;
        EXPECT_FALSE(name.size() > 3 && Lower(name.substr(name.size() - 3)) == ".gz") << name;
    }
    EXPECT_EQ(files.count("leftover.txt"), 0u);
    EXPECT_EQ(FileBytes(workDir.string() + ".1/leftover.txt"), "from an earlier run") << "not set aside whole";
    const std::string log = FileBytes(workDir / "DebugLog.txt");
    EXPECT_EQ(log.find("Progress window could not be opened"), std::string::npos) << log;
}

TEST_F(PackedProgramUnderWine, WithoutADisplayTheWindowCannotOpenAndTheRunEndsAsAFailedUnpack) {
    std::string output;
    // 0x80000003: the wait for the extraction ends although the window never opened.
    EXPECT_EQ(RunShell("timeout 300 " + WineRun(true) + " " + Quote(packed.string()) + " 2>&1", &output), 0x03)
        << output;
    const std::set<std::string> files = WorkFiles();
    for (const char* name : kUnnamedFiles) EXPECT_EQ(files.count(name), 0u) << name << ": nothing is extracted";
    const std::string log = FileBytes(workDir / "DebugLog.txt");
    EXPECT_NE(log.find("Progress window could not be opened"), std::string::npos) << log;
}

// The picture as rows of RGB pixels (through ImageMagick's convert, as a binary PPM).
struct Picture {
    int width = 0;
    int height = 0;
    std::string rgb;
};

bool ReadPicture(const fs::path& png, Picture* picture) {
    const std::string convert = fs::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
    std::string ppm;
    if (RunShell(convert + " " + Quote(png.string()) + " -depth 8 ppm:-", &ppm) != 0) return false;
    std::istringstream in(ppm);
    std::string magic;
    int max = 0;
    in >> magic >> picture->width >> picture->height >> max;
    in.get();
    if (magic != "P6" || max != 255 || picture->width <= 0 || picture->height <= 0) return false;
    picture->rgb = ppm.substr(static_cast<size_t>(in.tellg()));
    return picture->rgb.size() == static_cast<size_t>(picture->width) * picture->height * 3;
}

TEST_F(PackedProgramUnderWine, ScreenshotShowsTheWindowWithItsSpinnerAndWithoutItsKeyColour) {
    if (RunShell("command -v import >/dev/null 2>&1 && command -v xwininfo >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "import (imagemagick) or xwininfo (x11-utils) is not installed";
    const fs::path png = folder / "progress-window.png";
    std::string output;
    ASSERT_EQ(RunShell(Quote(ROMSHELL_SCREENSHOT) + " --prefix " + Quote(ROMSHELL_WINE_PREFIX) + " --program " +
                           Quote(packed.string()) + " -o " + Quote(png.string()) + " 2>&1",
                       &output),
              0)
        << output;
    Picture picture;
    ASSERT_TRUE(ReadPicture(png, &picture)) << png;
    // The window alone: 230 x 162 dialog units in a 10-point font, a few hundred pixels each way.
    EXPECT_GT(picture.width, 300);
    EXPECT_LT(picture.width, 900);
    EXPECT_GT(picture.height, 200);
    EXPECT_LT(picture.height, 700);
    int magenta = 0;
    int pureBlue = 0;
    for (size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
        const auto r = static_cast<unsigned char>(picture.rgb[i]);
        const auto g = static_cast<unsigned char>(picture.rgb[i + 1]);
        const auto b = static_cast<unsigned char>(picture.rgb[i + 2]);
        if (r == 255 && g == 0 && b == 255) ++magenta;
        if (r == 0 && g == 0 && b == 255) ++pureBlue;
    }
    EXPECT_GT(magenta, 0) << "the spinner's leading dot is not on the window";
    EXPECT_EQ(pureBlue, 0) << "the spinner's background colour reached the screen";
}

}  // namespace
