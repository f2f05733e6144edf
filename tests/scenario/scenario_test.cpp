// Whole updates of packaged programs on emulated notebooks, each one notebook-emu command, judged
// from its JSON report as a technician would judge the notebook afterwards. The packages come
// from the fixture test scenario_packages (make_packages.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/scenario/scenario_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using scenario::Captions;
using scenario::ResultCode;
using scenario::RunScenario;
using scenario::ToolCommands;
using scenario::WorkingFolderFiles;

using Strings = std::vector<std::string>;

const char* const kBiosTool = "SWinFlash bios.wph /P";
const char* const kMicomTool = "WinUpV01_10 kbc.bin /FORCE";
const char* const kNewVersion = "08RK";

// The report of a scenario; fails the test when notebook-emu made none.
json Report(const scenario::Run& run) {
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(run.report.is_object()) << run.output;
    return run.report.is_object() ? run.report : json::object();
}

bool Contains(const Strings& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// Blocks of the part that hold, page for page, the same block of the image with this tag.
std::vector<int> BlocksHoldingImage(const json& r, const std::string& tag) {
    std::vector<int> blocks;
    for (const json& b : r["flash"]["contents"]) {
        const json& holds = b["holds"];
        if (holds.size() == 1 && holds[0]["image"] == tag && holds[0]["imageBlock"] == b["block"] && holds[0]["pages"] == 16)
            blocks.push_back(b["block"].get<int>());
    }
    return blocks;
}

std::vector<int> AllBlocksBut(int count, std::vector<int> except) {
    std::vector<int> out;
    for (int i = 0; i < count; ++i)
        if (std::find(except.begin(), except.end(), i) == except.end()) out.push_back(i);
    return out;
}

const json* WrittenRecord(const json& r, int record) {
    for (const json& b : r["flash"]["written"])
        if (b["record"] == record) return &b;
    return nullptr;
}

std::vector<int32_t> ToolExitCodes(const json& r) {
    std::vector<int32_t> out;
    for (const json& t : r["tools"]["runs"]) out.push_back(t.value("exitCodeSigned", static_cast<int32_t>(0x7FFFFFFF)));
    return out;
}

void ExpectFlashUntouched(const json& r) {
    EXPECT_TRUE(r["flash"]["written"].empty());
    for (const json& b : r["flash"]["contents"]) EXPECT_TRUE(b["holds"].empty()) << "block " << b["block"];
    EXPECT_EQ(r["dmi"]["changed"], json::array());
}

// What every failing run must leave: keyboard and mouse back, the working files gone, the system
// on and not armed to switch on.
void ExpectNotebookLeftUsable(const json& r) {
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>()) << r["inputDevices"].dump();
    EXPECT_EQ(WorkingFolderFiles(r), Strings{"DebugLog.txt"});
    EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
    EXPECT_FALSE(r["switchOff"].contains("flags")) << "a switch-off was asked for";
    EXPECT_FALSE(r["controller"]["powerOn"]["armed"].get<bool>());
}

// ---------------------------------------------------------------------------------------------

TEST(Scenario, FullUpdateWritesTheImageArmsTheLegacyControllerAndSwitchesOff) {
    json r = Report(RunScenario("full-update", "default", "full"));
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
    EXPECT_EQ(ToolCommands(r), (Strings{kBiosTool, kMicomTool}));
    EXPECT_EQ(ToolExitCodes(r), (std::vector<int32_t>{0, 0}));

    // Every record of the table was written; the package's MarkLastFlashBlock made the top
    // block's 0x122 a plain 0x22; the ESCD record keeps the lower half of block 8.
    EXPECT_EQ(r["flash"]["written"].size(), 32u);
    EXPECT_TRUE(r["flash"]["leftOut"].empty());
    ASSERT_NE(WrittenRecord(r, 31), nullptr);
    EXPECT_EQ((*WrittenRecord(r, 31))["attributes"], 0x22);
    EXPECT_EQ(BlocksHoldingImage(r, kNewVersion), AllBlocksBut(32, {8}));
    EXPECT_EQ(r["flash"]["contents"][8]["holds"][0]["pages"], 8);

    EXPECT_EQ(r["biosIdentity"]["after"]["version"], kNewVersion);
    EXPECT_EQ(r["dmi"]["after"]["biosVersion"], "P08RK.012");
    EXPECT_EQ(r["dmi"]["after"]["serial"], r["dmi"]["before"]["serial"]);

    const json& c = r["controller"];
    EXPECT_EQ(c["kind"], "legacy");
    EXPECT_EQ(c["powerOn"]["armed"], true);
    EXPECT_EQ(c["powerOn"]["how"], "0xE887 bit 0");
    EXPECT_EQ(c["ramE887"]["before"], 0x40);
    EXPECT_EQ(c["ramE887"]["after"], 0x41);
    ASSERT_TRUE(c["micomImage"].is_object());
    EXPECT_EQ(c["micomImage"]["label"], "KBRK0105");

    EXPECT_FALSE(r["cmos"]["cleared"].get<bool>());
    EXPECT_TRUE(r["smi"]["enabled"].get<bool>());
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>());
    EXPECT_EQ(r["switchOff"]["switchedOff"], true);
    EXPECT_EQ(r["switchOff"]["flags"], 8);
    EXPECT_EQ(WorkingFolderFiles(r), Strings{"DebugLog.txt"});
    for (const json& step : r["progressWindow"]["steps"]) EXPECT_EQ(step["mark"], "done") << step["line"];
}

TEST(Scenario, NewerControllerIsArmedWithCommandDcAndRunsNoMicomTool) {
    struct Row {
        const char* machine;
        const char* how;
    };
    const Row rows[] = {
        {"newer-ec-mailbox", "command 0xDC through the mailbox"},
        {"newer-ec-kbc", "command 0xDC through the keyboard controller"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.machine);
        json r = Report(RunScenario(row.machine, row.machine, "full"));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        EXPECT_EQ(ToolCommands(r), Strings{kBiosTool});
        EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
        EXPECT_EQ(r["controller"]["kind"], "newer");
        EXPECT_EQ(r["controller"]["powerOn"]["how"], row.how);
        EXPECT_EQ(r["controller"]["ramE887"]["after"], r["controller"]["ramE887"]["before"]);
        EXPECT_TRUE(r["controller"]["micomImage"].is_null());
        EXPECT_EQ(r["switchOff"]["flags"], 8);
        // The MICOM image is no candidate on this kind (no search ran), so the clean-up leaves it.
        EXPECT_EQ(WorkingFolderFiles(r), (Strings{"DebugLog.txt", "KBRK0105.BIN"}));
    }
}

TEST(Scenario, ImageOfAnotherModelIsRefusedNamingBothModelsAndPartNumbers) {
    json r = Report(RunScenario("other-model", "default", "other-model"));
    EXPECT_EQ(ResultCode(r), 0x80000008u) << r["result"].dump();
    ASSERT_EQ(Captions(r), (Strings{"Warning", "Fail : Model(Bios Part Number)"}));
    std::string text = r["messageBoxes"][1]["text"];
    EXPECT_NE(text.find("Current Model (BIOS Part Number) : R580(047)"), std::string::npos) << text;
    EXPECT_NE(text.find("New Model (BIOS Part Number) : R590(051)"), std::string::npos) << text;
    EXPECT_EQ(ToolExitCodes(r), std::vector<int32_t>{-120});
    ExpectFlashUntouched(r);
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, ImageThatIsNotNewerIsRefused) {
    json r = Report(RunScenario("not-newer", "default", "not-newer"));
    EXPECT_EQ(ResultCode(r), 0x80000013u) << r["result"].dump();
    ASSERT_EQ(Captions(r), (Strings{"Warning", "Fail : Bios Date"}));
    EXPECT_EQ(r["messageBoxes"][1]["text"], "This system's BIOS version is the latest.\n\nUpdate program will be terminated.");
    EXPECT_EQ(ToolExitCodes(r), std::vector<int32_t>{-110});
    ExpectFlashUntouched(r);
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, FailingMicomToolEndsTheRunAfterTheBiosWithoutSwitchOff) {
    json r = Report(RunScenario("micom-tool-fails", "micom-tool-fails", "full"));
    EXPECT_EQ(ResultCode(r), 0x8000000Au) << r["result"].dump();
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Fail : Micom"}));
    EXPECT_EQ(ToolCommands(r), (Strings{kBiosTool, kMicomTool}));
    EXPECT_EQ(ToolExitCodes(r), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
    Strings files = WorkingFolderFiles(r);
    EXPECT_FALSE(Contains(files, "WinUpV01_10.exe"));
    EXPECT_FALSE(Contains(files, "kbc.bin"));
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, FlashToolThatCrashesFailsTheBiosUpdateBeforeTheMicom) {
    json r = Report(RunScenario("bios-tool-crashes", "bios-tool-crashes", "full"));
    EXPECT_EQ(ResultCode(r), 0x80000009u) << r["result"].dump();
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Fail : Update Bios"}));
    EXPECT_EQ(ToolCommands(r), Strings{kBiosTool});
    EXPECT_EQ(ToolExitCodes(r), std::vector<int32_t>{static_cast<int32_t>(0xC0000005u)});
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, PowerManagementBaseOfAllOnesFailsTheSmiStep) {
    json r = Report(RunScenario("no-pm-base", "no-pm-base", "full"));
    EXPECT_EQ(ResultCode(r), 0x8000000Du) << r["result"].dump();
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Fail : Enable SMI"}));
    EXPECT_EQ(ToolCommands(r), (Strings{kBiosTool, kMicomTool}));
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, OptionsThatKeepTheSystemOnEndTheUpdateWithoutArmingOrMessage) {
    struct Row {
        const char* option;
        bool micomToolRuns;
    };
    const Row rows[] = {
        {"/BLOCK_POWER_OFF", true},
        {"/SKIP_UPDATE_MICOM", false},
        {"/VISTA_UPGRADE", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.option);
        json r = Report(RunScenario(std::string("option-") + (row.option + 1), "default", "full", {row.option}));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        // The confirmation comes before the options are read; no completion message follows.
        EXPECT_EQ(Captions(r), Strings{"Warning"});
        Strings expected = row.micomToolRuns ? Strings{kBiosTool, kMicomTool} : Strings{kBiosTool};
        EXPECT_EQ(ToolCommands(r), expected);
        EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
        EXPECT_EQ(r["controller"]["micomImage"].is_object(), row.micomToolRuns);
        ExpectNotebookLeftUsable(r);
    }
}

TEST(Scenario, ReadBiosDumpsTheTopMegabyteOfTheFlashWindowWithoutFlashing) {
    json r = Report(RunScenario("read-bios", "default", "full", {"/READ_BIOS"}));
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_EQ(Captions(r), Strings{"Warning"});
    EXPECT_TRUE(ToolCommands(r).empty());
    ASSERT_TRUE(r["workingFolder"].contains("readRomFile")) << r["workingFolder"].dump();
    EXPECT_EQ(r["workingFolder"]["readRomFile"]["size"], 1048576);
    EXPECT_EQ(r["workingFolder"]["readRomFile"]["equalsTopMegabyteOfFlashWindow"], true);
    EXPECT_EQ(r["workingFolder"]["readRomFile"]["crc32"], r["flash"]["topMegabyteCrc32"]);
    ExpectFlashUntouched(r);
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>());
    EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
}

TEST(Scenario, ClearCmosPackageClearsCmosAfterTheMicomStep) {
    json r = Report(RunScenario("clear-cmos", "default", "clear-cmos"));
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_TRUE(r["cmos"]["cleared"].get<bool>());
    EXPECT_FALSE(r["cmos"]["clearedByFlashTool"].get<bool>());
    EXPECT_EQ(r["switchOff"]["flags"], 8);
}

TEST(Scenario, FlashTableMarksShowInTheBlocksTheToolWrote) {
    struct Row {
        const char* world;
        const char* package;
        Strings options;
        int topAttributes;
        uint32_t escdLength, escdOffset;
        int block8Pages;
    };
    const Row rows[] = {
        // The package's MarkLastFlashBlock turns the top record's 0x122 into 0x22.
        {"marks-package-default", "full", {}, 0x22, 0x8000, 0x88000, 8},
        {"marks-unmarked", "unmarked", {}, 0x122, 0x8000, 0x88000, 8},
        // /BREAK_ESCD widens the ESCD record to its whole block.
        {"marks-break-escd", "full", {"/BREAK_ESCD"}, 0x22, 0x10000, 0x80000, 16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunScenario(row.world, "default", row.package, row.options));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        const json* top = WrittenRecord(r, 31);
        const json* escd = WrittenRecord(r, 8);
        ASSERT_NE(top, nullptr);
        ASSERT_NE(escd, nullptr);
        EXPECT_EQ((*top)["attributes"], row.topAttributes);
        EXPECT_EQ((*escd)["length"], row.escdLength);
        EXPECT_EQ((*escd)["imageOffset"], row.escdOffset);
        EXPECT_EQ((*escd)["flashAddress"], 0xFFE00000u + row.escdOffset);
        EXPECT_EQ(r["flash"]["contents"][8]["holds"][0]["pages"], row.block8Pages);
    }
}

TEST(Scenario, MissingImagesEndTheRunBeforeAnyTool) {
    struct Row {
        const char* package;
        uint32_t code;
        const char* caption;
        const char* text;
    };
    const Row rows[] = {
        {"no-platform-image", 0x8000000Bu, "Fail : Bios File", "Invalid BIOS file."},
        {"no-micom", 0x8000000Cu, "Fail : Micom File", "Invalid MICOM file."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.package);
        json r = Report(RunScenario(row.package, "default", row.package));
        EXPECT_EQ(ResultCode(r), row.code) << r["result"].dump();
        ASSERT_EQ(Captions(r), (Strings{"Warning", row.caption}));
        EXPECT_EQ(r["messageBoxes"][1]["text"], row.text);
        EXPECT_TRUE(ToolCommands(r).empty());
        ExpectFlashUntouched(r);
        ExpectNotebookLeftUsable(r);
    }
}

TEST(Scenario, FlashToolThatCannotBeStartedFailsTheBiosUpdate) {
    json r = Report(RunScenario("unstartable-tool", "default", "unstartable-tool"));
    EXPECT_EQ(ResultCode(r), 0x80000009u) << r["result"].dump();
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Fail : Update Bios"}));
    ASSERT_EQ(r["tools"]["runs"].size(), 1u);
    EXPECT_FALSE(r["tools"]["runs"][0]["started"].get<bool>());
    ExpectFlashUntouched(r);
    ExpectNotebookLeftUsable(r);
}

// The current DMI values as the default notebook holds them, as the BIOS tool gets them.
const std::string kCurrentDmiValues = " /DO0:000A000000000000 /DO1:00/00/0000 /DSS:KV580A1234567";

TEST(Scenario, DmiArgumentsFollowTheBiosFlagsKindAndTheModeOption) {
    struct Row {
        const char* world;
        const char* machine;
        Strings options;
        std::string biosTool;
        const char* flagAfter;
    };
    const Row rows[] = {
        // A flag of kind "A" and no mode option: the tool gets no DMI arguments.
        {"dmi-flag-a", "default", {}, kBiosTool, "000A000000000000"},
        // Another kind letter: the current flag goes back corrected, with the current date and serial.
        {"dmi-flag-corrected", "dmi-flag-wrong-kind", {}, kBiosTool + std::string(" /MODE=3") + kCurrentDmiValues,
         "000A000000000000"},
        // With /MODE=1 the tool gets the mode alone and writes nothing.
        {"dmi-flag-mode-1", "dmi-flag-wrong-kind", {"/MODE=1"}, kBiosTool + std::string(" /MODE=1"), "0000000000000000"},
        // /MODE=3 with a flag of the right kind: the current values follow the option.
        {"dmi-mode-3", "default", {"/MODE=3"}, kBiosTool + std::string(" /MODE=3") + kCurrentDmiValues, "000A000000000000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunScenario(row.world, row.machine, "full", row.options));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
        EXPECT_EQ(ToolCommands(r), (Strings{row.biosTool, kMicomTool}));
        EXPECT_EQ(r["dmi"]["after"]["biosFlag"], row.flagAfter);
        EXPECT_EQ(r["dmi"]["after"]["serial"], "KV580A1234567");
        EXPECT_EQ(r["dmi"]["after"]["purchaseDate"], "00/00/0000");
        EXPECT_FALSE(r["dmiDialog"]["shown"].get<bool>());
        EXPECT_EQ(r["switchOff"]["flags"], 8);
    }
}

TEST(Scenario, DmiArgumentsThatDoNotFitTheToolsCommandLineRefuseTheRunBeforeTheTool) {
    // 36 further options leave the line 209 characters long: the 57 of the values do not fit.
    Strings options = {"/MODE=3"};
    for (int i = 0; i < 36; ++i) options.push_back("/BBL");
    json r = Report(RunScenario("dmi-too-long", "default", "full", options));
    EXPECT_EQ(ResultCode(r), 0x8000000Eu) << r["result"].dump();
    ASSERT_EQ(Captions(r), (Strings{"Warning", "Fail : Invalid Option"}));
    EXPECT_TRUE(ToolCommands(r).empty());
    ExpectFlashUntouched(r);
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, DmiOnlyPackageWritesTheValuesEnteredInTheDialogAndLeavesTheSystemOn) {
    const std::string biosTool = kBiosTool + std::string(" /MODE=1 /DO0:000B111111111111 /DO1:04/01/2012 /DSS:KV580B7654321");
    struct Row {
        const char* world;
        Strings options;
        Strings captions;
    };
    const Row rows[] = {
        {"dmi-only-ok", {}, {"Warning", "Error : String length", "Complete"}},
        // The length message and the completion are suppressed (the confirmation comes before the
        // options are read); the dialog still appears.
        {"dmi-only-no-messagebox", {"/NO_MESSAGEBOX"}, {"Warning"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunScenario(row.world, "dmi-dialog", "dmi-only", row.options));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        ASSERT_EQ(Captions(r), row.captions);
        if (row.captions.size() > 1) {
            EXPECT_EQ(r["messageBoxes"][1]["text"], "The string length of System Serial must be 13.");
            EXPECT_EQ(r["messageBoxes"][2]["text"], "DMI Update is complete.\n\nRestart system.");
        }
        const json& dialog = r["dmiDialog"];
        ASSERT_TRUE(dialog["shown"].get<bool>()) << dialog.dump();
        EXPECT_EQ(dialog["title"], "BCPDMI Setting");
        EXPECT_EQ(dialog["presses"], (json{"ok", "ok"}));
        // Only the BIOS tool runs, with the entered values.
        EXPECT_EQ(ToolCommands(r), Strings{biosTool});
        EXPECT_EQ(r["dmi"]["after"]["serial"], "KV580B7654321");
        EXPECT_EQ(r["dmi"]["after"]["biosFlag"], "000B111111111111");
        EXPECT_EQ(r["dmi"]["after"]["purchaseDate"], "04/01/2012");
        EXPECT_TRUE(r["controller"]["micomImage"].is_null());
        EXPECT_EQ(r["progressWindow"]["steps"][1]["line"], "Update DMI information.");
        // Neither armed nor switched off; keyboard and mouse back; the working files gone.
        EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>()) << r["inputDevices"].dump();
        EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
        EXPECT_FALSE(r["controller"]["powerOn"]["armed"].get<bool>());
        for (const char* gone : {"WinUpV01_10.exe", "kbc.bin", "bios.wph"})
            EXPECT_FALSE(Contains(WorkingFolderFiles(r), gone)) << gone;
    }
}

TEST(Scenario, CancelInTheDmiDialogEndsWithZeroWithoutFlashing) {
    json r = Report(RunScenario("dmi-only-cancel", "dmi-dialog-cancel", "dmi-only"));
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    ASSERT_EQ(Captions(r), (Strings{"Warning", "Stop Update"}));
    EXPECT_EQ(r["messageBoxes"][1]["text"], "Cancel DMI Update.");
    EXPECT_EQ(r["dmiDialog"]["presses"], json{"cancel"});
    EXPECT_TRUE(ToolCommands(r).empty());
    ExpectFlashUntouched(r);
    ExpectNotebookLeftUsable(r);
}

TEST(Scenario, CancelAtTheConfirmationEndsWithNothingExtracted) {
    json r = Report(RunScenario("cancel", "cancel-confirmation", "full"));
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    ASSERT_EQ(Captions(r), Strings{"Warning"});
    EXPECT_EQ(r["messageBoxes"][0]["answer"], "Cancel");
    EXPECT_FALSE(r["progressWindow"]["shown"].get<bool>());
    for (const std::string& name : WorkingFolderFiles(r)) EXPECT_EQ(name, "DebugLog.txt");
    EXPECT_TRUE(ToolCommands(r).empty());
    ExpectFlashUntouched(r);
    EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
}

TEST(Scenario, PhxProgramRunsAFullUpdate) {
    json r = Report(RunScenario("phx-full-update", "default", "phx-full"));
    EXPECT_EQ(r["run"]["variant"], "romshell-phx");
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
    EXPECT_EQ(ToolCommands(r), (Strings{kBiosTool, kMicomTool}));
    EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
    EXPECT_EQ(r["controller"]["powerOn"]["how"], "0xE887 bit 0");
    EXPECT_EQ(r["switchOff"]["flags"], 8);
    // romshell-phx leaves the files of its package that no step names, and nothing of the run.
    for (const char* gone : {"SWinFlash.exe", "WinUpV01_10.exe", "bios.wph", "kbc.bin", "bios.bak", "RSRK0108.WPH"})
        EXPECT_FALSE(Contains(WorkingFolderFiles(r), gone)) << gone;
}

// The packed sample program of build/dist, when it was packed with this build's emulated tools.
TEST(Scenario, DistributedSampleProgramUpdatesTheDefaultNotebook) {
    fs::path dist = fs::path(ROMSHELL_SOURCE_DIR) / "build" / "dist" / "romshell.exe";
    if (!fs::exists(dist)) GTEST_SKIP() << dist << " is not made (scripts/make-dist.sh)";
    fs::path unpacked = fs::path(SCENARIO_WORLDS) / "dist-unpacked";
    std::error_code ec;
    fs::remove_all(unpacked, ec);
    std::string command = std::string("\"") + ROMSHELL_PACK + "\" extract \"" + dist.string() + "\" -o \"" + unpacked.string() +
                          "\" > /dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << dist << " cannot be extracted";
    auto bytes = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    if (bytes(unpacked / "SWinFlash_64.exe") != bytes(EMU_SWINFLASH))
        GTEST_SKIP() << dist << " was not packed with this build's emulated tools";
    fs::remove_all(unpacked, ec);

    std::string root = std::string(SCENARIO_WORLDS) + "/dist";
    scenario::Run run = scenario::RunNotebookEmu({"run", "--machine", scenario::Machine("default"), "--program", dist.string(),
                                                  "--root", root, "--json", root + ".json"});
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream in(root + ".json");
    json r = json::parse(in);
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
    EXPECT_EQ(r["switchOff"]["flags"], 8);
}

// ---------------------------------------------------------------------------------------------
// notebook-emu's own behaviour

TEST(NotebookEmu, ReportOfAnEarlierRunRepeatsTheRunsReport) {
    scenario::Run run = RunScenario("report-again", "cancel-confirmation", "full");
    json first = Report(run);
    std::string root = std::string(SCENARIO_WORLDS) + "/report-again";
    scenario::Run again = scenario::RunNotebookEmu({"report", "--root", root, "--json", root + "-again.json"});
    ASSERT_EQ(again.status, 0) << again.output;
    std::ifstream in(root + "-again.json");
    EXPECT_EQ(json::parse(in), first);
    EXPECT_NE(again.output.find("Result: 0x00000000 Success"), std::string::npos) << again.output;
}

TEST(NotebookEmu, ArgumentErrorsEndWithTwoAndSayWhy) {
    fs::path folder = fs::path(SCENARIO_WORLDS) / "argument-errors";
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder / "empty");
    std::ofstream(folder / "no-marker.exe") << "MZ a program file without an unpacker marker";
    struct Row {
        Strings arguments;
        const char* said;
    };
    const Row rows[] = {
        {{}, "subcommand"},
        {{"run", "--program", scenario::Package("full")}, "--machine"},
        {{"run", "--machine", scenario::Machine("default"), "--program", (folder / "no-marker.exe").string(),
          "--root", (folder / "world").string()},
         "marker"},
        {{"run", "--machine", scenario::Machine("default"), "--program", scenario::Package("full"), "--variant", "other"},
         "--variant"},
        {{"report", "--root", (folder / "empty").string()}, "not an emulated world"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.arguments));
        scenario::Run run = scenario::RunNotebookEmu(row.arguments);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find(row.said), std::string::npos) << run.output;
    }
}

}  // namespace
