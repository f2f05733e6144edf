// The emulated window system: dialogs from the program's templates run on the calling thread,
// sends from other threads, timers by the clock, keys from a person or the profile, other
// programs' windows, bitmaps, and the window's state kept in the world.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emu/profile.h"
#include "emu/window.h"
#include "emu/world.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// What a test dialog procedure saw. One dialog runs at a time in these tests.
struct Observed {
    std::atomic<os::Window> window{nullptr};
    std::atomic<bool> initialised{false};
    std::atomic<intptr_t> initParam{0};
    std::atomic<int> destroys{0};
    std::atomic<int> ticks{0};
    std::atomic<int> cancels{0};
    std::atomic<int> oks{0};
    std::atomic<int> userMessages{0};
    std::atomic<bool> userMessageOnDialogThread{false};
    std::atomic<bool> userMessageAfterInit{false};
    std::atomic<bool> endOnCancel{true};
    std::atomic<bool> quitOnDestroy{false};
    std::atomic<int> initSleepMs{0};
    std::atomic<uintptr_t> timerToStart{0};
    std::thread::id dialogThread;
    std::map<int, std::string> textsAtInit;  // written before initialised is set
};
Observed* gSeen = nullptr;

constexpr uint32_t kTestMessage = os::kWmUser + 7;

intptr_t TestDialogProc(os::Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Observed& seen = *gSeen;
    switch (message) {
        case os::kWmInitDialog: {
            seen.window = window;
            seen.initParam = lParam;
            seen.dialogThread = std::this_thread::get_id();
            for (int id : {1012, 1008, 1014, 1009, 1015, 1010, 1011, 1013, 17, 1017, 1018, 1019, 1, 2}) {
                char text[128];
                if (os::GetDlgItemText(window, id, text, sizeof text) > 0 || os::GetLastError() == 0)
                    seen.textsAtInit[id] = text;
            }
            if (seen.timerToStart != 0) os::SetTimer(window, seen.timerToStart, 50);
            seen.initialised = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(seen.initSleepMs.load()));
            return 1;
        }
        case os::kWmTimer:
            ++seen.ticks;
            return 1;
        case os::kWmCommand:
            if (wParam == os::kIdCancel) {
                ++seen.cancels;
                if (seen.endOnCancel) os::EndDialog(window, 42);
            }
            if (wParam == os::kIdOk) ++seen.oks;
            return 1;
        case kTestMessage:
            ++seen.userMessages;
            seen.userMessageOnDialogThread = std::this_thread::get_id() == seen.dialogThread;
            seen.userMessageAfterInit = seen.initialised.load();
            return static_cast<intptr_t>(wParam) * 2;
        case os::kWmDestroy:
            ++seen.destroys;
            if (seen.quitOnDestroy) os::PostQuitMessage(0);
            return 1;
        default:
            return 0;
    }
}

struct DialogRun {
    os::Module module;
    uint32_t templateId;
    intptr_t result = 0;
    uint32_t error = 0;
};

uint32_t RunDialog(void* argument) {
    auto* run = static_cast<DialogRun*>(argument);
    run->result = os::DialogBox(run->module, run->templateId, nullptr, TestDialogProc, 1234);
    run->error = os::GetLastError();
    return 0;
}

class EmulatedWindows : public EmulatedWorldTest {
protected:
    void SetUp() override { gSeen = &seen_; }
    void TearDown() override {
        // Every dialog a test opened is closed, so that no thread outlives its test.
        if (thread_ != nullptr) {
            seen_.endOnCancel = true;
            if (os::Window w = seen_.window.load()) emu::PressWindowKey(reinterpret_cast<uintptr_t>(w), emu::WindowKey::Escape);
            EXPECT_EQ(os::WaitForSingleObject(thread_, 5000), os::kWaitObject0);
            os::CloseHandle(thread_);
        }
        EmulatedWorldTest::TearDown();
        gSeen = nullptr;
    }

    // Opens a dialog on a thread of its own and waits until its initialisation has begun.
    os::Window Open(uint32_t templateId = 117) {
        run_ = DialogRun{os::ProgramModule(), templateId};
        thread_ = os::CreateThread(RunDialog, &run_);
        for (int i = 0; i < 500 && !seen_.initialised; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(seen_.initialised) << "the dialog did not open";
        return seen_.window;
    }

    // Waits for the dialog's thread to end.
    bool Ended(uint32_t ms = 3000) {
        if (thread_ == nullptr || os::WaitForSingleObject(thread_, ms) != os::kWaitObject0) return false;
        os::CloseHandle(thread_);
        thread_ = nullptr;
        return true;
    }

    static emu::WindowId Id(os::Window w) { return reinterpret_cast<uintptr_t>(w); }

    static std::vector<json> WindowEvents(const std::string& action) {
        std::vector<json> out;
        for (json& e : emu::TranscriptOf("window"))
            if (e.value("action", "") == action) out.push_back(e);
        return out;
    }

    Observed seen_;
    DialogRun run_{};
    os::Handle thread_ = nullptr;
};

TEST_F(EmulatedWindows, DialogsOfTheProgramOpenWithTheirTemplateTextsAndParameter) {
    MakeWorld();
    os::Window w = Open(117);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(seen_.initParam.load(), 1234);
    EXPECT_EQ(seen_.textsAtInit[1012], "Please do not interrupt the application before it");
    EXPECT_EQ(seen_.textsAtInit[1013], "Unpack Files");
    EXPECT_EQ(seen_.textsAtInit[1010], "");
    EXPECT_EQ(seen_.textsAtInit.count(1), 0u) << "dialog 117 has no OK button";
    json record = emu::WindowRecord(Id(w));
    EXPECT_EQ(record["dialog"], 117);
    EXPECT_EQ(record["closed"], false);
    // The dialog manager shows a dialog that its initialisation left hidden.
    for (int i = 0; i < 100 && emu::WindowRecord(Id(w))["state"] != "normal"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(emu::WindowRecord(Id(w))["state"], "normal");

    emu::PressWindowKey(Id(w), emu::WindowKey::Escape);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(run_.result, 42);
    EXPECT_EQ(seen_.destroys.load(), 1);
    EXPECT_EQ(emu::WindowRecord(Id(w))["closed"], true);
}

TEST_F(EmulatedWindows, TemplateTextsAgreeWithTheResourceScript) {
    // The controls of dialog 117 as the program's resource script declares them.
    std::ifstream in(std::string(ROMSHELL_SOURCE_DIR) + "/src/res/romshell.rc");
    std::stringstream script;
    script << in.rdbuf();
    const std::string text = script.str();
    const size_t begin = text.find("117 DIALOGEX");
    ASSERT_NE(begin, std::string::npos);
    const size_t end = text.find("\nEND", begin);
    const std::string block = text.substr(begin, end - begin);
    std::map<int, std::string> declared;
    const std::regex control(R"((?:LTEXT|CONTROL)\s+\"([^\"]*)\",\s*(-?\d+),)");
    for (auto it = std::sregex_iterator(block.begin(), block.end(), control); it != std::sregex_iterator(); ++it)
        declared[std::stoi((*it)[2])] = (*it)[1];
    ASSERT_GE(declared.size(), 12u);

    MakeWorld();
    Open(117);
    for (const auto& [id, expected] : declared) {
        SCOPED_TRACE(id);
        ASSERT_EQ(seen_.textsAtInit.count(id), 1u) << "control " << id << " is missing from the emulated dialog";
        EXPECT_EQ(seen_.textsAtInit[id], expected);
    }
}

TEST_F(EmulatedWindows, DialogsThatCannotBeMadeFailWithTheirReason) {
    struct Row {
        const char* patch;
        bool otherModule;
        uint32_t templateId;
        uint32_t error;
    };
    static char otherModule;
    const Row rows[] = {
        {"{}", false, 999, 1814},                          // no such template
        {"{}", true, 117, 6},                              // a module without templates
        {R"({"desktop":{"dialogsFail":true}})", false, 117, 8},  // no display
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.patch + std::string(" template ") + std::to_string(r.templateId));
        MakeWorld(r.patch);
        DialogRun run{r.otherModule ? static_cast<os::Module>(&otherModule) : os::ProgramModule(), r.templateId};
        RunDialog(&run);
        EXPECT_EQ(run.result, -1);
        EXPECT_EQ(run.error, r.error);
        EXPECT_FALSE(seen_.initialised);
        auto failed = WindowEvents("openFailed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0]["error"], r.error);
    }
}

TEST_F(EmulatedWindows, SendsFromAnotherThreadRunOnTheDialogsThreadOnceItsInitialisationIsOver) {
    MakeWorld();
    seen_.initSleepMs = 300;
    os::Window w = Open(117);
    // The dialog's thread is still in its initialisation: the send waits for its message loop.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os::SendMessage(w, kTestMessage, 21, 0), 42);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(seen_.userMessages.load(), 1);
    EXPECT_TRUE(seen_.userMessageOnDialogThread);
    EXPECT_TRUE(seen_.userMessageAfterInit);

    // Texts set from here are set by the dialog's thread too, and read back.
    ASSERT_TRUE(os::SetDlgItemText(w, 1010, "Preparing"));
    char text[16];
    EXPECT_EQ(os::GetDlgItemText(w, 1010, text, sizeof text), 9u);
    EXPECT_STREQ(text, "Preparing");
    EXPECT_EQ(os::GetDlgItemText(w, 1010, text, 5), 4u);
    EXPECT_STREQ(text, "Prep");
    EXPECT_FALSE(os::SetDlgItemText(w, 4242, "x"));
    EXPECT_EQ(os::GetLastError(), 1421u);
    EXPECT_EQ(emu::WindowRecord(Id(w))["controls"]["1010"]["text"], "Preparing");
}

TEST_F(EmulatedWindows, ACloseRequestBecomesTheCancelCommand) {
    MakeWorld();
    os::Window w = Open(117);
    os::SendMessage(w, os::kWmClose, 0, 0);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(seen_.cancels.load(), 1);
    EXPECT_EQ(run_.result, 42);
}

TEST_F(EmulatedWindows, TimersTickByTheClockOnTheDialogsThreadUntilKilled) {
    MakeWorld();
    seen_.timerToStart = 7;
    os::Window w = Open(117);
    std::this_thread::sleep_for(530ms);
    const int ticks = seen_.ticks;
    EXPECT_GE(ticks, 7);   // every 50 ms
    EXPECT_LE(ticks, 11);
    EXPECT_EQ(emu::WindowRecord(Id(w))["timers"]["7"], 50);

    // Timers belong to the window's thread.
    EXPECT_EQ(os::SetTimer(w, 8, 100), 0u);
    EXPECT_EQ(os::GetLastError(), 5u);
    EXPECT_FALSE(os::KillTimer(w, 7));
    EXPECT_EQ(os::GetLastError(), 5u);
    ASSERT_TRUE(seen_.initialised);
}

// A dialog procedure that kills its timer at the first tick, and then a timer that never existed.
std::atomic<int> gKillResults{0};
intptr_t KillingDialogProc(os::Window window, uint32_t message, uintptr_t wParam, intptr_t) {
    if (message == os::kWmInitDialog) {
        gSeen->window = window;
        os::SetTimer(window, 3, 20);
        gSeen->initialised = true;
    } else if (message == os::kWmTimer) {
        ++gSeen->ticks;
        gKillResults = (os::KillTimer(window, wParam) ? 1 : 0) + (os::KillTimer(window, 99) ? 10 : 0);
    } else if (message == os::kWmCommand && wParam == os::kIdCancel) {
        os::EndDialog(window, 0);
    }
    return 1;
}

TEST_F(EmulatedWindows, AKilledTimerStopsAndKillingAnUnknownTimerFails) {
    MakeWorld();
    thread_ = os::CreateThread(
        [](void*) -> uint32_t { return static_cast<uint32_t>(os::DialogBox(os::ProgramModule(), 117, nullptr, KillingDialogProc, 0)); },
        nullptr);
    for (int i = 0; i < 300 && gSeen->ticks == 0; ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(seen_.ticks.load(), 1);
    EXPECT_EQ(gKillResults.load(), 1);
    EXPECT_EQ(emu::WindowRecord(Id(seen_.window))["timers"], json::object());
}

TEST_F(EmulatedWindows, TheLoopEndsAtEndDialogOrAtAQuitMessage) {
    MakeWorld();
    // A quit posted by the destruction is left for the thread's next loop, as on Windows.
    seen_.quitOnDestroy = true;
    os::Window w = Open(117);
    EXPECT_TRUE(os::EndDialog(w, 5));
    ASSERT_TRUE(Ended());
    EXPECT_EQ(run_.result, 5);
    EXPECT_EQ(seen_.destroys.load(), 1);
    // The window is gone: nothing reaches it any more.
    EXPECT_EQ(os::SendMessage(w, kTestMessage, 1, 0), 0);
    EXPECT_EQ(os::GetLastError(), 1400u);
    EXPECT_FALSE(os::SetDlgItemText(w, 1010, "x"));
    EXPECT_EQ(os::FindWindow(""), nullptr);
}

// Runs two dialogs on one thread: the first posts a quit message when it is destroyed.
uint32_t TwoDialogsOnOneThread(void*) {
    os::DialogBox(os::ProgramModule(), 117, nullptr, TestDialogProc, 0);
    gSeen->initialised = false;
    gSeen->quitOnDestroy = false;
    return static_cast<uint32_t>(os::DialogBox(os::ProgramModule(), 116, nullptr, TestDialogProc, 0));
}

TEST_F(EmulatedWindows, AQuitMessageLeftOnTheThreadEndsItsNextDialogAtOnce) {
    MakeWorld();
    seen_.quitOnDestroy = true;
    thread_ = os::CreateThread(TwoDialogsOnOneThread, nullptr);
    for (int i = 0; i < 300 && !seen_.initialised; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(os::EndDialog(seen_.window, 1));
    ASSERT_TRUE(Ended());
    EXPECT_EQ(seen_.destroys.load(), 2);
    EXPECT_EQ(WindowEvents("open").size(), 2u);
}

TEST_F(EmulatedWindows, KeysReachTheDialogAsCommands) {
    MakeWorld();
    seen_.endOnCancel = false;
    os::Window w = Open(117);
    emu::PressWindowKey(Id(w), emu::WindowKey::Enter);
    emu::PressWindowKey(Id(w), emu::WindowKey::Escape);
    for (int i = 0; i < 100 && seen_.cancels == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(seen_.oks.load(), 1);
    EXPECT_EQ(seen_.cancels.load(), 1);
    EXPECT_FALSE(Ended(100)) << "the procedure decides whether a key ends the dialog";
    auto keys = WindowEvents("key");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0]["key"], "enter");
    EXPECT_EQ(keys[1]["key"], "esc");
}

TEST_F(EmulatedWindows, TheProfilesKeysArePressedInOrderWhenTheirMomentComes) {
    // The first key waits for a drawing on the window; the second comes 300 ms after the first
    // could be pressed, and only on dialog 117.
    MakeWorld(R"({"answers":{"windowKeys":[{"key":"enter","when":"drawn","afterMs":100},
                                          {"key":"esc","when":"shown","afterMs":300,"dialog":117}]}})");
    os::Window w = Open(117);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(seen_.oks.load(), 0) << "nothing has been drawn yet";
    EXPECT_EQ(seen_.cancels.load(), 0) << "the keys are taken in order";

    os::Bitmap frame = os::LoadBitmap(os::ProgramModule(), 116);
    const auto drawnAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(os::DrawMaskedBitmap(w, frame, 0, 0, 0x00FF0000));
    ASSERT_TRUE(Ended());
    const auto closedAfter = std::chrono::steady_clock::now() - drawnAt;
    EXPECT_EQ(seen_.oks.load(), 1);
    EXPECT_EQ(seen_.cancels.load(), 1);
    EXPECT_GE(closedAfter, 90ms);
    EXPECT_LT(closedAfter, 1500ms);
    auto keys = WindowEvents("key");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0]["answer"], 0);
    EXPECT_EQ(keys[1]["answer"], 1);
    os::DeleteBitmap(frame);
}

TEST_F(EmulatedWindows, AKeyMeantForAnotherDialogIsNotPressedOnThisOne) {
    MakeWorld(R"({"answers":{"windowKeys":[{"key":"esc","dialog":116}]}})");
    Open(117);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(seen_.cancels.load(), 0);
}

TEST_F(EmulatedWindows, ShowingIsRecordedWhenItChangesAndAnswersTheFormerVisibility) {
    MakeWorld();
    os::Window w = Open(117);
    for (int i = 0; i < 100 && emu::WindowRecord(Id(w))["state"] != "normal"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(os::ShowWindow(w, os::kSwMinimize));
    EXPECT_EQ(emu::WindowRecord(Id(w))["state"], "minimized");
    EXPECT_TRUE(os::ShowWindow(w, os::kSwShowNormal));
    EXPECT_TRUE(os::ShowWindow(w, os::kSwShowNormal));
    EXPECT_TRUE(os::ShowWindow(w, 0));
    EXPECT_FALSE(os::ShowWindow(w, os::kSwShowNormal));
    std::vector<std::string> states;
    for (const json& e : WindowEvents("show")) states.push_back(e["state"]);
    EXPECT_EQ(states, (std::vector<std::string>{"normal", "minimized", "normal", "hidden", "normal"}));
}

TEST_F(EmulatedWindows, GeometryIsFixedAndTheTopRightCornerLiesAboveTheClientArea) {
    MakeWorld();
    os::Window w = Open(117);
    os::Rect r{};
    ASSERT_TRUE(os::GetWindowRect(w, &r));
    EXPECT_EQ(r.left, 335);
    EXPECT_EQ(r.top, 248);
    EXPECT_EQ(r.right, 688);
    EXPECT_EQ(r.bottom, 519);
    os::Point corner{r.right, r.top};
    ASSERT_TRUE(os::ScreenToClient(w, &corner));
    // The thick frame is 4 pixels wide; the client area is 345 pixels wide.
    EXPECT_EQ(corner.x, 349);
    EXPECT_EQ(corner.y, -4);
    EXPECT_FALSE(os::GetWindowRect(reinterpret_cast<os::Window>(0x1234), &r));
    EXPECT_EQ(os::GetLastError(), 1400u);
}

TEST_F(EmulatedWindows, BitmapsRememberTheirIdAndAreCounted) {
    MakeWorld();
    static char otherModule;
    struct Row {
        os::Module module;
        uint32_t id;
        bool loads;
        uint32_t error;
    };
    const Row rows[] = {
        {os::ProgramModule(), 116, true, 0},  {os::ProgramModule(), 103, true, 0},
        {os::ProgramModule(), 113, true, 0},  {nullptr, os::kObmCheck, true, 0},
        {nullptr, os::kObmRgArrowD, true, 0}, {os::ProgramModule(), 104, false, 1814},
        {nullptr, 116, false, 1814},          {&otherModule, 116, false, 6},
    };
    std::vector<os::Bitmap> loaded;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.id);
        os::Bitmap b = os::LoadBitmap(r.module, r.id);
        EXPECT_EQ(b != nullptr, r.loads);
        if (b != nullptr) loaded.push_back(b);
        else EXPECT_EQ(os::GetLastError(), r.error);
    }
    EXPECT_EQ(emu::LiveBitmaps(), 5);
    EXPECT_TRUE(os::DeleteBitmap(loaded[0]));
    EXPECT_FALSE(os::DeleteBitmap(loaded[0])) << "a bitmap is deleted once";
    EXPECT_EQ(emu::LiveBitmaps(), 4);
    for (size_t i = 1; i < loaded.size(); ++i) os::DeleteBitmap(loaded[i]);
    EXPECT_EQ(emu::LiveBitmaps(), 0);
}

TEST_F(EmulatedWindows, ControlImagesShowAsMarksAndDeletingAShownImageIsRecorded) {
    MakeWorld();
    os::Window w = Open(117);
    os::Bitmap arrow = os::LoadBitmap(nullptr, os::kObmRgArrowD);
    os::Bitmap check = os::LoadBitmap(nullptr, os::kObmCheck);
    ASSERT_TRUE(os::SetControlBitmap(w, 1011, arrow));
    EXPECT_EQ(emu::WindowRecord(Id(w))["controls"]["1011"]["mark"], "in progress");
    ASSERT_TRUE(os::SetControlBitmap(w, 1011, check));
    EXPECT_EQ(emu::WindowRecord(Id(w))["controls"]["1011"]["mark"], "done");
    EXPECT_EQ(emu::WindowRecord(Id(w))["controls"]["1011"]["image"], "OBM_CHECK");
    // The arrow is no longer shown: deleting it is harmless. The check mark is.
    EXPECT_TRUE(os::DeleteBitmap(arrow));
    EXPECT_TRUE(WindowEvents("imageDeleted").empty());
    EXPECT_TRUE(os::DeleteBitmap(check));
    auto deleted = WindowEvents("imageDeleted");
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0]["control"], 1011);
    EXPECT_EQ(emu::WindowRecord(Id(w))["controls"]["1011"]["image"], "deleted bitmap");
    EXPECT_FALSE(os::SetControlBitmap(w, 5555, nullptr));
    EXPECT_EQ(os::GetLastError(), 1421u);
}

TEST_F(EmulatedWindows, DrawingsKeepTheLastFrameACountAndEndWithTheTimerThatDrewThem) {
    MakeWorld();
    os::Window w = Open(117);
    os::Bitmap a = os::LoadBitmap(os::ProgramModule(), 116);
    os::Bitmap b = os::LoadBitmap(os::ProgramModule(), 117);
    ASSERT_TRUE(os::DrawMaskedBitmap(w, a, 312, 0, 0x00FF0000));
    ASSERT_TRUE(os::DrawMaskedBitmap(w, b, 312, 0, 0x00FF0000));
    json drawing = emu::WindowRecord(Id(w))["drawing"];
    EXPECT_EQ(drawing["image"], "bitmap 117");
    EXPECT_EQ(drawing["count"], 2);
    EXPECT_EQ(drawing["x"], 312);
    EXPECT_EQ(drawing["keyColour"], 0x00FF0000);
    EXPECT_EQ(drawing["recent"], json::array({"bitmap 116", "bitmap 117"}));
    EXPECT_EQ(WindowEvents("drawingStarted").size(), 1u) << "repeated drawings are not each recorded";
    // A deleted bitmap cannot be drawn.
    os::DeleteBitmap(a);
    EXPECT_FALSE(os::DrawMaskedBitmap(w, a, 0, 0, 0));
    EXPECT_EQ(os::GetLastError(), 6u);
    os::DeleteBitmap(b);
}

TEST_F(EmulatedWindows, DeclaredWindowsOfOtherProgramsAreFoundByTitleAndCloseOnRequest) {
    MakeWorld(R"({"desktop":{"windows":[{"title":"Phoenix Secure WinFlash"},{"title":"Other"}]}})");
    os::Window found = os::FindWindow("phoenix secure winflash");
    ASSERT_NE(found, nullptr);
    char title[64];
    EXPECT_EQ(os::GetWindowText(found, title, sizeof title), 23);
    EXPECT_STREQ(title, "Phoenix Secure WinFlash");
    EXPECT_EQ(os::FindWindow("Phoenix"), nullptr) << "titles are compared whole";
    EXPECT_EQ(os::SendMessage(found, os::kWmClose, 0, 0), 0);
    EXPECT_EQ(os::FindWindow("Phoenix Secure WinFlash"), nullptr);
    EXPECT_NE(os::FindWindow("Other"), nullptr);
    EXPECT_EQ(os::GetWindowText(found, title, sizeof title), 0);
    auto requests = WindowEvents("closeRequest");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["title"], "Phoenix Secure WinFlash");
    // The closing holds for the rest of the world's life, child processes included.
    emu::FlushWorld();
    emu::ReloadState();
    EXPECT_EQ(os::FindWindow("Phoenix Secure WinFlash"), nullptr);
}

TEST_F(EmulatedWindows, TheProgramsOwnDialogIsFoundByItsTitle) {
    MakeWorld();
    os::Window w = Open(116);
    EXPECT_EQ(os::FindWindow("bcpdmi setting"), w);
    char title[32];
    EXPECT_EQ(os::GetWindowText(w, title, sizeof title), 14);
    EXPECT_STREQ(title, "BCPDMI Setting");
}

TEST_F(EmulatedWindows, WindowStateIsWrittenToTheWorldAndSurvivesAChildsState) {
    MakeWorld();
    os::Window w = Open(117);
    ASSERT_TRUE(os::SetDlgItemText(w, 1010, "before the child"));
    emu::FlushWorld();
    // A child process started now would hand back the state as it was; later changes stay.
    ASSERT_TRUE(os::SetDlgItemText(w, 1010, "while the child ran"));
    emu::ReloadState();
    emu::FlushWorld();
    std::ifstream in(root_ + "/state/state.json");
    json state = json::parse(in);
    ASSERT_TRUE(state["windows"].is_array());
    ASSERT_EQ(state["windows"].size(), 1u);
    EXPECT_EQ(state["windows"][0]["controls"]["1010"]["text"], "while the child ran");
    EXPECT_EQ(state["windows"][0]["dialog"], 117);
}

// Opens a dialog on a thread of its own and ends the process while it runs.
void EndProcessWithADialogOpen(const std::string& root) {
    Observed local;
    gSeen = &local;
    local.endOnCancel = false;
    DialogRun run{os::ProgramModule(), 117};
    os::CreateThread(RunDialog, &run);
    for (int i = 0; i < 300 && !local.initialised; ++i) std::this_thread::sleep_for(10ms);
    // This child's world goes now: the parent never sees it to remove it.
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    os::ExitProcess(local.initialised ? 3 : 4);
}

TEST_F(EmulatedWindows, TheProcessEndingEndsItsDialogThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MakeWorld();
    EXPECT_EXIT(EndProcessWithADialogOpen(root_), ::testing::ExitedWithCode(3), "");
}

TEST(WindowProfile, BadDesktopAndKeyEntriesAreRefusedWithFieldAndReason) {
    struct Row {
        const char* profile;
        const char* expected;
    };
    const Row rows[] = {
        {R"({"desktop":{"windows":"x"}})", "desktop.windows: expected an array"},
        {R"({"desktop":{"windows":[{"name":"x"}]}})", "desktop.windows[0]: expected an object with a \"title\""},
        {R"({"desktop":{"windows":[{"title":"x","class":"y"}]}})", "desktop.windows[0].class: unknown field"},
        {R"({"desktop":{"windows":[{"title":5}]}})", "desktop.windows[0].title: expected a string"},
        {R"({"desktop":{"dialogsFail":"yes"}})", "desktop.dialogsFail: expected true or false"},
        {R"({"answers":{"windowKeys":{}}})", "answers.windowKeys: expected an array"},
        {R"({"answers":{"windowKeys":[{"key":"space"}]}})", "answers.windowKeys[0].key: expected \"esc\" or \"enter\""},
        {R"({"answers":{"windowKeys":[{"when":"shown"}]}})", "answers.windowKeys[0]: expected an object with a \"key\""},
        {R"({"answers":{"windowKeys":[{"key":"esc","when":"later"}]}})", "answers.windowKeys[0].when: expected"},
        {R"({"answers":{"windowKeys":[{"key":"esc","afterMs":-1}]}})", "answers.windowKeys[0].afterMs: expected milliseconds"},
        {R"({"answers":{"windowKeys":[{"key":"esc","dialog":"117"}]}})", "answers.windowKeys[0].dialog: expected a dialog template id"},
        {R"({"answers":{"windowKeys":[{"key":"esc","at":5}]}})", "answers.windowKeys[0].at: unknown field"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.profile);
        json profile;
        std::string error;
        EXPECT_FALSE(emu::CompleteProfile(std::string(r.profile), &profile, &error));
        EXPECT_NE(error.find(r.expected), std::string::npos) << error;
    }
    json profile;
    std::string error;
    EXPECT_TRUE(emu::CompleteProfile(
        std::string(R"({"desktop":{"windows":[{"title":"A"}],"dialogsFail":true},
                        "answers":{"windowKeys":[{"key":"enter","when":"drawn","afterMs":5,"dialog":117}]}})"),
        &profile, &error))
        << error;
}

}  // namespace
