// The DMI arguments of the BIOS flash tool: the flag kind correction, /MODE=3, what does not fit
// the command line, and the DMI settings dialog of a DMI-only package on the emulated window
// system, answered by the profile's person.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/context.h"
#include "core/run_options.h"
#include "dmi/dmi.h"
#include "emu/hardware.h"
#include "emu/window.h"
#include "emu/world.h"
#include "hw/input.h"
#include "tests/unit/notebook_fixture.h"

namespace {

using nlohmann::json;
using Strings = std::vector<std::string>;

constexpr size_t kCommandSize = 256;
constexpr char kToolCommand[] = "SWinFlash bios.wph /P";
constexpr char kSerial[] = "KV580A1234567";
constexpr char kDate[] = "00/00/0000";

class DmiTest : public NotebookTest {
  protected:
    // The platform as identification leaves it.
    void Platform(const char* flag, const char* version) {
        CopyText(ctx.systemSerial, kSerial);
        CopyText(ctx.oemString1, flag);
        CopyText(ctx.oemString2, kDate);
        CopyText(ctx.currentVersion, version);
    }

    // BuildDmiArguments on a command line that starts as start; what it appended is in appended_.
    ResultCode Build(uint32_t options, const std::string& start = kToolCommand) {
        ctx.runOptions = options;
        CopyText(command_, start.c_str());
        cancelled_ = true;
        const ResultCode r = BuildDmiArguments(command_, sizeof command_, &cancelled_);
        const std::string now = command_;
        appended_ = now.compare(0, start.size(), start) == 0 ? now.substr(start.size()) : "<start changed: " + now + ">";
        return r;
    }

    static Strings MessageTexts() {
        Strings out;
        for (const json& e : emu::TranscriptOf("messageBox")) out.push_back(e.value("caption", "") + " | " + e.value("text", ""));
        return out;
    }
    // Where in the whole transcript the first event for which pick is true lies; -1: none.
    static int IndexOf(bool (*pick)(const json&), bool last = false) {
        std::vector<json> all = emu::Transcript();
        int found = -1;
        for (size_t i = 0; i < all.size(); ++i)
            if (pick(all[i])) {
                found = static_cast<int>(i);
                if (!last) break;
            }
        return found;
    }

    char command_[kCommandSize] = {};
    bool cancelled_ = false;
    std::string appended_;
};

// ---------------------------------------------------------------------------------------------
// Without the dialog

struct ArgumentCase {
    const char* name;
    const char* flag;
    const char* version;
    uint32_t options;
    const char* start;     // the command line as the option parser left it
    const char* appended;
    const char* newFlag;
};

class DmiArgumentTest : public DmiTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(DmiArgumentTest, AppendsTheValuesTheRunCallsFor) {
    const ArgumentCase& c = GetParam();
    MakeMachine();
    Platform(c.flag, c.version);
    EXPECT_EQ(Build(c.options, c.start), kResultOk);
    EXPECT_FALSE(cancelled_);
    EXPECT_EQ(appended_, c.appended);
    EXPECT_STREQ(ctx.newBiosFlag, c.newFlag);
    EXPECT_TRUE(emu::TranscriptOf("window").empty()) << "no dialog outside a DMI-only run";
}

#define CURRENT_VALUES " /DO1:00/00/0000 /DSS:KV580A1234567"
INSTANTIATE_TEST_SUITE_P(
    Dmi, DmiArgumentTest,
    ::testing::Values(
        ArgumentCase{"KindANoMode", "000A000000000000", "07RK", 0, kToolCommand, "", "000A000000000000"},
        ArgumentCase{"KindBNoMode", "123B456789012345", "07RE", 0, kToolCommand, "", "123B456789012345"},
        ArgumentCase{"OtherKindOnAnEVersionBecomesB", "0000000000000000", "07RE", 0, kToolCommand,
                     " /MODE=3 /DO0:000B000000000000" CURRENT_VALUES, "000B000000000000"},
        ArgumentCase{"OtherKindOnAnotherVersionBecomesA", "123b456789012345", "07RK", 0, kToolCommand,
                     " /MODE=3 /DO0:123A456789012345" CURRENT_VALUES, "123A456789012345"},
        ArgumentCase{"OtherKindOnAShortVersionBecomesA", "0000000000000000", "07E", 0, kToolCommand,
                     " /MODE=3 /DO0:000A000000000000" CURRENT_VALUES, "000A000000000000"},
        ArgumentCase{"OtherKindWithMode1CorrectsButAppendsNothing", "0000000000000000", "07RE", Mode1,
                     "SWinFlash bios.wph /P /MODE=1", "", "000B000000000000"},
        ArgumentCase{"OtherKindWithMode2AppendsNoSecondMode", "0000000000000000", "07RE", Mode2,
                     "SWinFlash bios.wph /P /MODE=2", "", "000B000000000000"},
        ArgumentCase{"Mode3WithACorrectFlagFollowsTheParsersMode", "000A000000000000", "07RK", Mode3,
                     "SWinFlash bios.wph /P /MODE=3", " /DO0:000A000000000000" CURRENT_VALUES, "000A000000000000"},
        ArgumentCase{"Mode3WithAWrongFlagSendsItCorrectedOnce", "000X000000000000", "07RE", Mode3,
                     "SWinFlash bios.wph /P /MODE=3", " /DO0:000B000000000000" CURRENT_VALUES, "000B000000000000"},
        ArgumentCase{"FlagShorterThanFourIsNotCorrected", "00A", "07RE", 0, kToolCommand, "", "00A"},
        ArgumentCase{"EmptyFlagIsNotCorrected", "", "07RE", 0, kToolCommand, "", ""},
        ArgumentCase{"ShortFlagWithMode3GoesOutAsItIs", "0B", "07RE", Mode3, "SWinFlash bios.wph /P /MODE=3",
                     " /DO0:0B" CURRENT_VALUES, "0B"}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) { return std::string(info.param.name); });
#undef CURRENT_VALUES

// A command line that leaves exactly room characters for the DMI arguments.
std::string CommandLeaving(size_t room) {
    std::string start = kToolCommand;
    while (start.size() < kCommandSize - 1 - room) start += " /BBL";
    start.resize(kCommandSize - 1 - room, 'L');
    return start;
}

TEST_F(DmiTest, ArgumentsThatDoNotFitTheCommandLineRefuseTheRunWithNothingAppended) {
    struct Row {
        const char* name;
        const char* flag;
        uint32_t options;
        size_t needed;  // characters of the arguments
    };
    const size_t values = 6 + 16 + 6 + std::strlen(kDate) + 6 + std::strlen(kSerial);
    const Row rows[] = {
        {"Correction", "0000000000000000", 0, 8 + values},
        {"Mode3", "000A000000000000", Mode3, values},
        {"DmiOnly", "000A000000000000", DmiOnly, 8 + values},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetProgramState();
        MakeMachine();
        PutFile(std::string(kProgramFolder) + "\\WinUpV01_10.exe", "micom tool");
        Platform(row.flag, "07RK");
        // One character short: refused, the command line as it was, no dialog, the MICOM tool kept.
        const std::string tight = CommandLeaving(row.needed - 1);
        EXPECT_EQ(Build(row.options, tight), kResultInvalidOption);
        EXPECT_STREQ(command_, tight.c_str());
        EXPECT_FALSE(cancelled_);
        EXPECT_TRUE(emu::TranscriptOf("window").empty());
        EXPECT_TRUE(FileExists(std::string(kProgramFolder) + "\\WinUpV01_10.exe"));
        EXPECT_NE(Log().find("DMI arguments do not fit"), std::string::npos) << Log();
        TearDown();
    }
    // Exactly enough room: the whole values go out, filling the line to its 255 characters.
    for (const Row& row : {rows[0], rows[1]}) {
        SCOPED_TRACE(std::string(row.name) + " exact");
        MakeMachine();
        Platform(row.flag, "07RK");
        EXPECT_EQ(Build(row.options, CommandLeaving(row.needed)), kResultOk);
        EXPECT_EQ(std::strlen(command_), kCommandSize - 1);
        EXPECT_EQ(appended_.substr(appended_.size() - std::strlen(kSerial)), kSerial);
        TearDown();
    }
}

// ---------------------------------------------------------------------------------------------
// The DMI settings dialog of a DMI-only package

class DmiDialogTest : public DmiTest {
  protected:
    // A DMI-only run at step 05: the package's files in the current folder and the input devices
    // held off since the tools were staged.
    void Prepare(const std::string& attempts, const std::string& more = "", const char* flag = "000A000000000000") {
        ResetProgramState();
        MakeMachine(R"({"answers": {"dmiDialog": )" + attempts + "}" + more + "}");
        for (const char* name : {"WinUpV01_10.exe", "kbc.bin", "bios.wph"})
            PutFile(std::string(kProgramFolder) + "\\" + name, "file");
        Platform(flag, "07RK");
        DisableInputDevices();
    }
    bool InFolder(const char* name) { return FileExists(std::string(kProgramFolder) + "\\" + name); }
    static json DialogRecord() {
        for (const json& w : emu::WindowRecords())
            if (w["dialog"] == 116) return w;
        return json();
    }
};

TEST_F(DmiDialogTest, OkWithTheRightLengthsSendsTheEnteredValuesWithMode1) {
    // The current flag has no kind letter: the entered values are the run's only DMI arguments.
    Prepare(R"([{"serial": "KV580B7654321", "flag": "111B111111111111", "date": "04/01/2012"}])", "", "0000000000000000");
    EXPECT_EQ(Build(DmiOnly), kResultOk);
    EXPECT_FALSE(cancelled_);
    EXPECT_EQ(appended_, " /MODE=1 /DO0:111B111111111111 /DO1:04/01/2012 /DSS:KV580B7654321");
    EXPECT_EQ(ctx.dmiAccepted, 1);
    EXPECT_TRUE(MessageTexts().empty());

    // The fields opened with the current values; the dialog is gone.
    json dialog = DialogRecord();
    ASSERT_TRUE(dialog.is_object());
    EXPECT_EQ(dialog["title"], "BCPDMI Setting");
    EXPECT_EQ(dialog["closed"], true);
    Strings filled;
    for (const json& e : emu::TranscriptOf("window"))
        if (e.value("action", "") == "text") filled.push_back(e["text"]);
    EXPECT_EQ(filled, (Strings{kSerial, "0000000000000000", kDate, "KV580B7654321", "111B111111111111", "04/01/2012"}));

    // No MICOM update follows: its tool is gone, the image stays for the BIOS tool.
    EXPECT_FALSE(InFolder("WinUpV01_10.exe"));
    EXPECT_FALSE(InFolder("kbc.bin"));
    EXPECT_TRUE(InFolder("bios.wph"));
    // Keyboard and mouse worked while the dialog was up, and only then.
    const int opened = IndexOf([](const json& e) { return e.value("action", "") == "open" && e.value("dialog", 0) == 116; });
    const int closed = IndexOf([](const json& e) { return e.value("action", "") == "closed"; });
    const int lastOn = IndexOf([](const json& e) { return e.value("event", "") == "deviceState" && e.value("enable", false); }, true);
    const int lastOff = IndexOf([](const json& e) { return e.value("event", "") == "deviceState" && !e.value("enable", true); }, true);
    ASSERT_GE(opened, 0);
    EXPECT_LT(lastOn, opened);
    EXPECT_GT(lastOff, closed);
    EXPECT_FALSE(emu::KeyboardController().keyboardEnabled);
}

// Typed values of the right lengths that would change the tool's words (a blank, a quote) refuse
// the run with nothing appended; the tool never sees them.
TEST_F(DmiDialogTest, EnteredValuesThatWouldSplitTheToolsSwitchesRefuseTheRun) {
    for (const char* attempt : {R"([{"serial": "KV580B 654321"}])", R"([{"date": "04/01\"2012"}])",
                                R"([{"flag": "111B11111111\t111"}])"}) {
        SCOPED_TRACE(attempt);
        Prepare(attempt, "", "0000000000000000");
        EXPECT_EQ(Build(DmiOnly), kResultInvalidOption);
        EXPECT_EQ(appended_, "");
        EXPECT_NE(Log().find("holds a blank, quote or control character"), std::string::npos) << Log();
    }
}

TEST_F(DmiDialogTest, TextsOfAnotherLengthAreNamedInOrderAndKeepTheDialogOpen) {
    // Serial one short; then the serial right and the flag too long; then the flag right and the
    // date too short; then the date right.
    const char* attempts = R"([{"serial": "KV580A123456"},
                               {"serial": "KV580A7654321", "flag": "000A00000000000000"},
                               {"flag": "999B999999999999", "date": "4/1/2012"},
                               {"date": "04/01/2012"}])";
    struct Row {
        const char* name;
        uint32_t options;
        Strings shown;
    };
    const Row rows[] = {
        {"Shown", DmiOnly,
         {"Error : String length | The string length of System Serial must be 13.",
          "Error : String length | The string length of Bios Flag must be 16.",
          "Error : String length | The string length of Purchase Date must be 10."}},
        {"NoMessageBox", DmiOnly | NoMessageBox, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Prepare(attempts);
        EXPECT_EQ(Build(row.options), kResultOk);
        EXPECT_EQ(MessageTexts(), row.shown);
        EXPECT_EQ(ctx.dmiAccepted, 1);
        EXPECT_EQ(appended_, " /MODE=1 /DO0:999B999999999999 /DO1:04/01/2012 /DSS:KV580A7654321");
        // The dialog itself appears whatever NoMessageBox says, and took four attempts.
        EXPECT_TRUE(DialogRecord().is_object());
        int presses = 0;
        for (const json& e : emu::TranscriptOf("window")) presses += e.value("action", "") == "pressed";
        EXPECT_EQ(presses, 4);
        TearDown();
    }
}

TEST_F(DmiDialogTest, CancelEndsTheRunAfterRemovingTheWorkingFiles) {
    struct Row {
        const char* name;
        const char* attempts;
    };
    const Row rows[] = {
        {"Cancel", R"([{"serial": "typed, then thought better of it", "press": "cancel"}])"},
        {"CloseBox", R"([{"press": "close box"}])"},
        // A person with no right texts to try gives up with the close box.
        {"GivenUp", R"([{"serial": "short"}])"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Prepare(row.attempts);
        ctx.newSerial[0] = '\0';
        EXPECT_EQ(Build(DmiOnly), kResultOk);
        EXPECT_TRUE(cancelled_);
        EXPECT_EQ(appended_, "");
        EXPECT_EQ(ctx.dmiAccepted, 0);
        Strings messages = MessageTexts();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "Stop Update | Cancel DMI Update.");
        EXPECT_EQ(emu::TranscriptOf("messageBox").back()["style"], 0x40);
        for (const char* name : {"WinUpV01_10.exe", "kbc.bin", "bios.wph"}) EXPECT_FALSE(InFolder(name)) << name;
        // The run ends here with keyboard and mouse working.
        EXPECT_TRUE(emu::KeyboardController().keyboardEnabled);
        EXPECT_EQ(DialogRecord()["closed"], true);
        TearDown();
    }
}

TEST_F(DmiDialogTest, ADialogThatCannotBeCreatedFailsTheRunInsteadOfCountingAsCancelled) {
    Prepare("[]", R"(, "desktop": {"dialogsFail": true})");
    EXPECT_EQ(Build(DmiOnly), kResultBiosUpdate);
    EXPECT_FALSE(cancelled_);
    EXPECT_EQ(appended_, "");
    EXPECT_TRUE(MessageTexts().empty()) << "the failure exit shows the message";
    EXPECT_NE(Log().find("DMI settings dialog could not be opened"), std::string::npos) << Log();
}

}  // namespace
