// The language library: which one is chosen, where it is unpacked and loaded from, how it is
// loaded, and what its texts and dialogs look like in the system's code page.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "app/entry.h"
#include "app/language.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/variant.h"
#include "emu/window.h"
#include "os/os.h"
#include "tests/unit/notebook_fixture.h"
#include "tests/unit/package_builder.h"

namespace {

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";
// The startup folder of the working folder, where the files needed before the unpack go.
constexpr const char kStartup[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update\\Startup";

// A built language library, or "" when the win32 build has not made it.
std::string BuiltLibrary(const std::string& name) {
    std::ifstream in(std::string(ROMSHELL_WINDOWS_LANG) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LanguageTest : public NotebookTest {
  protected:
    // A notebook with the given language whose program carries the entries named (contents: the
    // built library when asked for, else a stand-in that is no library).
    void MakeNotebook(const std::string& langId, const std::vector<std::pair<std::string, std::string>>& entries,
                      const std::string& windowsPatch = "") {
        MakeMachine(R"({"windows": {"langId": )" + langId + windowsPatch + "}}");
        std::vector<testpkg::Entry> packed;
        for (const auto& [name, contents] : entries) packed.push_back({name + ".gz", testpkg::Gzip(contents)});
        PutFile(kProgram, testpkg::ProgramWithPackage(8, packed));
    }
    std::vector<nlohmann::json> Loads() { return Events("loadLibrary"); }
    bool RealLibrary(const std::string& name, std::string* bytes) {
        *bytes = BuiltLibrary(name);
        return !bytes->empty();
    }
};

// The whole-identifier table: each row's system language and the library it loads.
TEST_F(LanguageTest, ChoosesTheLibraryByTheWholeLanguageIdentifier) {
    struct Row {
        const char* langId;
        const char* library;
    };
    const Row rows[] = {
        {"1033", "ConResEn.dll"},   // 0x0409 English (United States)
        {"2057", "ConResEn.dll"},   // 0x0809 English (United Kingdom)
        {"2070", "ConResPo.dll"},   // 0x0816 Portuguese (Portugal)
        {"1046", "ConResPo.dll"},   // 0x0416 Portuguese (Brazil)
        {"2055", "ConResGr.dll"},   // 0x0807 German (Switzerland)
        {"4100", "ConResCht.dll"},  // 0x1004 Chinese (Singapore): the traditional library
        {"5124", "ConResEn.dll"},   // 0x1404 Chinese (Macao): no row, English
        {"2052", "ConResChs.dll"},  // 0x0804 Chinese (PRC)
        {"20490", "ConResSp.dll"},  // 0x500A Spanish (Puerto Rico), the last Spanish row
        {"5132", "ConResFr.dll"},   // 0x140C French (Luxembourg)
        {"1042", "ConResKr.dll"},   // 0x0412 Korean
        {"1049", "ConResRu.dll"},   // 0x0419 Russian
        {"1034", "ConResSp.dll"},   // 0x040A Spanish (traditional sort)
        {"0", "ConResEn.dll"},      // the neutral language is no row's padding
        {"1041", "ConResEn.dll"},   // 0x0411 Japanese: no library of its own
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.langId);
        ResetProgramState();
        MakeNotebook(row.langId, {{"ConResEn.dll", "en"}, {"ConResPo.dll", "po"}, {"ConResGr.dll", "gr"},
                                  {"ConResCht.dll", "cht"}, {"ConResChs.dll", "chs"}, {"ConResSp.dll", "sp"},
                                  {"ConResFr.dll", "fr"}, {"ConResKr.dll", "kr"}, {"ConResRu.dll", "ru"}});
        EXPECT_EQ(LoadResourceModule(), 1);
        auto loads = Loads();
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0]["path"], std::string(kStartup) + "\\" + row.library);
        EXPECT_EQ(loads[0]["asDataFile"], true);
        EXPECT_TRUE(FileExists(std::string(kStartup) + "\\" + row.library));
    }
}

TEST_F(LanguageTest, AnAmiNotebookTakesTheAmiLibraryWhereTheProgramHasAnAmiPath) {
    MakeNotebook("1036", {{"ConResFr.dll", "phoenix"}, {"ConResFr_ami.dll", "ami"}});
    ctx.isPhoenixBios = 0;
    EXPECT_EQ(LoadResourceModule(), 1);
    auto loads = Loads();
    ASSERT_EQ(loads.size(), 1u);
    const std::string name = kVariant.hasAmiPath ? "ConResFr_ami.dll" : "ConResFr.dll";
    EXPECT_EQ(loads[0]["path"], std::string(kStartup) + "\\" + name);
    EXPECT_EQ(ReadFileBytes(std::string(kStartup) + "\\" + name), kVariant.hasAmiPath ? "ami" : "phoenix");
}

TEST_F(LanguageTest, WithoutTempTheLibraryIsUnpackedToAndLoadedFromAStartupFolderOnTheDriveRoot) {
    MakeNotebook("1033", {{"ConResEn.dll", "en"}}, R"(, "temp": null)");
    EXPECT_EQ(LoadResourceModule(), 1);
    auto loads = Loads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0]["path"], "C:\\__Korvane_Update\\Startup\\ConResEn.dll");
    EXPECT_EQ(ReadFileBytes("C:\\__Korvane_Update\\Startup\\ConResEn.dll"), "en");
    char current[kPathSize];
    os::GetCurrentDirectory(current, sizeof current);
    EXPECT_STREQ(current, "C:\\__Korvane_Update\\Startup");
}

TEST_F(LanguageTest, APackageWithoutTheLibraryLeavesTheProgramsEnglishWithoutAMessage) {
    // An AMI notebook and a package of Phoenix libraries only (romshell-phx then finds its own).
    MakeNotebook("1036", {{kVariant.hasAmiPath ? "ConResFr.dll" : "ConResEn.dll", "phoenix"}});
    ctx.isPhoenixBios = 0;
    ChooseResourceModule(os::ProgramModule());
    EXPECT_EQ(ctx.resourceModule, os::ProgramModule());
    EXPECT_TRUE(Loads().empty());
    EXPECT_TRUE(MessageBoxes().empty());
    char text[kTextSize];
    LoadText(kTextCaptionWarning, text, sizeof text);
    EXPECT_STREQ(text, "Warning");
}

TEST_F(LanguageTest, ALibraryThatWillNotLoadIsReportedAndEnglishAnswers) {
    MakeNotebook("1033", {{"ConResEn.dll", "MZ but no library"}});
    ChooseResourceModule(os::ProgramModule());
    EXPECT_EQ(ctx.resourceModule, nullptr);
    auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["caption"], "Fail : Dll");
    EXPECT_EQ(boxes[0]["text"], "Fail To Load Dll");
    EXPECT_EQ(boxes[0]["style"], 0x10);
    char text[kTextSize];
    LoadText(kTextCaptionWarning, text, sizeof text);
    EXPECT_STREQ(text, "Warning");
}

// The caption of the confirmation as the system's ANSI code page holds it.
TEST_F(LanguageTest, TextsComeFromTheUnpackedLibraryInTheSystemsCodePage) {
    struct Row {
        const char* langId;
        const char* library;
        const char* warningHex;  // string 38 in the system's code page
    };
    const Row rows[] = {
        {"1036", "ConResFr.dll", "4176657274697373656D656E74"},      // "Avertissement", 1252
        {"1049", "ConResRu.dll", "CFF0E5E4F3EFF0E5E6E4E5EDE8E5"},    // 1251
        {"1028", "ConResCht.dll", "C4B5A769"},                       // 950
        {"1042", "ConResKr.dll", "B0E6B0ED"},                        // 949
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.library);
        std::string library;
        if (!RealLibrary(row.library, &library)) GTEST_SKIP() << "the win32 build has not made " << row.library;
        ResetProgramState();
        MakeNotebook(row.langId, {{row.library, library}});
        ChooseResourceModule(os::ProgramModule());
        ASSERT_NE(ctx.resourceModule, nullptr);
        ASSERT_NE(ctx.resourceModule, os::ProgramModule());
        char text[kTextSize];
        LoadText(kTextCaptionWarning, text, sizeof text);
        EXPECT_EQ(Hex(text), row.warningHex);
        // The confirmation fits its 512-byte buffer whole.
        char confirmation[512];
        LoadText(kTextConfirmUpdate, confirmation, sizeof confirmation);
        EXPECT_GT(std::strlen(confirmation), 100u);
        EXPECT_LT(std::strlen(confirmation), 511u);
    }
}

TEST_F(LanguageTest, ALibraryBesideTheProgramIsNeverLoaded) {
    std::string french, russian;
    if (!RealLibrary("ConResFr.dll", &french) || !RealLibrary("ConResRu.dll", &russian))
        GTEST_SKIP() << "the win32 build has not made the libraries";
    MakeNotebook("1036", {{"ConResFr.dll", french}});
    // Planted in the downloads folder under the name the program asks for.
    PutFile(std::string(kProgramFolder) + "\\ConResFr.dll", russian);
    ChooseResourceModule(os::ProgramModule());
    auto loads = Loads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0]["path"], std::string(kStartup) + "\\ConResFr.dll");
    EXPECT_EQ(loads[0]["asDataFile"], true);
    char text[kTextSize];
    LoadText(kTextCaptionWarning, text, sizeof text);
    EXPECT_STREQ(text, "Avertissement");
}

// A text longer than its buffer is cut inside it, terminated, and never splits a double-byte
// character.
TEST_F(LanguageTest, LongTextsAreCutWithinTheBufferAtACharacterBoundary) {
    std::string library;
    if (!RealLibrary("ConResCht.dll", &library)) GTEST_SKIP() << "the win32 build has not made ConResCht.dll";
    MakeNotebook("1028", {{"ConResCht.dll", library}});
    ChooseResourceModule(os::ProgramModule());
    ASSERT_NE(ctx.resourceModule, nullptr);
    char whole[512];
    const int wholeLength = os::LoadString(ctx.resourceModule, kTextConfirmUpdate, whole, sizeof whole);
    ASSERT_GT(wholeLength, 40);
    for (int size = 1; size <= 40; ++size) {
        SCOPED_TRACE(size);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        const int length = os::LoadString(ctx.resourceModule, kTextConfirmUpdate, buffer, size);
        ASSERT_GE(length, 0);
        ASSERT_LE(length, size - 1);
        EXPECT_EQ(buffer[length], '\0');
        EXPECT_EQ(buffer[size], 'x') << "written past the buffer";
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), std::string(whole, static_cast<size_t>(length)));
        // At most one byte short of the buffer: only a double-byte character that did not fit.
        EXPECT_GE(length, size - 2);
        // The cut ends on a character boundary: count the lead bytes of the code page (0x81-0xFE).
        int i = 0;
        while (i < length) i += (static_cast<unsigned char>(buffer[i]) >= 0x81) ? 2 : 1;
        EXPECT_EQ(i, length);
    }
}

TEST_F(LanguageTest, BothDialogsOpenFromTheLibraryWithItsTexts) {
    std::string library;
    if (!RealLibrary("ConResFr.dll", &library)) GTEST_SKIP() << "the win32 build has not made ConResFr.dll";
    MakeNotebook("1036", {{"ConResFr.dll", library}});
    ChooseResourceModule(os::ProgramModule());
    ASSERT_NE(ctx.resourceModule, nullptr);
    auto endAtOnce = [](os::Window window, uint32_t message, uintptr_t, intptr_t) -> intptr_t {
        if (message == os::kWmInitDialog) os::EndDialog(window, 7);
        return 0;
    };
    EXPECT_EQ(os::DialogBox(ctx.resourceModule, 117, nullptr, endAtOnce, 0), 7);
    EXPECT_EQ(os::DialogBox(ctx.resourceModule, 116, nullptr, endAtOnce, 0), 7);
    EXPECT_EQ(os::DialogBox(ctx.resourceModule, 999, nullptr, endAtOnce, 0), -1);
    auto opened = emu::WindowRecords();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0]["dialog"], 117);
    for (const char* id : {"1008", "1009", "1010", "1011", "1012", "1013", "1014", "1015", "1017"})
        EXPECT_TRUE(opened[0]["controls"].contains(id)) << id;
    // The template's instruction, in French, kept as UTF-8 by the window system.
    EXPECT_EQ(opened[0]["controls"]["1012"]["text"], "Veuillez ne pas interrompre l'application avant qu'elle");
    EXPECT_EQ(opened[1]["dialog"], 116);
    for (const char* id : {"1", "2", "1017", "1018", "1019"}) EXPECT_TRUE(opened[1]["controls"].contains(id)) << id;
    EXPECT_EQ(opened[1]["controls"]["2"]["text"], "Annuler");
    EXPECT_EQ(opened[1]["title"], "Param\u00e8tres BCPDMI");
}

// The early log lines (before the working directory is prepared) go to its startup folder, which
// the language loading has made current, whatever the Windows version and the program.
TEST_F(LanguageTest, CheckSystemPowerIsLoggedInTheStartupFolderOnEveryWindows) {
    for (const char* machine : {kQlix64Machine, kKmdfMachine, kAddmemMachine, kMemioMachine, "{}"}) {
        SCOPED_TRACE(machine);
        ResetProgramState();
        nlohmann::json patch = nlohmann::json::parse(machine);
        patch["power"] = {{"acLine", 0}, {"batteryPercent", 100}};
        MakeMachine(patch.dump());
        std::vector<testpkg::Entry> entries = testpkg::DriverEntries();
        entries.push_back({"ConResEn.dll.gz", testpkg::Gzip("no library")});
        PutFile(kProgram, testpkg::ProgramWithPackage(8, entries));
        std::string commandLine;
        EXPECT_EQ(ProgramEntry(os::ProgramModule(), commandLine.data()), 0x80000010u);
        EXPECT_NE(ReadFileBytes(std::string(kStartup) + "\\DebugLog.txt").find("Check System Power\r\n"), std::string::npos);
        EXPECT_FALSE(FileExists(std::string(kProgramFolder) + "\\DebugLog.txt"));
    }
}

}  // namespace
