// Message boxes, the debug log and the failure exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/context.h"
#include "app/failure.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "base/text.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

class MessagesTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        MakeWorld();
        ASSERT_TRUE(os::CreateDirectory("C:\\work"));
        ASSERT_TRUE(os::SetCurrentDirectory("C:\\work"));
    }
};

TEST_F(MessagesTest, LogLinesEndInCrLfAndAreAppended) {
    PutFile("C:\\work\\DebugLog.txt", "earlier run\r\n");
    LogLine("Step %02d", 0);
    LogLine("Bios command : %s", "C:\\x\\SWinFlash bios.wph /P");
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt"),
              "earlier run\r\nStep 00\r\nBios command : C:\\x\\SWinFlash bios.wph /P\r\n");
}

TEST_F(MessagesTest, EachLogLineOpensTheFileAnew) {
    LogLine("first");
    // A log deleted between two lines (as the working-directory clean-up does) starts afresh.
    ASSERT_TRUE(os::DeleteFile("DebugLog.txt"));
    LogLine("second");
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt"), "second\r\n");
}

TEST_F(MessagesTest, LogLineGoesToTheCurrentDirectoryOfTheMoment) {
    LogLine("in work");
    ASSERT_TRUE(os::CreateDirectory("C:\\other"));
    ASSERT_TRUE(os::SetCurrentDirectory("C:\\other"));
    LogLine("in other");
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt"), "in work\r\n");
    EXPECT_EQ(ReadFileBytes("C:\\other\\DebugLog.txt"), "in other\r\n");
}

TEST_F(MessagesTest, LongLogLinesAreCutAt1023Characters) {
    std::string longText(3000, 'x');
    LogLine("%s", longText.c_str());
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt"), std::string(1023, 'x') + "\r\n");
}

TEST_F(MessagesTest, LogLineThatCannotOpenItsFileIsIgnored) {
    ASSERT_TRUE(os::SetCurrentDirectory("C:\\work"));
    PutFile("C:\\work\\DebugLog.txt\\blocker", "kept");  // a folder of that name cannot be opened
    PutFile("C:\\work\\other.txt", "other");
    auto listing = [this] {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(HostPath("C:\\work")))
            names.insert(e.path().string() + (e.is_regular_file() ? ":" + std::to_string(e.file_size()) : ""));
        return names;
    };
    const std::set<std::string> before = listing();
    LogLine("lost");
    EXPECT_EQ(listing(), before) << "nothing written, nothing else made";
    EXPECT_EQ(ReadFileBytes("C:\\work\\DebugLog.txt\\blocker"), "kept");
    EXPECT_EQ(ReadFileBytes("C:\\work\\other.txt"), "other");
}

TEST_F(MessagesTest, ShowMessageShowsTheFormattedTextAndReturnsTheAnswer) {
    EXPECT_EQ(ShowMessage(kStyleError, "Caption", "value %d of %s", 7, "x"), os::kIdOk);
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["style"], 0x10);
    EXPECT_EQ(boxes[0]["caption"], "Caption");
    EXPECT_EQ(boxes[0]["text"], "value 7 of x");
    EXPECT_EQ(boxes[0]["owner"], false);  // no progress window yet
}

TEST_F(MessagesTest, ShowMessageCutsTextsAt1023Characters) {
    std::string longText(2000, 'y');
    ShowMessage(kStyleInformation, "C", "%s", longText.c_str());
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["text"].get<std::string>(), std::string(1023, 'y'));
}

TEST_F(MessagesTest, NoMessageBoxShowsNothingAndAnswersOk) {
    MakeWorld(R"({"answers": {"messageBoxes": ["cancel"]}})");
    ctx.runOptions = NoMessageBox;
    EXPECT_EQ(ShowMessage(kStyleConfirmation, "Warning", "go?"), os::kIdOk);
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(MessagesTest, CancelIsReturnedAsTheUserAnswered) {
    MakeWorld(R"({"answers": {"messageBoxes": ["cancel"]}})");
    EXPECT_EQ(ShowMessage(kStyleConfirmation, "Warning", "go?"), os::kIdCancel);
}

// --- Texts from the string table ---------------------------------------------------------------

struct TableTextCase {
    const char* format;
    const char* expected;
};

class FormatTableTextTest : public ::testing::TestWithParam<TableTextCase> {};

TEST_P(FormatTableTextTest, ExpandsOnlyKnownConversions) {
    const TextArg args[] = {{TextArg::Text, "AB12", 0}, {TextArg::Number, nullptr, 42}};
    char out[64];
    FormatTableText(out, sizeof out, GetParam().format, args, 2);
    EXPECT_STREQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatTableTextTest,
    ::testing::Values(TableTextCase{"lower than 30%%.", "lower than 30%."},
                      TableTextCase{"lower than 30%. \n\nCheck", "lower than 30%. \n\nCheck"},
                      TableTextCase{"%s(%d)", "AB12(42)"}, TableTextCase{"%s %ld", "AB12 42"},
                      // A conversion whose argument is missing or of another kind reads as empty.
                      TableTextCase{"%d %s %s", "0  "},
                      // Conversions the program never uses are not interpreted.
                      TableTextCase{"%x %n %p %", "%x %n %p %"}));

TEST(FormatTableText, CutsAtTheBufferSize) {
    char out[8];
    const TextArg args[] = {{TextArg::Text, "0123456789", 0}};
    FormatTableText(out, sizeof out, "[%s]", args, 1);
    EXPECT_STREQ(out, "[012345");
}

// --- The failure exit --------------------------------------------------------------------------

struct FailCase {
    ResultCode code;
    const char* caption;  // nullptr: no message
    const char* text;
    bool cleansUp;
};

class FailUpdateTest : public EmulatedWorldTest, public ::testing::WithParamInterface<FailCase> {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        MakeWorld();
        ASSERT_TRUE(os::CreateDirectory("C:\\work"));
        ASSERT_TRUE(os::SetCurrentDirectory("C:\\work"));
        for (const char* name : kWorkingFiles) PutFile(std::string("C:\\work\\") + name, "x");
        PutFile("C:\\work\\notes.txt", "kept");
        CopyText(ctx.workDir, "C:\\work\\");  // the working directory has been made
    }
    static constexpr const char* kWorkingFiles[] = {
        "SWinFlash.exe", "bios.wph", "bios.bak", "newSys.bin", "kbc.bin", "WinUpV01_10.exe",
        "AddMem.sys", "PHLASH.log", "ConResEn.dll", "mfc42.dll", "msvcrt.dll"};
};

TEST_P(FailUpdateTest, ShowsTheCodesMessageAndCleansUpAfterTheUnpack) {
    const FailCase& c = GetParam();
    ctx.busy = 1;
    EXPECT_EQ(FailUpdate(c.code), c.code);
    EXPECT_EQ(ctx.busy, 0);

    auto boxes = MessageBoxes();
    if (c.caption == nullptr) {
        EXPECT_TRUE(boxes.empty());
    } else {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0]["style"], 0x10);
        EXPECT_EQ(boxes[0]["caption"], c.caption);
        EXPECT_EQ(boxes[0]["text"], c.text);
        EXPECT_STREQ(ctx.captionText, c.caption);
    }
    for (const char* name : kWorkingFiles) {
        EXPECT_EQ(FileExists(std::string("C:\\work\\") + name), !c.cleansUp) << name;
    }
    EXPECT_TRUE(FileExists("C:\\work\\notes.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FailUpdateTest,
    ::testing::Values(
        FailCase{0x80000001, nullptr, nullptr, false},
        FailCase{0x80000002, "Fatal Error", "Initializing program failed.", false},
        FailCase{0x80000003, "Fail : Unpack", "File Extraction failed.\n\nProgram will be terminated.", false},
        FailCase{0x80000004, "Fail : HDD Password",
                 "The HDD is password protected.\n\nRelease the password protection for the HDD in "
                 "the BIOS Setup and try again.\n\nProgram is terminated.",
                 true},
        FailCase{0x80000005, "Fail : Driver Load", "Loading driver failed.\n\nRestart system.", true},
        FailCase{0x80000009, "Fail : Update Bios", "BIOS Update failed.", true},
        FailCase{0x8000000a, "Fail : Micom", "MICOM Update failed.", true},
        FailCase{0x8000000b, "Fail : Bios File", "Invalid BIOS file.", true},
        FailCase{0x8000000c, "Fail : Micom File", "Invalid MICOM file.", true},
        FailCase{0x8000000d, "Fail : Enable SMI", "SMI setting failed.", true},
        FailCase{0x8000000e, "Fail : Invalid Option", "Invalid Option.\nCheck the option.", true},
        FailCase{0x8000000f, "Fail : Directory", "Fail to create directory.", false},
        FailCase{0x80000010, "Fail : Power",
                 "AC adapter is not connected.\n\nFor update, the AC adapter has to be connected.", false},
        FailCase{0x80000011, "Fail : Power",
                 "There is no connected battery or the remaining charge\r\nlevel of the battery is "
                 "lower than 30%.\n\nCheck your battery.",
                 false},
        FailCase{0x80000012, "Fail : Power",
                 "There is no connected AC adapter and battery or the remaining charge\r\nof the "
                 "battery is lower than 30%. \n\nCheck your AC adapter and battery.",
                 false},
        FailCase{0x80000013, "Fail : Bios Date",
                 "This system's BIOS version is the latest.\n\nUpdate program will be terminated.", true},
        // Codes outside the table: clean-up as after the unpack, no message.
        FailCase{0x80000014, nullptr, nullptr, true},
        FailCase{0x800000ff, nullptr, nullptr, true},
        FailCase{0xFFFFFFFF, nullptr, nullptr, true},
        FailCase{0x12345678, nullptr, nullptr, false}));

TEST_F(FailUpdateTest, ModelMessagesNameBothModelsAndPartNumbers) {
    for (ResultCode code : {0x80000006u, 0x80000007u, 0x80000008u}) {
        CopyText(ctx.currentModel, "AB12");
        CopyText(ctx.currentPartNumber, "123");
        CopyText(ctx.newModel, "CD34");
        CopyText(ctx.newPartNumber, "456");
        FailUpdate(code);
    }
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box["caption"], "Fail : Model(Bios Part Number)");
        EXPECT_EQ(box["text"],
                  "The BIOS/MICOM model to be updated is different.\n\nCheck the program.\n\n "
                  "Current Model (BIOS Part Number) : AB12(123)\n\n     New Model (BIOS Part "
                  "Number) : CD34(456)");
    }
}

TEST_F(FailUpdateTest, FailuresBeforeTheWorkingDirectoryExistsDeleteNothing) {
    // The package check and the access driver fail before the working directory is made: the
    // current directory is then the user's, whose files must not be touched.
    ctx.workDir[0] = '\0';
    for (ResultCode code : {kResultDriverLoad, kResultInvalidOption}) {
        EXPECT_EQ(FailUpdate(code), code);
        for (const char* name : kWorkingFiles) {
            EXPECT_TRUE(FileExists(std::string("C:\\work\\") + name)) << name;
        }
    }
    EXPECT_EQ(MessageBoxes().size(), 2u);
}

TEST_F(FailUpdateTest, NoMessageBoxStillReturnsTheCodeAndCleansUp) {
    ctx.runOptions = NoMessageBox;
    EXPECT_EQ(FailUpdate(kResultMicomUpdate), kResultMicomUpdate);
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_FALSE(FileExists("C:\\work\\kbc.bin"));
}

TEST_F(FailUpdateTest, CandidateImagesAreRemovedButNotOtherFiles) {
    PutFile("C:\\work\\XXAB0123.wph", "image");
    PutFile("C:\\work\\XXAB.bin", "micom");
    CopyText(ctx.ImageFileList[0], "XXAB0123.wph");
    CopyText(ctx.MicomFileList[0], "XXAB.bin");
    FailUpdate(kResultBiosFile);
    EXPECT_FALSE(FileExists("C:\\work\\XXAB0123.wph"));
    EXPECT_FALSE(FileExists("C:\\work\\XXAB.bin"));
    EXPECT_TRUE(FileExists("C:\\work\\notes.txt"));
}

}  // namespace
