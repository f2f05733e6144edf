// The progress window on the emulated window system: its texts, the extraction it performs while
// it opens, the marks and progress texts the main thread sets, the spinner, closing, and the
// flash-tool window watch.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/failure.h"
#include "core/context.h"
#include "core/run_options.h"
#include "emu/window.h"
#include "emu/world.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"
#include "package/package.h"
#include "tests/unit/package_builder.h"
#include "ui/progress.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";
constexpr const char kWorkDir[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update";

const char kInstruction[] = "Please do not interrupt the application before it\ncompletes following tasks :";

std::vector<testpkg::Entry> SamplePackage() {
    return {{"SAMPLE01.WPH.gz", testpkg::Gzip(std::string(5000, 'B'))},
            {"WinUpV01_10.exe.gz", testpkg::Gzip("micom tool")}};
}

class ProgressWindowTest : public EmulatedWorldTest {
protected:
    void SetUp() override { ResetUpdateContext(); }

    void TearDown() override {
        // The window ends only when the user closes it with no update running.
        if (thread_ != nullptr) {
            ctx.busy = 0;
            if (os::Window w = ctx.progressWindow.load()) emu::PressWindowKey(Id(w), emu::WindowKey::Escape);
            EXPECT_EQ(os::WaitForSingleObject(thread_, 5000), os::kWaitObject0) << "the window did not close";
            os::CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (ctx.unpackDone != nullptr) os::CloseHandle(ctx.unpackDone);
        ResetUpdateContext();
        EmulatedWorldTest::TearDown();
    }

    // A world whose program file carries the package, with the working directory current, as the
    // update sequence leaves it before it starts the window.
    void Prepare(const std::string& patch = "{}", const std::string& programFile = "") {
        MakeWorld(patch);
        PutFile(kProgram, programFile.empty() ? testpkg::ProgramWithPackage(8, SamplePackage()) : programFile);
        PutFile(std::string(kWorkDir) + "\\placeholder", "");
        ASSERT_TRUE(os::DeleteFile((std::string(kWorkDir) + "\\placeholder").c_str()));
        ASSERT_TRUE(os::SetCurrentDirectory(kWorkDir));
        ctx.instance = os::ProgramModule();
        ctx.busy = 1;
        ctx.unpackOk = 1;
        ctx.unpackDone = os::CreateEvent(false, false);
    }

    // Starts the window's thread and waits, as the main thread does, for the extraction's end.
    void Start() {
        static const ProgressJob extraction = {ExtractOwnPackage};
        thread_ = os::CreateThread(ProgressThread, const_cast<ProgressJob*>(&extraction));
        ASSERT_NE(thread_, nullptr);
        ASSERT_EQ(os::WaitForSingleObject(ctx.unpackDone, 10000), os::kWaitObject0) << "unpackDone was not signalled";
    }

    // Closes the window as a person does once no update runs, and waits for its thread's end.
    bool CloseWindow() {
        ctx.busy = 0;
        if (os::Window w = ctx.progressWindow.load()) emu::PressWindowKey(Id(w), emu::WindowKey::Escape);
        if (os::WaitForSingleObject(thread_, 3000) != os::kWaitObject0) return false;
        os::CloseHandle(thread_);
        thread_ = nullptr;
        return true;
    }

    static emu::WindowId Id(os::Window w) { return reinterpret_cast<uintptr_t>(w); }
    json Record() { return emu::WindowRecord(Id(ctx.progressWindow.load())); }
    std::string Text(int control) { return Record()["controls"][std::to_string(control)].value("text", ""); }
    std::string Mark(int control) { return Record()["controls"][std::to_string(control)].value("mark", ""); }

    static std::vector<json> WindowEvents(const std::string& action) {
        std::vector<json> out;
        for (json& e : emu::TranscriptOf("window"))
            if (e.value("action", "") == action) out.push_back(e);
        return out;
    }

    // Waits up to ms for the spinner to have drawn at least count frames.
    bool WaitForFrames(uint64_t count, int ms = 3000) {
        for (int i = 0; i < ms / 10; ++i) {
            json d = Record()["drawing"];
            if (d.is_object() && d["count"].get<uint64_t>() >= count) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::string DebugLog() { return ReadFileBytes(std::string(kWorkDir) + "\\DebugLog.txt"); }

    os::Handle thread_ = nullptr;
};

TEST_F(ProgressWindowTest, OpensWithTheStepTextsOfTheRunAndExtractsThePackage) {
    struct Row {
        uint32_t options;
        const char* biosLine;
        const char* micomLine;
    };
    const Row rows[] = {
        {0, "BIOS Update", "MICOM Update"},
        {DmiOnly, "Update DMI information.", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.biosLine);
        Prepare();
        ctx.runOptions = r.options;
        Start();
        ASSERT_NE(ctx.progressWindow.load(), nullptr);
        EXPECT_EQ(ctx.unpackOk.load(), 1);
        EXPECT_EQ(Text(1012), kInstruction);
        EXPECT_EQ(Text(1013), "File Extraction");
        EXPECT_EQ(Text(1014), r.biosLine);
        EXPECT_EQ(Text(1015), r.micomLine);
        EXPECT_EQ(Text(1017), "New BIOS Version      : ");
        EXPECT_EQ(Text(1010), "") << "the progress text is the main thread's";
        // Minimised, then shown in its normal state.
        std::vector<std::string> states;
        for (const json& e : WindowEvents("show")) states.push_back(e["state"]);
        EXPECT_EQ(states, (std::vector<std::string>{"minimized", "normal"}));
        EXPECT_EQ(ReadFileBytes(std::string(kWorkDir) + "\\SAMPLE01.WPH"), std::string(5000, 'B'));
        EXPECT_EQ(ReadFileBytes(std::string(kWorkDir) + "\\WinUpV01_10.exe"), "micom tool");
        EXPECT_FALSE(FileExists(std::string(kWorkDir) + "\\SAMPLE01.WPH.gz"));
        TearDown();
    }
}

TEST_F(ProgressWindowTest, MarksAndProgressTextsReachTheWindowAndFreeTheMarkTheyReplace) {
    Prepare();
    Start();
    ASSERT_TRUE(WaitForFrames(1));
    const int framesLoaded = emu::LiveBitmaps();
    EXPECT_EQ(framesLoaded, 8);

    MarkStep(kMarkFileExtraction, 0);
    ShowProgressText(5);
    EXPECT_EQ(Mark(1011), "in progress");
    EXPECT_EQ(Text(1010), "Preparing file extraction. Please wait a moment...");
    MarkStep(kMarkFileExtraction, 1);
    ShowProgressText(7);
    EXPECT_EQ(Mark(1011), "done");
    EXPECT_EQ(Text(1010), "Preparing BIOS update.");
    MarkStep(kMarkBiosUpdate, 0);
    MarkStep(kMarkBiosUpdate, 1);
    MarkStep(kMarkMicomUpdate, 0);
    ShowProgressText(8);
    EXPECT_EQ(Mark(1008), "done");
    EXPECT_EQ(Mark(1009), "in progress");
    EXPECT_EQ(Text(1010), "Preparing MICOM update.");
    // One bitmap per mark control, however often its mark changed; none freed while shown.
    EXPECT_EQ(emu::LiveBitmaps(), framesLoaded + 3);
    EXPECT_TRUE(WindowEvents("imageDeleted").empty());
}

TEST_F(ProgressWindowTest, SpinnerTurnsItsFramesInOrderAtTheTopRightCornerUntilStopped) {
    Prepare();
    Start();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForFrames(10, 5000));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // 200 ms a frame: ten frames take about two seconds.
    EXPECT_GE(elapsed, 1600ms);

    json drawing = Record()["drawing"];
    const std::vector<std::string> cycle = {"bitmap 116", "bitmap 117", "bitmap 118", "bitmap 103",
                                            "bitmap 119", "bitmap 120", "bitmap 121", "bitmap 122"};
    std::vector<std::string> recent = drawing["recent"];
    ASSERT_GE(recent.size(), 10u);
    // All frames drawn so far are in the recent list: the first is frame 0, each next one follows.
    EXPECT_EQ(recent[0], cycle[0]);
    for (size_t i = 1; i < recent.size(); ++i) EXPECT_EQ(recent[i], cycle[i % cycle.size()]) << i;
    // 37 pixels left of the outer right edge, 4 below the outer top edge, in client coordinates
    // of a window with a 4-pixel frame and a client area 345 pixels wide.
    EXPECT_EQ(drawing["x"], 345 + 4 - 37);
    EXPECT_EQ(drawing["y"], -4 + 4);
    EXPECT_EQ(drawing["keyColour"], 0x00FF0000);
    EXPECT_EQ(drawing["timer"], 32);
    EXPECT_EQ(Record()["timers"]["32"], 200);

    StopProgressAnimation();
    const uint64_t atStop = Record()["drawing"]["count"];
    EXPECT_EQ(Record()["drawing"]["stopped"], true);
    EXPECT_EQ(Record()["timers"].count("32"), 0u);
    EXPECT_EQ(emu::LiveBitmaps(), 0) << "the frames are freed";
    // A second stop changes nothing.
    StopProgressAnimation();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(Record()["drawing"]["count"], atStop);
    EXPECT_EQ(WindowEvents("drawingStopped").size(), 1u);
    EXPECT_EQ(Record()["closed"], false) << "the window stays open";

    // Closing after the stop frees nothing twice.
    ASSERT_TRUE(CloseWindow());
    EXPECT_EQ(emu::LiveBitmaps(), 0);
    EXPECT_EQ(WindowEvents("drawingStopped").size(), 1u);
}

TEST_F(ProgressWindowTest, EscIsRefusedWhileBusyAndClosesTheWindowOnceTheUpdateIsOver) {
    Prepare();
    Start();
    os::Window window = ctx.progressWindow;
    emu::PressWindowKey(Id(window), emu::WindowKey::Escape);
    EXPECT_EQ(os::WaitForSingleObject(thread_, 400), os::kWaitTimeout);
    EXPECT_EQ(emu::WindowRecord(Id(window))["closed"], false);

    // Enter leaves the window as it is, spinner included.
    ASSERT_TRUE(WaitForFrames(1));
    emu::PressWindowKey(Id(window), emu::WindowKey::Enter);
    const uint64_t before = Record()["drawing"]["count"];
    ASSERT_TRUE(WaitForFrames(before + 2));
    EXPECT_EQ(Record()["drawing"]["stopped"], false);

    ASSERT_TRUE(CloseWindow());
    json record = emu::WindowRecord(Id(window));
    EXPECT_EQ(record["closed"], true);
    EXPECT_EQ(record["timers"], json::object());
    EXPECT_EQ(emu::LiveBitmaps(), 0) << "the destruction freed the frames";
    // Message boxes from now on have no owner instead of a window that is gone.
    EXPECT_EQ(ctx.progressWindow.load(), nullptr);
    // The main thread's calls have no effect any more.
    MarkStep(kMarkMicomUpdate, 0);
    ShowProgressText(8);
    StopProgressAnimation();
    EXPECT_EQ(emu::LiveBitmaps(), 0);
}

TEST_F(ProgressWindowTest, AFailedExtractionLeavesTheWindowOpenWithoutSpinnerAndReportsOnce) {
    std::string truncated = testpkg::ProgramWithPackage(8, SamplePackage());
    truncated.resize(truncated.size() - 10);
    struct Row {
        const char* what;
        std::string programFile;  // empty: no program file at all
    };
    const Row rows[] = {
        {"no package behind the program", "MZ" + std::string(2046, '\0')},
        {"a package that ends early", truncated},
        {"an empty package", testpkg::ProgramWithPackage(8, {})},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Prepare("{}", r.programFile);
        Start();
        EXPECT_EQ(ctx.unpackOk.load(), 0);
        // What the main thread does next: mark the step and show string 5, then report.
        MarkStep(kMarkFileExtraction, 0);
        ShowProgressText(5);
        EXPECT_EQ(Mark(1011), "in progress");
        EXPECT_EQ(Text(1010), "Preparing file extraction. Please wait a moment...");
        std::this_thread::sleep_for(450ms);
        EXPECT_FALSE(Record().contains("drawing")) << "no spinner";
        EXPECT_EQ(Record()["timers"], json::object());
        EXPECT_EQ(emu::LiveBitmaps(), 1) << "only the mark";
        EXPECT_EQ(Record()["closed"], false);
        EXPECT_EQ(os::WaitForSingleObject(ctx.unpackDone, 0), os::kWaitTimeout) << "signalled once";
        // The failure's box is owned by the window, which stays open behind it.
        EXPECT_EQ(FailUpdate(kResultUnpack), kResultUnpack);
        const std::vector<json> boxes = MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0]["caption"], "Fail : Unpack");
        EXPECT_EQ(boxes[0]["owner"], true);
        EXPECT_EQ(Record()["closed"], false);
        // Its end does not signal again either.
        ASSERT_TRUE(CloseWindow());
        EXPECT_EQ(os::WaitForSingleObject(ctx.unpackDone, 0), os::kWaitTimeout);
        TearDown();
    }
}

TEST_F(ProgressWindowTest, ADialogThatCannotBeCreatedStillEndsTheWaitAsAFailedExtraction) {
    static char moduleWithoutTemplates;
    struct Row {
        const char* what;
        const char* patch;
        os::Module resourceModule;
    };
    const Row rows[] = {
        {"no display", R"({"desktop":{"dialogsFail":true}})", nullptr},
        {"a resource module without the template", "{}", &moduleWithoutTemplates},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Prepare(r.patch);
        ctx.resourceModule = r.resourceModule;
        Start();
        EXPECT_EQ(ctx.unpackOk.load(), 0);
        ASSERT_EQ(os::WaitForSingleObject(thread_, 3000), os::kWaitObject0) << "the thread ends by itself";
        os::CloseHandle(thread_);
        thread_ = nullptr;
        EXPECT_EQ(os::WaitForSingleObject(ctx.unpackDone, 0), os::kWaitTimeout) << "signalled once";
        EXPECT_EQ(ctx.progressWindow.load(), nullptr);
        EXPECT_FALSE(FileExists(std::string(kWorkDir) + "\\SAMPLE01.WPH")) << "nothing was extracted";
        EXPECT_NE(DebugLog().find("Progress window could not be opened"), std::string::npos);
        TearDown();
    }
}

TEST_F(ProgressWindowTest, WatchClosesTheFlashToolsWindowWithinHalfASecondAndLogsIt) {
    Prepare(R"({"desktop":{"windows":[{"title":"Phoenix Secure WinFlash"}]}})");
    Start();
    const os::Window tool = os::FindWindow("Phoenix Secure WinFlash");
    ASSERT_NE(tool, nullptr);
    // Not started: the tool's window stays.
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(os::FindWindow("Phoenix Secure WinFlash"), tool);

    os::SendMessage(ctx.progressWindow, WM_PROGRESS_WATCH, 1, 0);
    const auto start = std::chrono::steady_clock::now();
    while (os::FindWindow("Phoenix Secure WinFlash") != nullptr && std::chrono::steady_clock::now() - start < 2s)
        std::this_thread::sleep_for(10ms);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(os::FindWindow("Phoenix Secure WinFlash"), nullptr);
    EXPECT_LE(took, 600ms);
    EXPECT_EQ(WindowEvents("closeRequest").size(), 1u);

    // The last line follows once the send has returned.
    for (int i = 0; i < 100 && DebugLog().find("SendMessage Complete") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    char handle[16];
    snprintf(handle, sizeof handle, "%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(tool)));
    EXPECT_EQ(DebugLog(), std::string("Find Window : ") + handle +
                              "\r\nMessage : Phoenix Secure WinFlash\r\nSendMessage Complete\r\n");
    EXPECT_EQ(Record()["timers"]["16"], 500);
}

TEST_F(ProgressWindowTest, AStoppedWatchLeavesTheFlashToolsWindowAlone) {
    Prepare(R"({"desktop":{"windows":[{"title":"Phoenix Secure WinFlash"}]}})");
    Start();
    os::SendMessage(ctx.progressWindow, WM_PROGRESS_WATCH, 1, 0);
    os::SendMessage(ctx.progressWindow, WM_PROGRESS_WATCH, 0, 0);
    std::this_thread::sleep_for(1100ms);
    EXPECT_NE(os::FindWindow("Phoenix Secure WinFlash"), nullptr);
    EXPECT_TRUE(WindowEvents("closeRequest").empty());
    EXPECT_EQ(Record()["timers"].count("16"), 0u);
    EXPECT_EQ(DebugLog(), "");
}

TEST_F(ProgressWindowTest, CallsBeforeTheWindowExistsHaveNoEffect) {
    Prepare();
    MarkStep(kMarkFileExtraction, 0);
    ShowProgressText(5);
    StopProgressAnimation();
    EXPECT_EQ(emu::LiveBitmaps(), 0);
    EXPECT_TRUE(emu::TranscriptOf("window").empty());
}

TEST_F(ProgressWindowTest, APersonPressingEscAfterTheUnpackClosesAWindowThatIsNotBusy) {
    // The profile's key comes once the spinner turns, that is after the package is unpacked.
    Prepare(R"({"answers":{"windowKeys":[{"key":"esc","when":"drawn","afterMs":100}]}})");
    ctx.busy = 0;
    Start();
    ASSERT_EQ(os::WaitForSingleObject(thread_, 3000), os::kWaitObject0);
    os::CloseHandle(thread_);
    thread_ = nullptr;
    EXPECT_EQ(ctx.unpackOk.load(), 1);
    auto keys = WindowEvents("key");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0]["key"], "esc");
    EXPECT_EQ(WindowEvents("closed").size(), 1u);
}

}  // namespace
