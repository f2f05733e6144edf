// The scenarios that also run as the real Windows program under Wine: each row runs once on the
// emulated build and once as the packed romshell.exe / romshell-phx.exe under Wine (notebook-emu
// run --wine), on the same emulated notebook, and the two reports must agree field by field,
// except for the fields listed in kNotShownUnderWine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tests/scenario/scenario_support.h"
#include "tools/notebook-emu/bench_server.h"
#include "tools/notebook-emu/wine_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Strings = std::vector<std::string>;

// Report fields the two runs cannot both show, each with the reason (JSON pointers; "*" stands for
// any array index).
struct NotShown {
    const char* pointer;
    const char* reason;
};
constexpr NotShown kNotShownUnderWine[] = {
    {"/run", "how each run was started: the emulated program or Wine, the files, the output"},
    {"/notes", "breaches and unmodelled calls are seen by the emulated Windows only"},
    {"/progressWindow/steps/*/mark", "the watcher reads texts; the bitmap a mark control shows is not named"},
    {"/progressWindow/spinner", "the spinner's frames are drawn by the emulated window system only"},
    {"/progressWindow/state", "the dialog's internal state is the emulated window system's"},
    {"/progressWindow/closed", "under Wine the window ends with the program's process; the emulated one is read as the program left it"},
    {"/progressWindow/progressText", "the watcher reads the window's texts when it last saw the window, not at the program's end"},
    {"/progressWindow/steps/*/line", "the same: texts as the watcher last saw them"},
    {"/tools/runs/*/program", "the Windows builds of the tools hand their run to the server: the program file is not seen"},
    {"/tools/runs/*/error", "Wine's relay trace shows that a tool could not start, not the error it gave"},
    {"/tools/runs/*/directory", "the relay passes the working directory with its trailing backslash"},
    {"/workingFolder/files", "Wine refuses to delete the file of a loaded driver: AddMem.sys (AddMem64.sys in a 64-bit prefix) stays in the working folder"},
    {"/inputDevices", "Wine lists no device of setup class \"Mouse\" and cannot disable one"},
    {"/switchOff/privilegeEnabled", "Wine does not show whether the shutdown privilege was enabled"},
    {"/messageBoxes/*/style", "the watcher sees a box's buttons but not which standard icon it shows (icons are per process)"},
    {"/messageBoxes/*/styleText", "the same: the icon's part of the style"},
    {"/messageBoxes/*/owned", "Wine's message box is owned by the desktop when the program passes none"},
    {"/accessService/running", "Wine's service manager ends with the run's prefix: whether the driver ran is not seen"},
    {"/accessService/markedForDelete", "the prefix's registry shows whether the service is registered, not its marks"},
    {"/accessService/imagePath", "the same: only whether it is registered"},
};

bool Matches(const std::string& pattern, const std::string& pointer) {
    size_t p = 0, q = 0;
    while (p < pattern.size()) {
        if (pattern[p] == '*') {
            ++p;
            while (q < pointer.size() && pointer[q] != '/') ++q;
            continue;
        }
        if (q >= pointer.size() || pattern[p] != pointer[q]) return false;
        ++p, ++q;
    }
    return q == pointer.size() || pointer[q] == '/';
}

bool NotShownUnderWine(const std::string& pointer) {
    for (const NotShown& n : kNotShownUnderWine)
        if (Matches(n.pointer, pointer)) return true;
    return false;
}

// Every difference between the two reports outside the listed fields, one line each.
void Compare(const json& emulated, const json& wine, const std::string& pointer, Strings* differences) {
    if (NotShownUnderWine(pointer)) return;
    if (emulated.is_object() && wine.is_object()) {
        for (auto it = emulated.begin(); it != emulated.end(); ++it)
            Compare(it.value(), wine.contains(it.key()) ? wine[it.key()] : json(), pointer + "/" + it.key(), differences);
        for (auto it = wine.begin(); it != wine.end(); ++it)
            if (!emulated.contains(it.key()) && !NotShownUnderWine(pointer + "/" + it.key()))
                differences->push_back(pointer + "/" + it.key() + ": only under Wine: " + it.value().dump());
        return;
    }
    if (emulated.is_array() && wine.is_array() && emulated.size() == wine.size()) {
        for (size_t i = 0; i < emulated.size(); ++i)
            Compare(emulated[i], wine[i], pointer + "/" + std::to_string(i), differences);
        return;
    }
    if (emulated != wine)
        differences->push_back(pointer + ": emulated " + emulated.dump() + ", under Wine " + wine.dump());
}

struct Row {
    const char* world;
    const char* machine;
    const char* package;  // packages/<package>.exe emulated, packages/<package>-wine.exe under Wine
    Strings options;
    uint32_t result;      // the exit code both runs must end with
};

// Every row also compares the report's accessService: under Wine the ADDMEM service the run
// created (seen in the relay trace) must be gone from the prefix's registry after Cancel, a
// failure, /BLOCK_POWER_OFF, /READ_BIOS and a full update, as in the emulated run. Wine keeps a
// service manager but no ACLs, so the working folder's protection and the attacks on it are
// checked in the emulated world only (scenario_test.cpp).
const Row kRows[] = {
    // A 64-bit prefix: the program installs the bench's x64 driver, AddMem64.sys; a 32-bit prefix
    // the i386 one, AddMem.sys.
    {"full-update", "default", "full", {}, 0},
    {"signed-update", "default", "signed", {}, 0},
    {"signed-changed", "default", "signed-changed", {}, 0x80000003u},
    {"full-update-32", "win10-x86", "full", {}, 0},
    {"phx-full-update", "default", "phx-full", {}, 0},
    {"phx-full-update-32", "win10-x86", "phx-full", {}, 0},
    {"cancel", "cancel-confirmation", "full", {}, 0},
    {"not-newer", "default", "not-newer", {}, 0x80000013u},
    {"micom-tool-fails", "micom-tool-fails", "full", {}, 0x8000000Au},
    {"newer-ec-mailbox", "newer-ec-mailbox", "full", {}, 0},
    {"read-bios", "default", "full", {"/READ_BIOS"}, 0},
    {"block-power-off", "default", "full", {"/BLOCK_POWER_OFF"}, 0},
    // The bench's driver already runs as the ADDMEM service: the program uses it and leaves it.
    {"service-found-running", "addmem-running", "full", {}, 0},
    {"driver-load-fail", "win7-x86-no-qtv", "full", {}, 0xFFFFFFFFu},
    {"unstartable-tool", "default", "unstartable-tool", {}, 0x80000009u},
    // An AMI notebook: the AMI tool's Windows build writes bios.rom.
    {"ami-full-update", "ami-208", "ami", {}, 0},
    // The DMI settings dialog typed into (a serial one character short first), cancelled, and the
    // BIOS flag's kind corrected without a dialog.
    {"dmi-only-ok", "dmi-dialog", "dmi-only", {}, 0},
    {"dmi-only-cancel", "dmi-dialog-cancel", "dmi-only", {}, 0},
    {"dmi-flag-corrected", "dmi-flag-wrong-kind", "full", {}, 0},
    // A blank in the firmware's serial would split "/DSS:" into two of the tool's switches: the
    // run is refused before the tool starts.
    {"dmi-serial-blank", "dmi-serial-blank", "full", {"/MODE=3"}, 0x8000000Eu},
    // Systems in other languages: the library of the language, its texts read back from the boxes
    // and the progress window in the system's code page.
    {"phx-fr-fr", "fr-fr", "phx-full", {}, 0},
    {"phx-ru-ru", "ru-ru", "phx-full", {}, 0},
    {"phx-zh-tw", "zh-tw", "phx-full", {}, 0},
    {"phx-ko-kr", "ko-kr", "phx-full", {}, 0},
};

// The row by its world's name in test listings.
void PrintTo(const Row& row, std::ostream* out) { *out << row.world; }

class UnderWine : public ::testing::TestWithParam<Row> {};

scenario::Run RunWine(const Row& row) {
    std::string root = std::string(SCENARIO_WORLDS) + "/wine-" + row.world;
    std::string jsonPath = root + ".json";
    std::error_code ec;
    fs::remove(jsonPath, ec);
    Strings args = {"run",  "--wine", "--machine", scenario::Machine(row.machine), "--program",
                    scenario::Package(std::string(row.package) + "-wine"), "--root", root, "--json", jsonPath,
                    "--timeout", "240"};
    if (!row.options.empty()) {
        args.push_back("--");
        args.insert(args.end(), row.options.begin(), row.options.end());
    }
    scenario::Run run = scenario::RunNotebookEmu(args);
    std::ifstream in(jsonPath);
    if (in) run.report = json::parse(in, nullptr, false);
    if (run.report.is_discarded()) run.report = nullptr;
    return run;
}

TEST_P(UnderWine, ReportAgreesWithTheEmulatedRun) {
    const Row& row = GetParam();
    if (!fs::exists(scenario::Package(std::string(row.package) + "-wine")))
        GTEST_SKIP() << "no Wine package " << row.package << "-wine (the win32 preset or the MinGW-w64 tools are missing)";
    if (std::system("command -v wine >/dev/null 2>&1 && command -v xvfb-run >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "wine or xvfb-run is not installed";

    scenario::Run emulated = scenario::RunScenario(std::string("emulated-") + row.world, row.machine, row.package, row.options);
    ASSERT_TRUE(emulated.report.is_object()) << emulated.output;
    auto start = std::chrono::steady_clock::now();
    scenario::Run wine = RunWine(row);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("under Wine: %s took %lld s\n", row.world, static_cast<long long>(seconds));
    ASSERT_EQ(wine.status, 0) << wine.output;
    ASSERT_TRUE(wine.report.is_object()) << wine.output;

    EXPECT_EQ(scenario::ResultCode(emulated.report), row.result) << emulated.output;
    EXPECT_EQ(scenario::ResultCode(wine.report), row.result) << wine.output;
    // Under Wine's own service manager as well: a service the run created is gone afterwards, and
    // one that ran before the run was used as it was and is still registered.
    const json& service = wine.report["accessService"];
    if (service["createdByRun"] == true) EXPECT_EQ(service["registered"], false) << service.dump();
    if (service["before"] == "running") {
        EXPECT_EQ(service["createdByRun"], false) << service.dump();
        EXPECT_EQ(service["registered"], true) << service.dump();
    }
    Strings differences;
    Compare(emulated.report, wine.report, "", &differences);
    for (const std::string& d : differences) ADD_FAILURE() << d;
    if (!differences.empty()) std::printf("%s\n", wine.output.c_str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, UnderWine, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name = info.param.world;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace

namespace {

// Lines of Wine's relay trace as the bench reads them: a tool the program could not start and the
// switch-off, among calls that succeeded and lines of other channels.
TEST(WineBench, RelayTraceGivesTheSwitchOffAndEveryToolThatCouldNotStart) {
    const std::string trace =
        "0024:Call KERNEL32.CreateProcessA(00000000,00405920 \"\\\"C:\\\\Users\\\\tech\\\\Desktop\\\\romshell.exe\\\"\","
        "00000000,00000000,00000000,00000000,00000000,00405800 \"C:\\\\Users\\\\tech\\\\Desktop\",0061fee4,0061fed4) ret=004017d4\n"
        "00cc:Call KERNEL32.CreateProcessA(00000000,007673a0 \"C:\\\\W\\\\SWinFlash bios.wph /P\",00000000,00000000,"
        "00000000,04000000,00000000,00434070 \"C:\\\\W\\\\\",0076735c,0076734c) ret=0040b894\n"
        "0024:Ret  KERNEL32.CreateProcessA() retval=00000001 ret=004017d4\n"
        "00cc:trace:relay:load_list L\"RelayInclude\" = L\"user32.ExitWindowsEx\"\n"
        "00cc:Ret  KERNEL32.CreateProcessA() retval=00000000 ret=0040b894\n"
        "00cc:Call user32.ExitWindowsEx(00000008,00000000) ret=0040c000\n"
        "00cc:Ret  user32.ExitWindowsEx() retval=00000001 ret=0040c000\n";
    std::vector<json> events = notebook_emu::RelayEvents(trace);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "process");
    EXPECT_EQ(events[0]["started"], false);
    EXPECT_EQ(events[0]["commandLine"], "C:\\W\\SWinFlash bios.wph /P");
    EXPECT_EQ(events[0]["directory"], "C:\\W\\");
    EXPECT_EQ(events[1], (json{{"event", "shutdown"}, {"flags", 8}, {"accepted", true}}));
}

// The packages the bench runs carry its ADDMEM driver: the release tool refuses to pass them for
// release, and passes them, warning, as packages for the tests.
TEST(WineBench, ReleaseCheckRefusesThePackagesCarryingTheBenchDriver) {
    const std::string package = scenario::Package("full-wine");
    if (!fs::exists(package)) GTEST_SKIP() << "no Wine package full-wine (the win32 preset or the MinGW-w64 tools are missing)";
    const std::string line = package + ": AddMem.sys is the test bench's driver";
    scenario::Run release = scenario::RunCommand({ROMSHELL_PACK, "verify", package});
    EXPECT_EQ(release.status, 1) << release.output;
    EXPECT_NE(release.output.find("romshell-pack: " + line), std::string::npos) << release.output;
    scenario::Run tests = scenario::RunCommand({ROMSHELL_PACK, "verify", "--for-tests", package});
    EXPECT_EQ(tests.status, 0) << tests.output;
    EXPECT_NE(tests.output.find("warning: " + line), std::string::npos) << tests.output;
}

TEST(WineBench, DeviceErrorsBecomeTheStatusesWineTurnsBackIntoThem) {
    const struct {
        uint32_t error, status;
    } rows[] = {{0, 0}, {87, 0xC000000Du}, {31, 0xC0000001u}, {1, 0xC0000010u}, {12345, 0xC0000001u}};
    for (const auto& row : rows) EXPECT_EQ(bench::StatusOfError(row.error), row.status) << row.error;
}

TEST(WineBench, ProfilesChooseWineVersionLocaleAndTool) {
    EXPECT_EQ(notebook_emu::WineVersionName(10, 0, true), "win10");
    EXPECT_EQ(notebook_emu::WineVersionName(6, 1, true), "win7");
    EXPECT_EQ(notebook_emu::WineVersionName(4, 10, false), "win98");
    EXPECT_EQ(notebook_emu::WineVersionName(7, 0, true), "");
    EXPECT_EQ(notebook_emu::LocaleOfLanguage(0x040C), "fr_FR.UTF-8");
    EXPECT_EQ(notebook_emu::LocaleOfLanguage(0x1404), "zh_MO.UTF-8");
    EXPECT_EQ(notebook_emu::LocaleOfLanguage(0x0001), "");
    EXPECT_EQ(bench::LinuxToolName(1), "emu-swinflash");
    EXPECT_EQ(bench::LinuxToolName(2), "emu-winup");
    EXPECT_EQ(bench::LinuxToolName(3), "emu-afuwin");
    EXPECT_EQ(bench::LinuxToolName(4), "");
}

}  // namespace
