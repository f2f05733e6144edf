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
using scenario::RunPatchedScenario;
using scenario::RunScenario;
using scenario::ToolCommands;
using scenario::WorkingFolderFiles;

using Strings = std::vector<std::string>;

const char* const kBiosTool = "SWinFlash bios.wph /P";
const char* const kMicomTool = "WinUpV01_10 kbc.bin /FORCE";
const char* const kNewVersion = "08RK";
const char* const kAmiTool64 = "afuwinx64 bios.rom /p /b /n /e /r";

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

// What the AMI tool wrote: the flash part holds the image, the BIOS area the image's identity.
bool AmiToolWrote(const json& r) {
    for (const json& e : r["tools"]["biosFlashTool"])
        if (e.value("written", false)) return true;
    return false;
}

// A tool that could not be started has no exit code.
constexpr int32_t kNotStarted = 0x7FFFFFFF;

std::vector<int32_t> ToolExitCodes(const json& r) {
    std::vector<int32_t> out;
    for (const json& t : r["tools"]["runs"]) out.push_back(t.value("exitCodeSigned", kNotStarted));
    return out;
}

void ExpectFlashUntouched(const json& r) {
    EXPECT_TRUE(r["flash"]["written"].empty());
    for (const json& b : r["flash"]["contents"]) EXPECT_TRUE(b["holds"].empty()) << "block " << b["block"];
    EXPECT_EQ(r["dmi"]["changed"], json::array());
}

// What every failing run must leave: keyboard and mouse back, the working files gone, the system
// on and not armed to switch on.
void ExpectNotebookLeftUsable(const json& r, const Strings& files = {"DebugLog.txt"}) {
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>()) << r["inputDevices"].dump();
    EXPECT_EQ(WorkingFolderFiles(r), files);
    EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
    EXPECT_FALSE(r["switchOff"].contains("flags")) << "a switch-off was asked for";
    EXPECT_FALSE(r["controller"]["powerOn"]["armed"].get<bool>());
}

// ---------------------------------------------------------------------------------------------

TEST(Scenario, FullUpdateWritesTheImageArmsTheLegacyControllerAndSwitchesOff) {
    const scenario::Run run = RunPatchedScenario("full-update", "default",
                                                 json::parse(R"({"pci": {"smiControl": "0x0000"}})"), "full");
    json r = Report(run);
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
    // The profile's notebook starts with the SMI control bit clear: the run sets it.
    EXPECT_EQ(r["smi"]["controlWordBefore"], 0);
    EXPECT_TRUE(r["smi"]["enabled"].get<bool>());
    // Keyboard and pointing device off while each tool ran, on again at the end.
    ASSERT_EQ(r["inputDevices"]["whileTools"].size(), 2u) << r["inputDevices"].dump();
    for (const json& t : r["inputDevices"]["whileTools"]) {
        EXPECT_FALSE(t["keyboardInterface"].get<bool>()) << t["tool"];
        EXPECT_FALSE(t["auxiliaryInterface"].get<bool>()) << t["tool"];
    }
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>());
    // 64-bit Windows does not run the class installer for the 32-bit program: the mice were never
    // held off, and the report says why.
    EXPECT_FALSE(r["inputDevices"]["miceHeldOff"].get<bool>());
    EXPECT_EQ(r["inputDevices"]["miceStayedOnBecause"]["name"], "ERROR_IN_WOW64");
    EXPECT_EQ(r["inputDevices"]["miceStayedOnBecause"]["error"], 0xE0000235u);
    EXPECT_NE(run.output.find("the mice stayed on during the update: the class installer is not run for a 32-bit "
                              "program on 64-bit Windows (ERROR_IN_WOW64, 0xE0000235)"),
              std::string::npos)
        << run.output;
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

// On a system in another language the program speaks it: the library of the language, its texts
// as the system's code page gives them, reported in UTF-8.
TEST(Scenario, AnUpdateOnASystemInAnotherLanguageSpeaksItsLanguage) {
    struct Row {
        const char* machine;
        const char* warning;   // caption of the confirmation
        const char* complete;  // caption of the completion
    };
    const Row rows[] = {
        {"fr-fr", "Avertissement", "Mise \u00e0 jour termin\u00e9e"},
        {"ru-ru", "\u041f\u0440\u0435\u0434\u0443\u043f\u0440\u0435\u0436\u0434\u0435\u043d\u0438\u0435", nullptr},
        {"zh-tw", "\u8b66\u544a", nullptr},
        {"ko-kr", "\uacbd\uace0", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.machine);
        json r = Report(RunScenario(row.machine, row.machine, "full"));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        Strings captions = Captions(r);
        ASSERT_EQ(captions.size(), 2u);
        EXPECT_EQ(captions[0], row.warning);
        if (row.complete != nullptr) EXPECT_EQ(captions[1], row.complete);
        EXPECT_NE(captions[1], "Update Complete");
        for (const json& step : r["progressWindow"]["steps"]) EXPECT_NE(step["line"], "File Extraction");
    }
}

// ---------------------------------------------------------------------------------------------
// Failing steps

// What the working folder holds after a failure, as the clean-up of that point leaves it.
enum class Folder {
    Absent,          // the run ended before it made anything, the folder included
    NotMade,         // the failure came before the working folder was prepared
    LogOnly,         // everything of the run is gone
    Unsearched,      // the image search had not run: the image and the MICOM image are no candidates
    Unstaged,        // the tool sets had not been staged either: both Phoenix sets stay as packed
    // The AMI path never lists the Phoenix image: it stays whenever the working folder does.
    AmiUnsearched,   // before the ".rom" search: the AMI image and the MICOM image stay
    AmiMicomUnsearched,  // between the ".rom" search and the MICOM search: the MICOM image stays
    AmiSearched,     // after both searches
};

Strings FolderFiles(Folder folder) {
    switch (folder) {
        case Folder::Absent:
        case Folder::NotMade: return {};
        case Folder::LogOnly: return {"DebugLog.txt"};
        case Folder::Unsearched: return {"DebugLog.txt", "KBRK0105.BIN", "RSRK0108.WPH"};
        case Folder::Unstaged:
            return {"DebugLog.txt",    "KBRK0105.BIN",    "PHLASH_32.INI",    "PHLASH_64.INI",    "PhlashLc_32.dll",
                    "PhlashLc_64.dll", "PhlashNT_32.sys", "PhlashNT_64.sys",  "RSRK0108.WPH",     "SWinFlash_32.exe",
                    "SWinFlash_64.exe"};
        case Folder::AmiUnsearched: return {"A3200208.rom", "DebugLog.txt", "KBRK0105.BIN", "RSRK0108.WPH"};
        case Folder::AmiMicomUnsearched: return {"DebugLog.txt", "KBRK0105.BIN", "RSRK0108.WPH"};
        case Folder::AmiSearched: return {"DebugLog.txt", "RSRK0108.WPH"};
    }
    return {};
}

struct FailingStep {
    const char* world;
    const char* machine;
    const char* patch;  // laid over the machine's profile
    const char* package;
    Strings options;
    uint32_t code;
    Strings captions;   // the message boxes in order; the last one is the failure's
    Strings textHas;    // pieces of the failure's text
    Strings tools;
    std::vector<int32_t> toolExitCodes;
    size_t blocksWithNewImage;
    Folder folder;
};

// One row for every step of the sequence that can fail, made to fail by the profile (a fault knob
// or the value that the step refuses) or by the package.
const FailingStep kFailingSteps[] = {
    {"fail-driver", "default", R"({"faults": {"serviceStartFails": true}})", "full", {},
     0x80000005u, {"Fail : Driver Load"}, {"Loading driver failed.\n\nRestart system."}, {}, {}, 0, Folder::NotMade},
    // 64-bit Windows and a package whose only access driver is the 32-bit one: Windows does not
    // start it, as a real notebook would not.
    {"fail-driver-32bit-only", "default", R"({"windows": {"wow64": true}})", "driver32-only", {},
     0x80000005u, {"Fail : Driver Load"}, {"Loading driver failed.\n\nRestart system."}, {}, {}, 0, Folder::NotMade},
    {"fail-ac", "default", R"({"power": {"acLine": 0}})", "full", {},
     0x80000010u, {"Fail : Power"}, {"AC adapter is not connected.\n\nFor update, the AC adapter has to be connected."},
     {}, {}, 0, Folder::NotMade},
    {"fail-battery", "default", R"({"power": {"batteryPercent": 29}})", "full", {},
     0x80000011u, {"Fail : Power"}, {"charge\r\nlevel of the battery is lower than 30%.\n\nCheck your battery."},
     {}, {}, 0, Folder::NotMade},
    {"fail-ac-and-battery", "default", R"({"power": {"acLine": 0, "batteryPercent": 255}})", "full", {},
     0x80000012u, {"Fail : Power"}, {"of the battery is lower than 30%. \n\nCheck your AC adapter and battery."},
     {}, {}, 0, Folder::NotMade},
    {"fail-no-temp", "no-temp", "{}", "full", {},
     0x8000000Fu, {"Fail : Directory"}, {"Fail to create directory."}, {}, {}, 0, Folder::NotMade},
    {"fail-disk-space", "default", R"({"windows": {"freeBytes": 2097151}})", "full", {},
     0x80000001u, {"Fail : Disk Space"}, {"Remaining free disk space: 1Mbytes\n Required free disk space: 2Mbytes"},
     {}, {}, 0, Folder::LogOnly},
    {"fail-option", "default", "{}", "full", {"/NO_SUCH_OPTION"},
     0x8000000Eu, {"Warning", "Fail : Invalid Option"}, {"Invalid Option.\nCheck the option."}, {}, {}, 0,
     Folder::Unstaged},
    {"fail-hdd-password", "secured-disk", "{}", "full", {},
     0x80000004u, {"Warning", "Fail : HDD Password"}, {"The HDD is password protected."}, {}, {}, 0,
     Folder::Unsearched},
    {"fail-no-platform-image", "default", "{}", "no-platform-image", {},
     0x8000000Bu, {"Warning", "Fail : Bios File"}, {"Invalid BIOS file."}, {}, {}, 0, Folder::LogOnly},
    {"fail-no-micom", "default", "{}", "no-micom", {},
     0x8000000Cu, {"Warning", "Fail : Micom File"}, {"Invalid MICOM file."}, {}, {}, 0, Folder::LogOnly},
    {"fail-other-model", "default", "{}", "other-model", {},
     0x80000008u, {"Warning", "Fail : Model(Bios Part Number)"},
     {"Current Model (BIOS Part Number) : R580(047)", "New Model (BIOS Part Number) : R590(051)"},
     {kBiosTool}, {-120}, 0, Folder::LogOnly},
    {"fail-not-newer", "default", "{}", "not-newer", {},
     0x80000013u, {"Warning", "Fail : Bios Date"},
     {"This system's BIOS version is the latest.\n\nUpdate program will be terminated."}, {kBiosTool}, {-110}, 0,
     Folder::LogOnly},
    {"fail-bios-tool-crashes", "bios-tool-crashes", "{}", "full", {},
     0x80000009u, {"Warning", "Fail : Update Bios"}, {"BIOS Update failed."}, {kBiosTool},
     {static_cast<int32_t>(0xC0000005u)}, 0, Folder::LogOnly},
    {"fail-bios-tool-unstartable", "default", "{}", "unstartable-tool", {},
     0x80000009u, {"Warning", "Fail : Update Bios"}, {"BIOS Update failed."}, {kBiosTool}, {kNotStarted}, 0,
     Folder::LogOnly},
    {"fail-micom-tool", "micom-tool-fails", "{}", "full", {},
     0x8000000Au, {"Warning", "Fail : Micom"}, {"MICOM Update failed."}, {kBiosTool, kMicomTool}, {0, 1}, 31,
     Folder::LogOnly},
    {"fail-smi-enable", "no-pm-base", "{}", "full", {},
     0x8000000Du, {"Warning", "Fail : Enable SMI"}, {"SMI setting failed."}, {kBiosTool, kMicomTool}, {0, 0}, 31,
     Folder::LogOnly},
    // Signed, then one byte of the package changed: refused before anything is extracted.
    {"fail-signed-changed", "default", "{}", "signed-changed", {},
     0x80000003u, {"Fail : Unpack"}, {"The program file is damaged: it changed after it was signed."}, {}, {}, 0,
     Folder::Absent},
    // The AMI path (emu/machines/ami-*.json, version 208 at 0xF457D in the "AMIBIOS" block at 0xF4563).
    {"fail-ami-hdd-password", "ami-208", R"({"drives": [{"kind": "ata", "securityEnabled": true}]})", "ami", {},
     0x80000004u, {"Warning", "Fail : HDD Password"}, {"The HDD is password protected."}, {}, {}, 0,
     Folder::AmiUnsearched},
    // The newer controller's device is gone when the chip check opens it again for the mailbox.
    {"fail-ami-chip-check", "ami-208-newer-ec", R"({"faults": {"deviceOpenFailures": 20, "deviceOpensBeforeFailures": 3}})",
     "ami", {}, 0x80000005u, {"Warning", "Fail : Driver Load"}, {"Loading driver failed."}, {}, {}, 0,
     Folder::AmiMicomUnsearched},
    // Without its block the search finds the "AMIBIOS Version" marker, with no digits at 26.
    {"fail-ami-no-block", "ami-208", R"({"memory": {"patches": [{"address": "0xF4563", "text": "NOBLOCK"}]}})", "ami", {},
     0x80000005u, {"Warning", "Fail : Driver Load"}, {"Loading driver failed."}, {}, {}, 0, Folder::AmiSearched},
    // A negative version would pass the unsigned comparison as the newest of all.
    {"fail-ami-negative-version", "ami-208", R"({"memory": {"patches": [{"address": "0xF457D", "text": "-0000005"}]}})",
     "ami", {}, 0x80000005u, {"Warning", "Fail : Driver Load"}, {"Loading driver failed."}, {}, {}, 0,
     Folder::AmiSearched},
    {"fail-ami-smi-enable", "ami-208", R"({"pci": {"pmBase": "0xFFFFFFFF"}})", "ami", {},
     0x8000000Du, {"Warning", "Fail : Enable SMI"}, {"SMI setting failed."}, {kAmiTool64}, {0},
     0, Folder::AmiSearched},
};

TEST(Scenario, EveryFailingStepReportsItsCodeAndLeavesTheNotebookUsable) {
    for (const FailingStep& row : kFailingSteps) {
        SCOPED_TRACE(row.world);
        if (!fs::exists(scenario::Package(row.package))) {
            // The signed packages need the Windows program and the signing tool.
            std::printf("%s: no package %s (the win32 preset or osslsigncode is missing)\n", row.world, row.package);
            continue;
        }
        json r = Report(RunPatchedScenario(row.world, row.machine, json::parse(row.patch), row.package, row.options));
        EXPECT_EQ(ResultCode(r), row.code) << r["result"].dump();
        EXPECT_EQ(Captions(r), row.captions);
        if (!r["messageBoxes"].empty()) {
            const json& box = r["messageBoxes"].back();
            EXPECT_EQ(box["style"], 0x10);
            const std::string text = box.value("text", "");
            for (const std::string& piece : row.textHas) EXPECT_NE(text.find(piece), std::string::npos) << text;
        }
        EXPECT_EQ(ToolCommands(r), row.tools);
        EXPECT_EQ(ToolExitCodes(r), row.toolExitCodes);
        // The emulated AMI tool reports what it wrote; the flash part's blocks show the Phoenix tool's.
        EXPECT_EQ(AmiToolWrote(r), Contains(row.tools, kAmiTool64));
        if (row.blocksWithNewImage == 0) {
            ExpectFlashUntouched(r);
        } else {
            EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), row.blocksWithNewImage);
        }
        EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>()) << r["inputDevices"].dump();
        // The folder itself is made at the start, for the files needed before the package is
        // unpacked; one that was never prepared holds none of the run's files.
        EXPECT_EQ(r["workingFolder"]["exists"].get<bool>(),
                  row.folder != Folder::Absent && r["workingFolder"]["path"].is_string());
        EXPECT_EQ(WorkingFolderFiles(r), FolderFiles(row.folder));
        EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
        EXPECT_FALSE(r["switchOff"].contains("flags")) << "a switch-off was asked for";
        EXPECT_FALSE(r["controller"]["powerOn"]["armed"].get<bool>());
    }
}

TEST(Scenario, ReportSaysWhyWindowsDidNotStartTheAccessDriver) {
    json r = Report(RunPatchedScenario("driver-why", "default", json::parse(R"({"windows": {"wow64": true}})"),
                                       "driver32-only", {}));
    ASSERT_EQ(ResultCode(r), 0x80000005u) << r["result"].dump();
    const json& refused = r["result"]["driverNotStarted"];
    EXPECT_EQ(refused.value("why", ""), "a 32-bit (i386) driver; this 64-bit Windows loads only x64 drivers");
    EXPECT_NE(refused.value("imagePath", "").find("\\ADDMEM.SYS"), std::string::npos) << refused.dump();
    // The same package on 32-bit Windows starts its driver and updates the notebook.
    r = Report(RunPatchedScenario("driver-32bit", "default", json::parse(R"({"windows": {"wow64": false}})"),
                                  "driver32-only", {}));
    EXPECT_FALSE(r["result"].contains("driverNotStarted")) << r["result"].dump();
    EXPECT_NE(ResultCode(r), 0x80000005u) << r["result"].dump();
}

TEST(Scenario, WithoutTempTheRunEndsAfterThePowerCheckWithItsLogOnDriveC) {
    json r = Report(RunScenario("no-temp", "no-temp", "full"));
    EXPECT_EQ(ResultCode(r), 0x8000000Fu) << r["result"].dump();
    ASSERT_EQ(Captions(r), Strings{"Fail : Directory"});
    EXPECT_EQ(r["messageBoxes"][0]["text"], "Fail to create directory.");
    EXPECT_FALSE(r["progressWindow"]["shown"].get<bool>());
    EXPECT_TRUE(r["workingFolder"]["path"].is_null());
    // Without TEMP the driver file and the language library go to a startup folder on C:\, which is
    // then current: the log lines up to the failure are written there, and the power check was the
    // last step.
    Strings logs;
    for (const json& log : r["debugLogs"]) logs.push_back(log["path"].get<std::string>());
    ASSERT_EQ(logs, Strings{"C:\\__Korvane_Update\\Startup\\DebugLog.txt"});
    const json& lines = r["debugLogs"][0]["lines"];
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Check System Power");
    EXPECT_TRUE(ToolCommands(r).empty());
    ExpectFlashUntouched(r);
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>());
    EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
}

// ---------------------------------------------------------------------------------------------
// The ending

TEST(Scenario, ArmingThatFailsIsReportedAndTheSystemIsSwitchedOffAllTheSame) {
    struct Row {
        const char* world;
        const char* machine;
        const char* patch;
        Strings options;
        Strings tools;
        bool armingFails;  // the program saw the arming fail
        const char* how;   // how the controller was armed; nullptr: not at all
        const char* package = "full";
    };
    const Row rows[] = {
        // The controller never answers the read of its RAM byte 0xE887: the bit is not set.
        {"arm-legacy-fails", "default", R"({"faults": {"kbcNeverPresentsOutput": true}})", {}, {kBiosTool, kMicomTool},
         true, nullptr},
        // The mailbox took command 0xDC but never reports it finished.
        {"arm-mailbox-fails", "newer-ec-mailbox", R"({"faults": {"mailboxNeverClears": true}})", {}, {kBiosTool},
         true, "command 0xDC through the mailbox"},
        // The newer controller is armed and switched off even when the options ask to stay on.
        {"arm-newer-block-power-off", "newer-ec-mailbox", "{}", {"/BLOCK_POWER_OFF"}, {kBiosTool}, false,
         "command 0xDC through the mailbox"},
        {"arm-newer-kbc-block-power-off", "newer-ec-kbc", "{}", {"/BLOCK_POWER_OFF"}, {kBiosTool}, false,
         "command 0xDC through the keyboard controller"},
        // The AMI path ends the same way.
        {"arm-ami-legacy-fails", "ami-208", R"({"faults": {"kbcNeverPresentsOutput": true}})", {}, {kAmiTool64}, true,
         nullptr, "ami"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunPatchedScenario(row.world, row.machine, json::parse(row.patch), row.package, row.options));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        EXPECT_EQ(ToolCommands(r), row.tools);
        if (std::string(row.package) == "ami") {
            EXPECT_TRUE(AmiToolWrote(r));
        } else {
            EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
        }
        EXPECT_EQ(r["controller"]["powerOn"]["armed"], row.how != nullptr);
        if (row.how != nullptr) EXPECT_EQ(r["controller"]["powerOn"]["how"], row.how);
        EXPECT_EQ(r["controller"]["ramE887"]["after"], r["controller"]["ramE887"]["before"]);
        if (row.armingFails) {
            ASSERT_EQ(Captions(r), (Strings{"Warning", "Update Complete", "Fail : Set Auto On"}));
            EXPECT_EQ(r["messageBoxes"][2]["text"], "Auto On setting failed.");
            EXPECT_EQ(r["messageBoxes"][2]["style"], 0x10);
        } else {
            EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
        }
        EXPECT_FALSE(Contains(WorkingFolderFiles(r), "AddMem.sys"));
        EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>()) << r["inputDevices"].dump();
        EXPECT_EQ(r["switchOff"]["switchedOff"], true);
        EXPECT_EQ(r["switchOff"]["flags"], 8);
    }
}

// ---------------------------------------------------------------------------------------------
// Other Windows versions and their access devices

TEST(Scenario, FullUpdateOnEveryAccessDevice) {
    struct Row {
        const char* machine;  // the world's name too
        const char* device;
    };
    const Row rows[] = {
        {"win7-x86", "QLIX"},
        {"vista-x64", "KMDFMEMIO"},
        {"xp-x86", "ADDMEM"},
        {"win98", "MEMIO.VXD"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.machine);
        json r = Report(RunScenario(row.machine, row.machine, "full"));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
        EXPECT_EQ(ToolCommands(r), (Strings{kBiosTool, kMicomTool}));
        EXPECT_EQ(ToolExitCodes(r), (std::vector<int32_t>{0, 0}));
        EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
        EXPECT_EQ(r["biosIdentity"]["after"]["version"], kNewVersion);
        EXPECT_EQ(r["controller"]["powerOn"]["how"], "0xE887 bit 0");
        EXPECT_TRUE(r["smi"]["enabled"].get<bool>());
        EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>()) << r["inputDevices"].dump();
        EXPECT_EQ(WorkingFolderFiles(r), Strings{"DebugLog.txt"});
        EXPECT_EQ(r["switchOff"]["switchedOff"], true);
        EXPECT_EQ(r["switchOff"]["flags"], 8);
        EXPECT_TRUE(r["notes"]["protocolErrors"].empty()) << r["notes"]["protocolErrors"].dump();
    }
}

// On the 9x family the chipset's words go through the VxD's byte codes; the SMI control word must
// still be read and written as a word.
TEST(Scenario, GlobalSmiBitThatIsClearIsSetOnThe9xFamily) {
    const scenario::Run run = RunScenario("win98-smi-clear", "win98-smi-clear", "full");
    json r = Report(run);
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_EQ(r["smi"]["controlWordBefore"], 0x2040);
    EXPECT_EQ(r["smi"]["controlWord"], 0x2041);
    EXPECT_TRUE(r["smi"]["enabled"].get<bool>());
    EXPECT_NE(run.output.find("SMI: enabled"), std::string::npos) << run.output;
    // 32-bit Windows changes the devices: the mice were held off and are back.
    EXPECT_TRUE(r["inputDevices"]["miceHeldOff"].get<bool>());
    EXPECT_FALSE(r["inputDevices"].contains("miceStayedOnBecause"));
    EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>());
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

// The package's options hold for the checks before the unpack in both programs, whichever reads its
// command line first: on battery, a package that skips the power check and shows nothing reads the
// ROM without a word.
TEST(Scenario, ReadBiosKeepsThePackagesOptionsInBothPrograms) {
    for (const char* package : {"quiet-power", "phx-quiet-power"}) {
        SCOPED_TRACE(package);
        json r = Report(RunPatchedScenario(std::string("read-bios-") + package, "default",
                                           json::parse(R"({"power": {"acLine": 0, "batteryPercent": 20}})"), package,
                                           {"/READ_BIOS"}));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        EXPECT_TRUE(Captions(r).empty());
        ASSERT_TRUE(r["workingFolder"].contains("readRomFile")) << r["workingFolder"].dump();
        EXPECT_TRUE(ToolCommands(r).empty());
        EXPECT_FALSE(r["switchOff"]["switchedOff"].get<bool>());
    }
}

// TEMP under a folder with blanks, as on Windows 5.x: the tools are started by their program file,
// so a program planted at "C:\Documents.exe" (where an unquoted command line would look first)
// never runs, and each tool still gets the command line it always got.
TEST(Scenario, ToolsInAFolderWithBlanksNeverStartAPlantedProgram) {
    const char* temp = "C:\\Documents and Settings\\tech\\Local Settings\\Temp";
    json patch = {{"windows", {{"temp", temp}, {"files", {{"C:\\Documents.exe", "planted"}, {"C:\\Documents and.exe", "planted"}}}}}};
    json r = Report(RunPatchedScenario("planted-program", "xp-x86", patch, "full"));
    const std::string work = std::string(temp) + "\\__Korvane_Update\\";
    ASSERT_FALSE(r["tools"]["runs"].empty()) << r.dump(2);
    for (const json& run : r["tools"]["runs"]) {
        const std::string program = run["program"].get<std::string>();
        EXPECT_EQ(program.rfind(work, 0), 0u) << program;
        EXPECT_EQ(run["commandLine"].get<std::string>().rfind(work, 0), 0u) << "the line still starts with the folder";
    }
    EXPECT_EQ(r["tools"]["runs"][0]["commandLine"], work + "SWinFlash bios.wph /P");
    EXPECT_EQ(r["tools"]["runs"][0]["program"], work + "SWinFlash.exe");
}

// --- A second program of the logged-on user against the run (the profile's windows.attacks and
// windows.links). Who may change the working folder is enforced by its ACL on Windows, which Wine
// ignores: the emulated Windows models it, so these rows run here and not under Wine.

const std::string kTempPath = "C:\\Users\\tech\\AppData\\Local\\Temp";
const std::string kWorkPath = kTempPath + "\\__Korvane_Update";
const std::string kCanary = "C:\\Users\\tech\\Documents\\canary.txt";

// A file of a scenario's world as the emulated Windows holds it.
std::string WorldFile(const std::string& world, const std::string& windowsPath) {
    std::string host = std::string(SCENARIO_WORLDS) + "/" + world + "/C" + windowsPath.substr(2);
    std::replace(host.begin(), host.end(), '\\', '/');
    std::ifstream in(host, std::ios::binary);
    if (!in) return "(missing)";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Scenario, ThePlantedOrSwappedFileNeverRunsAndWhatTheUserLinkedSurvives) {
    struct Row {
        const char* world;
        std::string patch;           // laid over the default notebook; every row has the canary
        Strings options;
        uint32_t code;
        Strings attackOutcomes;      // of each attack, in order, with the error of a refusal
        Strings tools;
        std::string setAside;        // what the user's thing at the folder's path became, or ""
    };
    const std::string canary = "\"" + kCanary + "\": \"keep\"";
    const auto attack = [](const char* moment, const std::string& path) {
        return std::string("{\"moment\": \"") + moment + "\", \"path\": \"" + path + "\"}";
    };
    const auto escaped = [](std::string text) {
        std::string out;
        for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return out;
    };
    const auto windows = [&](const std::string& files, const std::string& links, const std::string& attacks) {
        return "{\"windows\": {\"files\": {" + escaped(files) + "}, \"links\": {" + escaped(links) +
               "}, \"attacks\": [" + escaped(attacks) + "]}}";
    };
    const Row rows[] = {
        // The folder is emptied before the confirmation; a tool dropped in while the box waits
        // would survive the staging (a rename never replaces).
        // The folder the run has just made is swapped for one of the user's, tool included, before
        // the run opens it: the folder is set aside, never taken.
        {"attack-folder-swapped-when-made", windows(canary, "", attack("folderMade", kWorkPath + "\\SWinFlash.exe")), {},
         0, {"planted"}, {kBiosTool, kMicomTool}, kWorkPath + ".1\\SWinFlash.exe"},
        {"attack-tool-at-confirmation", windows(canary, "", attack("confirmation", kWorkPath + "\\SWinFlash.exe")), {},
         0, {"refused 5"}, {kBiosTool, kMicomTool}, ""},
        {"attack-tool-swapped-before-run", windows(canary, "", attack("beforeTool", kWorkPath + "\\SWinFlash.exe")), {},
         0, {"refused 5"}, {kBiosTool, kMicomTool}, ""},
        // The driver no longer lies in bare TEMP: one planted there is never installed.
        {"attack-driver-swapped-before-service",
         windows(canary, "",
                 attack("serviceStart", kWorkPath + "\\Startup\\AddMem.sys") + ", " +
                     attack("serviceStart", kTempPath + "\\AddMem.sys")),
         {}, 0, {"refused 5", "planted"}, {kBiosTool, kMicomTool}, ""},
        {"attack-link-at-folder", windows(canary, "\"" + kWorkPath + "\": \"C:\\Users\\tech\\Documents\"", ""), {}, 0, {},
         {kBiosTool, kMicomTool}, kWorkPath + ".1\\canary.txt"},
        {"attack-folder-made-beforehand",
         windows(canary + ", \"" + kWorkPath + "\\SWinFlash.exe\": \"PLANTED\", \"" + kWorkPath + "\\mine.txt\": \"mine\"",
                 "", ""),
         {}, 0, {}, {kBiosTool, kMicomTool}, kWorkPath + ".1\\mine.txt"},
        // A blank in the serial read from the firmware would split "/DSS:" into two switches.
        {"attack-dmi-serial-blank",
         "{\"dmi\": {\"serial\": \"KV580A 123456\"}, \"windows\": {\"files\": {" + escaped(canary) + "}}}", {"/MODE=3"},
         0x8000000Eu, {}, {}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunPatchedScenario(row.world, "default", json::parse(row.patch), "full", row.options));
        EXPECT_EQ(ResultCode(r), row.code) << r["result"].dump();
        Strings outcomes;
        // "refused 5": access denied by the folder's security, not a folder that was missing.
        for (const json& a : r["attacks"]["attempts"])
            outcomes.push_back(a["outcome"].get<std::string>() +
                               (a["outcome"] == "refused" ? " " + std::to_string(a["error"].get<uint32_t>()) : ""));
        EXPECT_EQ(outcomes, row.attackOutcomes) << r["attacks"].dump();
        EXPECT_TRUE(r["attacks"]["plantedUsed"].empty()) << r["attacks"].dump();
        EXPECT_EQ(ToolCommands(r), row.tools);
        EXPECT_EQ(WorldFile(row.world, kCanary), "keep");
        if (!row.setAside.empty()) EXPECT_NE(WorldFile(row.world, row.setAside), "(missing)") << row.setAside;
        // The run's folder holds nothing of the user's, and the driver it installed is gone.
        EXPECT_FALSE(Contains(WorkingFolderFiles(r), "mine.txt"));
        EXPECT_FALSE(r["accessService"]["registered"].get<bool>()) << r["accessService"].dump();
        if (row.code == 0) EXPECT_EQ(BlocksHoldingImage(r, kNewVersion).size(), 31u);
        else ExpectFlashUntouched(r);
    }
}

// The ADDMEM service gives whoever opens its device physical memory and port access: the one a run
// created goes with the run on every end, and so does the driver file it was registered from; one
// found running stays. The emulated service manager records both; the Wine rows check the same.
TEST(Scenario, TheAccessServiceTheRunCreatedGoesWithTheRunAndOneFoundRunningStays) {
    struct Row {
        const char* world;
        const char* machine;
        const char* patch;
        Strings options;
        uint32_t code;
        bool createdByRun;
        bool registeredAfter;
        const char* package = "full";
    };
    const Row rows[] = {
        // An entry that does not decompress ends the process at once, from the extraction.
        {"service-damaged-entry", "default", "{}", {}, 1, true, false, "damaged-entry"},
        {"service-cancel", "cancel-confirmation", "{}", {}, 0, true, false},
        {"service-failure-after-start", "micom-tool-fails", "{}", {}, 0x8000000Au, true, false},
        {"service-block-power-off", "default", "{}", {"/BLOCK_POWER_OFF"}, 0, true, false},
        {"service-read-bios", "default", "{}", {"/READ_BIOS"}, 0, true, false},
        {"service-full-update", "default", "{}", {}, 0, true, false},
        {"service-found-running", "default",
         R"({"services": {"addmem": {"state": "running", "imagePath": "C:\\Windows\\System32\\drivers\\ADDMEM.SYS"}}})", {}, 0,
         false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunPatchedScenario(row.world, row.machine, json::parse(row.patch), row.package, row.options));
        EXPECT_EQ(ResultCode(r), row.code) << r["result"].dump();
        const json& s = r["accessService"];
        EXPECT_EQ(s["createdByRun"], row.createdByRun) << s.dump();
        EXPECT_EQ(s["registered"], row.registeredAfter) << s.dump();
        EXPECT_EQ(s["running"], row.registeredAfter) << s.dump();
        EXPECT_TRUE(s["driverFilesLeft"].empty()) << s.dump();
        // The service goes before the switch-off is asked for: one that went only afterwards
        // would stay when the switch-off does not happen.
        if (row.createdByRun && r["switchOff"].contains("flags")) EXPECT_EQ(s["deletedBeforeSwitchOff"], true);
    }
}

// A notebook whose SMI handler knows it under another model than its identification block: the
// program takes the SMI's answer.
TEST(Scenario, ModelComesFromTheSmiAnswerWhenItDiffersFromTheIdentificationBlock) {
    json r = Report(RunPatchedScenario("smi-model", "default", json::parse(R"({"smi": {"model": "R590"}})"), "full"));
    std::vector<std::string> lines;
    for (const json& log : r["debugLogs"])
        for (const json& line : log["lines"]) lines.push_back(line.get<std::string>());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Bios Model Number : R590"), lines.end()) << r["debugLogs"].dump();
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "Bios Model Number : R580"), lines.end());
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

// --- AMI notebooks (emu/machines/ami-*.json: BIOS version 208 unless named, part number A12) ---

const char* const kAmiTool32 = "afuwin bios.rom /p /b /n /e /r";
// The Phoenix image every payload carries: the AMI path lists no ".wph" candidate, so the clean-up
// leaves it.
const char* const kPayloadWph = "RSRK0108.WPH";

TEST(Scenario, AmiNotebookFlashesBiosRomWithTheAmiToolThenArmsAndSwitchesOff) {
    struct Row {
        const char* world;
        const char* machine;
        const char* package;
        Strings options;
        const char* tool;
        const char* controller;
        Strings files;  // left in the working folder
    };
    const Row rows[] = {
        {"ami-equal-x64", "ami-208", "ami", {}, kAmiTool64, "legacy", {"DebugLog.txt", kPayloadWph}},
        {"ami-equal-x86", "ami-208-x86", "ami", {}, kAmiTool32, "legacy", {"DebugLog.txt", kPayloadWph}},
        {"ami-older", "ami-207", "ami", {}, kAmiTool64, "legacy", {"DebugLog.txt", kPayloadWph}},
        {"ami-mserial", "ami-208", "ami", {"-mserial"}, kAmiTool64, "legacy", {"DebugLog.txt", kPayloadWph}},
        // No MICOM search on this kind: its image is no candidate and stays.
        {"ami-newer-ec", "ami-208-newer-ec", "ami", {}, kAmiTool64, "newer", {"DebugLog.txt", "KBRK0105.BIN", kPayloadWph}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunScenario(row.world, row.machine, row.package, row.options));
        EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
        EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
        ASSERT_EQ(ToolCommands(r), Strings{row.tool});
        // The tool is named by its full path in the working folder, and runs there.
        const json& run = r["tools"]["runs"][0];
        EXPECT_EQ(run["commandLine"], run["directory"].get<std::string>() + "\\" + row.tool) << run.dump();
        EXPECT_NE(run["directory"].get<std::string>().find("\\__Korvane_Update"), std::string::npos) << run.dump();
        EXPECT_EQ(ToolExitCodes(r), std::vector<int32_t>{0});
        EXPECT_TRUE(AmiToolWrote(r));
        EXPECT_EQ(r["biosIdentity"]["after"]["amiVersion"], 208);
        EXPECT_EQ(r["biosIdentity"]["after"]["partNumber"], "A12");
        EXPECT_EQ(r["controller"]["kind"], row.controller);
        EXPECT_TRUE(r["controller"]["powerOn"]["armed"].get<bool>());
        EXPECT_TRUE(r["controller"]["micomImage"].is_null()) << "the AMI path runs no MICOM tool";
        EXPECT_TRUE(r["smi"]["enabled"].get<bool>());
        EXPECT_TRUE(r["inputDevices"]["allOn"].get<bool>());
        EXPECT_EQ(r["switchOff"]["switchedOff"], true);
        EXPECT_EQ(r["switchOff"]["flags"], 8);
        EXPECT_EQ(WorkingFolderFiles(r), row.files);
    }
}

TEST(Scenario, AmiRunsThatMustNotFlashEndWithTheirCodeAndLeaveTheNotebookUsable) {
    struct Row {
        const char* world;
        const char* machine;
        const char* package;
        Strings options;
        uint32_t code;
        const char* caption;
        std::vector<int32_t> toolExitCodes;
        const char* text;  // part of the message's text; nullptr: not looked at
        // Failures before the searches leave the images they would have listed.
        Strings files = {"DebugLog.txt", kPayloadWph};
    };
    const Row rows[] = {
        {"ami-running-newer", "ami-209", "ami", {}, 0x80000013u, "Fail : Bios Date", {},
         "This system's BIOS version is the latest."},
        // The AMI path reads no model: the current model is empty.
        {"ami-part-third", "ami-208", "ami-part-third", {}, 0x80000007u, "Fail : Model(Bios Part Number)", {},
         "Current Model (BIOS Part Number) : (A12)\n\n     New Model (BIOS Part Number) : (A13)"},
        {"ami-part-case", "ami-208", "ami-part-case", {}, 0x80000007u, "Fail : Model(Bios Part Number)", {},
         "New Model (BIOS Part Number) : (a12)"},
        {"ami-phoenix-option", "ami-208", "ami", {"/SKIP_CHECK_MODEL"}, 0x8000000eu, "Fail : Invalid Option", {}, nullptr,
         {"A3200208.rom", "DebugLog.txt", "KBRK0105.BIN", kPayloadWph}},
        {"ami-no-rom", "ami-208", "ami-no-rom", {}, 0x8000000bu, "Fail : Bios File", {}, "Invalid BIOS file.",
         {"DebugLog.txt", "KBRK0105.BIN", kPayloadWph}},
        {"ami-two-roms", "ami-208", "ami-two-roms", {}, 0x8000000bu, "Fail : Bios File", {}, nullptr},
        {"ami-no-record", "ami-208", "ami-no-record", {}, 0x8000000bu, "Fail : Bios File", {}, nullptr},
        {"ami-tool-120", "ami-tool-m120", "ami", {}, 0x80000008u, "Fail : Model(Bios Part Number)", {-120}, nullptr},
        {"ami-tool-110", "ami-tool-m110", "ami", {}, 0x80000013u, "Fail : Bios Date", {-110}, nullptr},
        {"ami-tool-109", "ami-tool-m109", "ami", {}, 0x80000013u, "Fail : Bios Date", {-109}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.world);
        json r = Report(RunScenario(row.world, row.machine, row.package, row.options));
        EXPECT_EQ(ResultCode(r), row.code) << r["result"].dump();
        ASSERT_EQ(Captions(r), (Strings{"Warning", row.caption}));
        if (row.text != nullptr) {
            std::string text = r["messageBoxes"][1]["text"];
            EXPECT_NE(text.find(row.text), std::string::npos) << text;
        }
        EXPECT_EQ(ToolExitCodes(r), row.toolExitCodes);
        EXPECT_FALSE(AmiToolWrote(r));
        EXPECT_EQ(r["biosIdentity"]["after"]["amiVersion"], r["biosIdentity"]["before"]["amiVersion"]);
        ExpectNotebookLeftUsable(r, row.files);
    }
}

TEST(Scenario, AmiToolCodesOtherThanTheRefusalsCountAsDone) {
    json r = Report(RunScenario("ami-tool-1", "ami-tool-1", "ami"));
    EXPECT_EQ(ResultCode(r), 0u) << r["result"].dump();
    EXPECT_EQ(ToolExitCodes(r), std::vector<int32_t>{1});
    EXPECT_EQ(Captions(r), (Strings{"Warning", "Update Complete"}));
    EXPECT_EQ(r["switchOff"]["switchedOff"], true);
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
// --- romshell-phx: each way it differs from romshell, seen on both built programs ---------------

bool LogHasLineStartingWith(const json& r, const std::string& prefix) {
    for (const json& log : r["debugLogs"])
        for (const json& line : log["lines"])
            if (line.get<std::string>().rfind(prefix, 0) == 0) return true;
    return false;
}

struct PhxDifference {
    const char* name;
    const char* machine;
    const char* romshellPackage;
    const char* phxPackage;
    Strings options;
    void (*romshell)(const json&);
    void (*phx)(const json&);
};

const char* const kStepLines[] = {"00. Success to Create Directory", "01. Start to Unpack", "02. Success to Unpack",
                                  "Step 00", "Step 03", "Step 08", "Read memory 00", "Get Vantrel Interface"};

const PhxDifference kPhxDifferences[] = {
    // Options come before the package and the power check.
    {"OptionsBeforeThePowerCheck", "no-ac-adapter", "full", "phx-full", {"/BOGUS"},
     [](const json& r) {
         EXPECT_EQ(ResultCode(r), 0x80000010u);
         EXPECT_EQ(Captions(r), Strings{"Fail : Power"});
     },
     [](const json& r) {
         EXPECT_EQ(ResultCode(r), 0x8000000eu);
         EXPECT_EQ(Captions(r), Strings{"Fail : Invalid Option"});
     }},
    // The language library is loaded before the options: a French system is told in French.
    {"LanguageBeforeTheOptions", "fr-fr", "full", "phx-full", {"/BOGUS"},
     [](const json& r) {
         EXPECT_EQ(ResultCode(r), 0x8000000eu);
         EXPECT_EQ(Captions(r), (Strings{"Avertissement", "\u00c9chec : option non valide"}));
     },
     [](const json& r) {
         EXPECT_EQ(ResultCode(r), 0x8000000eu);
         ASSERT_EQ(Captions(r), Strings{"\u00c9chec : option non valide"});
         EXPECT_EQ(r["messageBoxes"][0]["text"], "Option non valide.\nV\u00e9rifiez l'option.");
     }},
    {"NoStepLines", "default", "full", "phx-full", {},
     [](const json& r) {
         for (const char* line : kStepLines) EXPECT_TRUE(LogHasLineStartingWith(r, line)) << line;
     },
     [](const json& r) {
         EXPECT_EQ(ResultCode(r), 0u);
         for (const char* line : kStepLines) EXPECT_FALSE(LogHasLineStartingWith(r, line)) << line;
     }},
    // No vendor detection: an AMI notebook gets the Phoenix path, whose tool refuses the image.
    {"NoAmiPath", "ami-208", "ami", "phx-full", {},
     [](const json& r) {
         EXPECT_EQ(ToolCommands(r), Strings{kAmiTool64});
         EXPECT_TRUE(LogHasLineStartingWith(r, "************* AMI Update"));
     },
     [](const json& r) {
         EXPECT_EQ(ToolCommands(r), Strings{kBiosTool});
         EXPECT_EQ(ResultCode(r), 0x80000008u);
         EXPECT_FALSE(LogHasLineStartingWith(r, "************* AMI Update"));
     }},
    // The chip check knows 0x4D only: 0x85 is the legacy kind, with the MICOM tool.
    {"ChipCheckKnowsOnly4D", "newer-ec-mailbox", "full", "phx-full", {},
     [](const json& r) {
         EXPECT_EQ(ToolCommands(r), Strings{kBiosTool});
         EXPECT_EQ(r["controller"]["powerOn"]["how"], "command 0xDC through the mailbox");
     },
     [](const json& r) {
         EXPECT_EQ(ToolCommands(r), (Strings{kBiosTool, kMicomTool}));
         EXPECT_EQ(r["controller"]["powerOn"]["how"], "0xE887 bit 0");
     }},
    // No mailbox: the newer kind is armed through the keyboard controller.
    {"NoMailbox", "newer-ec-4d-mailbox", "full", "phx-full", {},
     [](const json& r) { EXPECT_EQ(r["controller"]["powerOn"]["how"], "command 0xDC through the mailbox"); },
     [](const json& r) {
         EXPECT_EQ(ToolCommands(r), Strings{kBiosTool});
         EXPECT_EQ(r["controller"]["powerOn"]["how"], "command 0xDC through the keyboard controller");
     }},
    // The clean-up lists name no AMI tool and no "_ami" library.
    {"CleanUpKnowsNoAmiFiles", "default", "full", "phx-ami-files", {},
     [](const json& r) { EXPECT_EQ(WorkingFolderFiles(r), Strings{"DebugLog.txt"}); },
     [](const json& r) {
         EXPECT_EQ(ResultCode(r), 0u);
         for (const char* kept : {"AFUWIN.EXE", "AMIFLDRV64.sys", "ConResEn_ami.dll"})
             EXPECT_TRUE(Contains(WorkingFolderFiles(r), kept)) << kept;
     }},
    // Without the display utility on Windows 6.1 the driver's open just fails: no box of its own.
    {"NoDisplayUtilityBox", "win7-x86-no-qtv", "full", "phx-full", {},
     [](const json& r) {
         EXPECT_TRUE(Contains(Captions(r), "Driver Load Fail"));
         EXPECT_EQ(ResultCode(r), 0xFFFFFFFFu);
     },
     [](const json& r) {
         EXPECT_FALSE(Contains(Captions(r), "Driver Load Fail"));
         EXPECT_NE(ResultCode(r), 0xFFFFFFFFu);
     }},
};

TEST(Scenario, PhxProgramDiffersFromRomshellAsItsRecordSays) {
    for (const PhxDifference& row : kPhxDifferences) {
        SCOPED_TRACE(row.name);
        {
            SCOPED_TRACE("romshell");
            row.romshell(Report(RunScenario(std::string("phx-diff-rs-") + row.name, row.machine, row.romshellPackage, row.options)));
        }
        {
            SCOPED_TRACE("romshell-phx");
            json r = Report(RunScenario(std::string("phx-diff-phx-") + row.name, row.machine, row.phxPackage, row.options));
            EXPECT_EQ(r["run"]["variant"], "romshell-phx");
            row.phx(r);
        }
    }
}

std::string ProgramBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Texts of the AMI path. The emulated programs carry the emulated notebook too, whose BIOS area
// has its own "AMIBIOS" and "$FID": those are looked for in the Windows programs only.
struct AmiText {
    const char* text;
    bool inEmulatedNotebook;
};
constexpr AmiText kAmiTexts[] = {
    {"afuwinx64 bios.rom", false}, {"afuwin bios.rom", false}, {"************* AMI Update", false},
    {"Before Checking SMI Enable", false}, {"AMIBIOS", true}, {"$FID", true},
};

void ExpectAmiTextsOnlyInRomshell(const std::string& romshellPath, const std::string& phxPath, bool emulated) {
    SCOPED_TRACE(phxPath);
    const std::string romshell = ProgramBytes(romshellPath.c_str());
    const std::string phx = ProgramBytes(phxPath.c_str());
    ASSERT_FALSE(romshell.empty());
    ASSERT_FALSE(phx.empty());
    for (const AmiText& t : kAmiTexts) {
        if (emulated && t.inEmulatedNotebook) continue;
        EXPECT_NE(romshell.find(t.text), std::string::npos) << t.text;
        EXPECT_EQ(phx.find(t.text), std::string::npos) << t.text;
    }
}

TEST(Scenario, PhxProgramCarriesNoneOfTheAmiTexts) {
    ExpectAmiTextsOnlyInRomshell(ROMSHELL_PROGRAM, ROMSHELL_PHX_PROGRAM, true);
    const std::string windows = std::string(ROMSHELL_WIN32_BIN) + "/romshell-phx.exe";
    if (!fs::exists(windows)) GTEST_SKIP() << windows << " is not built (the win32 preset)";
    ExpectAmiTextsOnlyInRomshell(std::string(ROMSHELL_WIN32_BIN) + "/romshell.exe", windows, false);
}

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
