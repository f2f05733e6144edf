// The built Windows programs run under Wine, without a display: Wine then creates no windows and
// its message boxes return at once, so a run goes from start to its exit code unattended.
// Each run uses the Wine prefix of this build folder (made on first use) through
// scripts/wine-run.sh, the same way a person runs the programs.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "tests/windows/shell.h"

namespace fs = std::filesystem;

namespace {

using wine_test::Lower;
using wine_test::Quote;
using wine_test::RunShell;

std::string WineRun(const std::string& arguments) {
    return Quote(ROMSHELL_WINE_RUN) + " --headless --prefix " + Quote(ROMSHELL_WINE_PREFIX) + " " + arguments;
}

// Every file and folder under root with its kind, size and modification time, except what lies
// under the excluded folder (compared without regard to case, as Windows does).
std::map<std::string, std::string> Listing(const fs::path& root, const fs::path& excluded) {
    std::map<std::string, std::string> out;
    const std::string skip = Lower(excluded.lexically_normal().string());
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string path = it->path().lexically_normal().string();
        const std::string lower = Lower(path);
        if (lower == skip || lower.rfind(skip + "/", 0) == 0) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        std::ostringstream entry;
        if (it->is_symlink(ec)) {
            entry << "link " << fs::read_symlink(it->path(), ec).string();
        } else if (it->is_directory(ec)) {
            entry << "dir " << fs::last_write_time(it->path(), ec).time_since_epoch().count();
        } else {
            entry << "file " << it->file_size(ec) << " " << fs::last_write_time(it->path(), ec).time_since_epoch().count();
        }
        out[fs::relative(it->path(), root).string()] = entry.str();
    }
    return out;
}

class WineRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (RunShell("command -v wine >/dev/null 2>&1") != 0) {
            skipReason = "wine is not installed (apt-get install wine wine32:i386)";
            return;
        }
        // The prefix is made once per build folder; the first run takes about a minute.
        std::string output;
        if (RunShell(WineRun("--init-only") + " 2>&1", &output) != 0) {
            prefixError = "cannot make the Wine prefix " + std::string(ROMSHELL_WINE_PREFIX) + ": " + output;
            return;
        }
        // Where Wine puts TEMP for the programs: a Windows path below drive_c.
        std::string temp;
        RunShell(WineRun("cmd /c echo %TEMP%"), &temp);
        temp.erase(std::remove_if(temp.begin(), temp.end(), [](char c) { return c == '\r' || c == '\n'; }),
                   temp.end());
        if (temp.size() < 3 || Lower(temp.substr(0, 3)) != "c:\\") {
            prefixError = "Wine's TEMP is not on drive C: \"" + temp + "\"";
            return;
        }
        std::string relative = temp.substr(3);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        tempFolder = fs::path(ROMSHELL_WINE_PREFIX) / "drive_c" / relative;
    }

    void SetUp() override {
        if (!skipReason.empty()) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(prefixError.empty()) << prefixError;
    }

    static fs::path Program(const char* name) { return fs::path(ROMSHELL_WINDOWS_BIN) / name; }

    static inline std::string skipReason;
    static inline std::string prefixError;
    static inline fs::path tempFolder;
};

TEST_F(WineRunTest, PhxProgramWithoutPackageExitsWithInvalidPackageAndWritesNothingOutsideTemp) {
    const fs::path program = Program("romshell-phx.exe");
    if (!fs::exists(program)) {
        GTEST_SKIP() << program << " has not been built (cmake --preset win32 && cmake --build build/win32)";
    }
    const fs::path driveC = fs::path(ROMSHELL_WINE_PREFIX) / "drive_c";
    const auto before = Listing(driveC, tempFolder);
    ASSERT_FALSE(before.empty());

    std::string output;
    const int status = RunShell(WineRun(Quote(program.string())) + " 2>&1", &output);
    // 0x8000000e, of which the exit status keeps the low byte.
    EXPECT_EQ(status, 0x0E) << output;

    const auto after = Listing(driveC, tempFolder);
    for (const auto& [path, entry] : after) {
        auto it = before.find(path);
        if (it == before.end()) ADD_FAILURE() << "written outside TEMP: " << path;
        else if (it->second != entry) ADD_FAILURE() << "changed outside TEMP: " << path;
    }
    for (const auto& [path, entry] : before) {
        if (after.count(path) == 0) ADD_FAILURE() << "removed outside TEMP: " << path;
    }
}

// The probe's lines: "ok name", "FAIL name: detail", and "failures N" at its end.
void ExpectProbePassed(const std::string& output, int status) {
    std::istringstream lines(output);
    std::string line;
    int passed = 0;
    bool finished = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("ok ", 0) == 0) ++passed;
        if (line.rfind("FAIL ", 0) == 0) ADD_FAILURE() << line.substr(5);
        if (line.rfind("failures ", 0) == 0) finished = true;
    }
    EXPECT_TRUE(finished) << "the probe did not run to its end (exit status " << status << "):\n" << output;
    EXPECT_GT(passed, 0) << output;
    EXPECT_EQ(status, 0) << output;
}

class SeamProbe : public WineRunTest {
protected:
    void SetUp() override {
        WineRunTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (std::string(ROMSHELL_SEAM_PROBE).empty()) {
            GTEST_SKIP() << "the MinGW-w64 tools were not found when configuring, so the seam probe was not built";
        }
    }
};

// Files, strings, processes, the thread and event, the version, power, present devices and the
// service control manager, each checked against what Windows (here Wine) reports directly.
//
// Wine is told to claim Windows 10 for the probe. Windows (and Wine) report 10.0 only to programs
// whose manifest declares Windows 10, so the version seen shows that the program's manifest is
// read and its compatibility section understood.
TEST_F(SeamProbe, SeamCallsAgreeWithWindowsWithoutADisplay) {
    std::string output;
    const std::string key = "HKCU\\Software\\Wine\\AppDefaults\\seam_probe.exe";
    ASSERT_EQ(RunShell(WineRun("reg add " + Quote(key) + " /v Version /d win10 /f") + " 2>&1", &output), 0) << output;
    const int status = RunShell(WineRun(Quote(ROMSHELL_SEAM_PROBE) + " headless 10.0") + " 2>&1", &output);
    ExpectProbePassed(output, status);
}

// The dialogs from the program's own resources, the dialog procedure and its timer, and the
// colour-keyed drawing, on a real (virtual) display.
TEST_F(SeamProbe, DialogsTimersAndMaskedDrawingWorkOnADisplay) {
    if (RunShell("command -v xvfb-run >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xvfb-run is not installed (apt-get install xvfb)";
    }
    // Not headless: xvfb-run gives the run a display of its own. The progress window is also made
    // from a language library's template when the win32 build has made the libraries.
    const std::string library = std::string(ROMSHELL_WINDOWS_LANG) + "/ConResFr.dll";
    std::string libraryOnZ = "Z:" + library;
    std::replace(libraryOnZ.begin(), libraryOnZ.end(), '/', '\\');
    const std::string command = "xvfb-run -a " + Quote(ROMSHELL_WINE_RUN) + " --prefix " +
                                Quote(ROMSHELL_WINE_PREFIX) + " " + Quote(ROMSHELL_SEAM_PROBE) + " display" +
                                (std::filesystem::exists(library) ? " " + Quote(libraryOnZ) : std::string()) + " 2>&1";
    std::string output;
    const int status = RunShell(command, &output);
    ExpectProbePassed(output, status);
}

}  // namespace
