#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "emu/profile.h"
#include "emu/world.h"
#include "tests/support/emulated_world.h"

namespace {

using nlohmann::json;

json Complete(const std::string& text) {
    json profile;
    std::string error;
    EXPECT_TRUE(emu::CompleteProfile(text, &profile, &error)) << error;
    return profile;
}

TEST(MachineProfile, EmptyProfileTakesEveryDefault) {
    json p = Complete("{}");
    EXPECT_EQ(p["windows"]["major"], 10);
    EXPECT_EQ(p["windows"]["minor"], 0);
    EXPECT_EQ(p["windows"]["build"], 19045);
    EXPECT_EQ(p["windows"]["platform"], "nt");
    EXPECT_EQ(p["windows"]["wow64"], true);
    EXPECT_EQ(p["windows"]["hasIsWow64Process"], true);
    EXPECT_EQ(p["windows"]["langId"], 0x0409);
    EXPECT_EQ(p["windows"]["temp"], "C:\\Users\\tech\\AppData\\Local\\Temp");
    EXPECT_EQ(p["windows"]["programPath"], "C:\\Users\\tech\\Desktop\\romshell.exe");
    EXPECT_TRUE(p["windows"]["currentDirectory"].is_null());
    EXPECT_EQ(p["power"]["acLine"], 1);
    EXPECT_EQ(p["power"]["batteryPercent"], 87);
    EXPECT_EQ(p["answers"]["messageBoxes"], json::array());
}

TEST(MachineProfile, NamedFieldsReplaceDefaultsAndOthersStay) {
    json p = Complete(R"({"windows":{"major":6,"minor":1,"temp":null},"power":{"acLine":false}})");
    EXPECT_EQ(p["windows"]["major"], 6);
    EXPECT_EQ(p["windows"]["minor"], 1);
    EXPECT_EQ(p["windows"]["build"], 19045);
    EXPECT_TRUE(p["windows"]["temp"].is_null());
    EXPECT_EQ(p["power"]["acLine"], 0);
    EXPECT_EQ(p["power"]["batteryPercent"], 87);
}

TEST(MachineProfile, NinetyFamilyHasNeitherWow64NorIsWow64Process) {
    json p = Complete(R"({"windows":{"platform":"9x","wow64":true,"hasIsWow64Process":true}})");
    EXPECT_EQ(p["windows"]["wow64"], false);
    EXPECT_EQ(p["windows"]["hasIsWow64Process"], false);
}

TEST(MachineProfile, LanguageIdReadsAsNumberOrHexText) {
    EXPECT_EQ(Complete(R"({"windows":{"langId":"0x0412"}})")["windows"]["langId"], 0x0412);
    EXPECT_EQ(Complete(R"({"windows":{"langId":1031}})")["windows"]["langId"], 1031);
}

TEST(MachineProfile, DefaultFileAgreesWithTheBuiltInDefaults) {
    std::string text, error;
    ASSERT_TRUE(emu::ReadTextFile(MachineProfilePath("default.json"), &text, &error)) << error;
    json expected = emu::DefaultProfile();
    expected["description"] = json::parse(text)["description"];
    EXPECT_EQ(Complete(text), expected);
}

TEST(MachineProfile, ShippedProfilesAreValidAndSayWhatTheyAreNamedFor) {
    struct Row {
        const char* file;
        int major, minor;
        const char* platform;
        bool wow64;
        bool tempSet;
    };
    const Row rows[] = {
        {"default.json", 10, 0, "nt", true, true}, {"win7-x86.json", 6, 1, "nt", false, true},
        {"vista-x64.json", 6, 0, "nt", true, true}, {"xp-x86.json", 5, 1, "nt", false, true},
        {"win98.json", 4, 10, "9x", false, true},   {"no-temp.json", 10, 0, "nt", true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        std::string text, error;
        ASSERT_TRUE(emu::ReadTextFile(MachineProfilePath(r.file), &text, &error)) << error;
        json p = Complete(text);
        EXPECT_EQ(p["windows"]["major"], r.major);
        EXPECT_EQ(p["windows"]["minor"], r.minor);
        EXPECT_EQ(p["windows"]["platform"], r.platform);
        EXPECT_EQ(p["windows"]["wow64"], r.wow64);
        EXPECT_EQ(p["windows"]["temp"].is_string(), r.tempSet);
    }
}

TEST(MachineProfile, BadProfilesAreRefusedWithFieldAndReason) {
    struct Row {
        const char* profile;
        const char* expected;  // part of the error text
    };
    const Row rows[] = {
        {"not json", "not valid JSON"},
        {"[1,2]", "a machine profile is a JSON object"},
        {R"({"windows":{"majr":6}})", "windows.majr: unknown field"},
        {R"({"window":{}})", "window: unknown field"},
        {R"({"windows":5})", "windows: expected an object"},
        {R"({"windows":{"major":"ten"}})", "windows.major: expected an unsigned integer up to 255"},
        {R"({"windows":{"major":-1}})", "windows.major: expected an unsigned integer"},
        {R"({"windows":{"build":70000}})", "windows.build: expected an unsigned integer up to 65535"},
        {R"({"windows":{"platform":"nt4"}})", "windows.platform: expected \"nt\" or \"9x\", not \"nt4\""},
        {R"({"windows":{"wow64":1}})", "windows.wow64: expected true or false"},
        {R"({"windows":{"langId":"0x10000"}})", "windows.langId: a language id is 16 bits"},
        {R"({"windows":{"langId":"english"}})", "windows.langId: expected a language id"},
        {R"({"windows":{"temp":5}})", "windows.temp: expected a string or null"},
        {R"({"windows":{"programPath":"D:\\romshell.exe"}})", "windows.programPath: expected the absolute path of a file on drive C:"},
        {R"({"windows":{"programPath":"romshell.exe"}})", "windows.programPath: expected the absolute path"},
        {R"({"windows":{"programPath":"C:\\a|b.exe"}})", "windows.programPath: \"C:\\a|b.exe\" holds characters"},
        {R"({"windows":{"currentDirectory":"tools"}})", "windows.currentDirectory: expected null or an absolute folder path"},
        {R"({"windows":{"freeBytes":-5}})", "windows.freeBytes: expected an unsigned integer"},
        {R"({"windows":{"environment":{"A":1}}})", "windows.environment.A: expected a string"},
        {R"({"windows":{"timerPeriodUs":0}})", "windows.timerPeriodUs: expected an unsigned integer from 1 to 1000000"},
        {R"({"windows":{"tickCountStart":4294967296}})", "windows.tickCountStart: expected an unsigned integer up to 4294967295"},
        {R"({"power":{"acLine":2}})", "power.acLine: expected 0 (off line), 1 (on line), 255 (unknown)"},
        {R"({"power":{"batteryPercent":101}})", "power.batteryPercent: expected 0 to 100 or 255"},
        {R"({"answers":{"messageBoxes":"ok"}})", "answers.messageBoxes: expected an array"},
        {R"({"answers":{"messageBoxes":["maybe"]}})", "answers.messageBoxes[0]: expected \"ok\""},
        {R"({"answers":{"dmiDialog":[{"serial":13}]}})", "answers.dmiDialog[0].serial: expected the text typed"},
        {R"({"answers":{"dmiDialog":[{"press":"enter"}]}})", "answers.dmiDialog[0].press: expected \"ok\", \"cancel\""},
        {R"({"answers":{"dmiDialog":[{"name":"x"}]}})", "answers.dmiDialog[0].name: unknown field"},
        {R"({"answers":{"messageBoxes":["ok",{"caption":"Warning"}]}})", "answers.messageBoxes[1]: a matcher needs an \"answer\""},
        {R"({"answers":{"messageBoxes":[{"title":"x","answer":"ok"}]}})", "answers.messageBoxes[0].title: unknown field"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.profile);
        json profile;
        std::string error;
        EXPECT_FALSE(emu::CompleteProfile(std::string(r.profile), &profile, &error));
        EXPECT_NE(error.find(r.expected), std::string::npos) << error;
    }
}

TEST(MachineProfile, EveryErrorOfAProfileIsReportedOnItsOwnLine) {
    json profile;
    std::string error;
    EXPECT_FALSE(emu::CompleteProfile(std::string(R"({"windows":{"major":"x","minor":"y"}})"), &profile, &error));
    EXPECT_EQ(error, "windows.major: expected an unsigned integer up to 255\n"
                     "windows.minor: expected an unsigned integer up to 255");
}

TEST(MachineProfile, MergeKeepsNullAsAValueAndMergesObjectsKeyByKey) {
    json base = {{"windows", {{"temp", "C:\\T"}, {"major", 10}}}, {"power", {{"acLine", 1}}}};
    json merged = emu::MergeProfile(base, json::parse(R"({"windows":{"temp":null},"answers":{"messageBoxes":["cancel"]}})"));
    EXPECT_TRUE(merged["windows"].contains("temp"));
    EXPECT_TRUE(merged["windows"]["temp"].is_null());
    EXPECT_EQ(merged["windows"]["major"], 10);
    EXPECT_EQ(merged["power"]["acLine"], 1);
    EXPECT_EQ(merged["answers"]["messageBoxes"][0], "cancel");
}

class WorldLayout : public EmulatedWorldTest {};

TEST_F(WorldLayout, RootHoldsTheCompletedProfileTheDriveAndTheFoldersItNames) {
    MakeWorld(R"({"windows":{"currentDirectory":"C:\\Work\\Here"}})");
    namespace fs = std::filesystem;
    std::string text, error;
    ASSERT_TRUE(emu::ReadTextFile(root_ + "/machine.json", &text, &error)) << error;
    json written = json::parse(text);
    EXPECT_EQ(written["windows"]["currentDirectory"], "C:\\Work\\Here");
    EXPECT_EQ(written["windows"]["build"], 19045);
    EXPECT_TRUE(fs::is_directory(root_ + "/C/Users/tech/AppData/Local/Temp"));
    EXPECT_TRUE(fs::is_directory(root_ + "/C/Users/tech/Desktop"));
    EXPECT_TRUE(fs::is_directory(root_ + "/C/Work/Here"));
    EXPECT_TRUE(fs::exists(root_ + "/transcript.jsonl"));
    EXPECT_EQ(emu::Profile()["windows"]["currentDirectory"], "C:\\Work\\Here");
}

TEST_F(WorldLayout, AWorldWithoutTempHasNoTempFolder) {
    MakeWorld(R"({"windows":{"temp":null}})");
    EXPECT_FALSE(std::filesystem::exists(root_ + "/C/Users/tech/AppData"));
}

TEST_F(WorldLayout, CreateWorldClearsAnEarlierWorldButRefusesAFolderOfOtherFiles) {
    MakeWorld();
    PutFile("C:\\old.txt", "old");
    std::string error;
    ASSERT_TRUE(emu::CreateWorld(root_, "{}", &error)) << error;
    EXPECT_FALSE(FileExists("C:\\old.txt"));

    std::string other = root_ + "-other";
    std::filesystem::create_directories(other);
    { std::ofstream(other + "/precious.txt") << "keep"; }
    EXPECT_FALSE(emu::CreateWorld(other, "{}", &error));
    EXPECT_NE(error.find("refusing to clear"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::exists(other + "/precious.txt"));
    std::filesystem::remove_all(other);
}

TEST_F(WorldLayout, StateWrittenByFlushIsReadAgainOnAttach) {
    MakeWorld();
    {
        auto lock = emu::LockState();
        emu::State()["flash"] = {{"written", 3}};
    }
    emu::FlushWorld();
    emu::DetachWorld();
    EXPECT_FALSE(emu::WorldAttached());
    std::string error;
    ASSERT_TRUE(emu::AttachWorld(root_, &error)) << error;
    auto lock = emu::LockState();
    EXPECT_EQ(emu::State()["flash"]["written"], 3);
}

TEST_F(WorldLayout, StateHooksSaveAtFlushAndLoadOnReload) {
    MakeWorld();
    int saved = 0, loaded = 0;
    // Hooks stay registered for the life of the process: keep them harmless for later tests.
    static int* savedCounter = nullptr;
    static int* loadedCounter = nullptr;
    savedCounter = &saved;
    loadedCounter = &loaded;
    emu::AddStateHooks([] { if (savedCounter) ++*savedCounter; }, [] { if (loadedCounter) ++*loadedCounter; });
    emu::FlushWorld();
    emu::ReloadState();
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(loaded, 1);
    savedCounter = nullptr;
    loadedCounter = nullptr;
}

TEST_F(WorldLayout, AttachingARootWithoutAWorldFails) {
    std::string error;
    EXPECT_FALSE(emu::AttachWorld("/nonexistent/emulated/root", &error));
    EXPECT_NE(error.find("is not an emulated world"), std::string::npos) << error;
}

}  // namespace
