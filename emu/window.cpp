#include "emu/window.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "emu/winfs.h"
#include "emu/world.h"

namespace emu {
namespace {

using nlohmann::json;

constexpr size_t kRecentDrawings = 16;
// Handles of declared windows: even values well apart from those the seam gives its own windows.
constexpr WindowId kDeclaredWindowBase = 0x00030000;
constexpr WindowId kDeclaredWindowStep = 2;

struct WindowView {
    json record;
    std::optional<WindowClock::time_point> shownAt;
    std::optional<WindowClock::time_point> drawnAt;
    std::deque<WindowKey> pressed;
};

// Everything below is this process's view of the desktop of the world it is attached to; it
// starts afresh when the process attaches to another world.
std::mutex gMutex;
std::string gRoot;
std::map<WindowId, WindowView> gWindows;
size_t gNextKeyAnswer = 0;
size_t gNextDialogAttempt = 0;
std::set<WindowId> gDialogsGivenUp;
std::set<size_t> gClosedDeclared;
std::set<uint64_t> gLiveBitmaps;
std::function<void(WindowId)> gWaker;
std::once_flag gHooksOnce;

const char* KeyName(WindowKey key) { return key == WindowKey::Escape ? "esc" : "enter"; }

// Starts afresh when the world is another one than the last this module saw. Holds gMutex.
void FollowWorld() {
    std::string root = WorldRoot();
    if (root == gRoot) return;
    gRoot = root;
    gWindows.clear();
    gNextKeyAnswer = 0;
    gNextDialogAttempt = 0;
    gDialogsGivenUp.clear();
    gClosedDeclared.clear();
    gLiveBitmaps.clear();
}

// The state hooks keep the windows in the state file. The records live here in memory, so that a
// state read back from a child process (which knew only the windows as they were when it started)
// cannot turn them back; windows of other processes are kept as the state file has them.
void SaveWindows() {
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    json& state = State();
    json all = json::array();
    const int pid = static_cast<int>(::getpid());
    if (state.contains("windows") && state["windows"].is_array())
        for (const json& w : state["windows"])
            if (w.value("pid", 0) != pid) all.push_back(w);
    for (const auto& [id, view] : gWindows) all.push_back(view.record);
    state["windows"] = std::move(all);
    json closed = json::array();
    if (state.contains("declaredWindowsClosed") && state["declaredWindowsClosed"].is_array())
        for (const json& i : state["declaredWindowsClosed"])
            if (i.is_number_unsigned()) gClosedDeclared.insert(i.get<size_t>());
    for (size_t i : gClosedDeclared) closed.push_back(i);
    state["declaredWindowsClosed"] = std::move(closed);
    state["gdiBitmaps"] = gLiveBitmaps.size();
}

void LoadWindows() {
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    // A child process may have closed a declared window.
    const json& state = State();
    if (state.contains("declaredWindowsClosed") && state["declaredWindowsClosed"].is_array())
        for (const json& i : state["declaredWindowsClosed"])
            if (i.is_number_unsigned()) gClosedDeclared.insert(i.get<size_t>());
}

// Called before gMutex is taken: registering takes the state lock, which the hooks hold while
// they take gMutex.
void EnsureHooks() {
    std::call_once(gHooksOnce, [] { AddStateHooks(SaveWindows, LoadWindows); });
}

// The view of window, or nullptr. Holds gMutex.
WindowView* Find(WindowId window) {
    FollowWorld();
    auto it = gWindows.find(window);
    return it == gWindows.end() ? nullptr : &it->second;
}

json Event(const char* action, WindowId window) {
    return {{"event", "window"}, {"action", action}, {"window", window}};
}

const char* MarkOf(const std::string& image) {
    if (image == "OBM_CHECK") return "done";
    if (image == "OBM_RGARROWD") return "in progress";
    return nullptr;
}

const json& DeclaredWindows() {
    static const json kNone = json::array();
    const json& w = ProfileValue("/desktop/windows");
    return w.is_array() ? w : kNone;
}

// The index of a declared window that is still open. Holds gMutex.
bool DeclaredIndex(WindowId window, size_t* index) {
    FollowWorld();
    if (window < kDeclaredWindowBase || (window - kDeclaredWindowBase) % kDeclaredWindowStep != 0) return false;
    size_t i = static_cast<size_t>((window - kDeclaredWindowBase) / kDeclaredWindowStep);
    if (i >= DeclaredWindows().size() || gClosedDeclared.count(i) != 0) return false;
    *index = i;
    return true;
}

}  // namespace

void WindowOpened(WindowId window, uint32_t dialog, const std::string& title,
                  const std::vector<std::pair<int, std::string>>& controlTexts) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    WindowView view;
    json controls = json::object();
    for (const auto& [id, text] : controlTexts) controls[std::to_string(id)] = {{"text", text}};
    view.record = {{"window", window},   {"pid", static_cast<int>(::getpid())},
                   {"process", ProgramPath()}, {"dialog", dialog},
                   {"title", title},     {"state", "hidden"},
                   {"closed", false},    {"controls", controls},
                   {"timers", json::object()}};
    gWindows[window] = std::move(view);
    json e = Event("open", window);
    e["dialog"] = dialog;
    e["title"] = title;
    Record(e);
}

void WindowOpenFailed(uint32_t dialog, uint32_t error) {
    EnsureHooks();
    Record({{"event", "window"}, {"action", "openFailed"}, {"dialog", dialog}, {"error", error}});
}

void WindowShown(WindowId window, const std::string& state) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    if (state != "hidden" && !view->shownAt) view->shownAt = WindowClock::now();
    if (view->record["state"] == state) return;
    view->record["state"] = state;
    json e = Event("show", window);
    e["state"] = state;
    Record(e);
}

void WindowControlText(WindowId window, int control, const std::string& text) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    view->record["controls"][std::to_string(control)]["text"] = text;
    json e = Event("text", window);
    e["control"] = control;
    e["text"] = text;
    Record(e);
}

void WindowControlImage(WindowId window, int control, const std::string& image) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    json& c = view->record["controls"][std::to_string(control)];
    json e = Event("image", window);
    e["control"] = control;
    e["image"] = image;
    c["image"] = image;
    c.erase("mark");
    if (const char* mark = MarkOf(image)) {
        c["mark"] = mark;
        e["mark"] = mark;
    }
    Record(e);
}

void WindowControlImageDeleted(WindowId window, int control) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    json& c = view->record["controls"][std::to_string(control)];
    json e = Event("imageDeleted", window);
    e["control"] = control;
    e["image"] = c.value("image", "");
    c["image"] = "deleted bitmap";
    c.erase("mark");
    Record(e);
}

void WindowTimer(WindowId window, uint64_t timer, uint32_t periodMs) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    json& timers = view->record["timers"];
    const std::string key = std::to_string(timer);
    if (periodMs == 0) {
        if (!timers.contains(key)) return;
        timers.erase(key);
    } else {
        timers[key] = periodMs;
    }
    json e = Event("timer", window);
    e["timer"] = timer;
    e["periodMs"] = periodMs;
    Record(e);
    // Killing the timer whose ticks drew on the window ends that animation.
    json& drawing = view->record["drawing"];
    if (periodMs == 0 && drawing.is_object() && drawing.value("timer", uint64_t{0}) == timer &&
        !drawing.value("stopped", false)) {
        drawing["stopped"] = true;
        json s = Event("drawingStopped", window);
        s["lastImage"] = drawing["image"];
        s["count"] = drawing["count"];
        Record(s);
    }
}

void WindowDrawn(WindowId window, const std::string& image, int x, int y, uint32_t keyColour, uint64_t timer) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    json& drawing = view->record["drawing"];
    const bool starts = !drawing.is_object() || drawing.value("stopped", false);
    if (!drawing.is_object()) drawing = {{"count", 0}, {"recent", json::array()}};
    if (!view->drawnAt) view->drawnAt = WindowClock::now();
    drawing["image"] = image;
    drawing["x"] = x;
    drawing["y"] = y;
    drawing["keyColour"] = keyColour;
    drawing["timer"] = timer;
    drawing["stopped"] = false;
    drawing["count"] = drawing["count"].get<uint64_t>() + 1;
    json& recent = drawing["recent"];
    recent.push_back(image);
    if (recent.size() > kRecentDrawings) recent.erase(recent.begin());
    if (starts) {
        json e = Event("drawingStarted", window);
        e["image"] = image;
        e["x"] = x;
        e["y"] = y;
        e["timer"] = timer;
        Record(e);
    }
}

void WindowClosed(WindowId window) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return;
    view->record["closed"] = true;
    view->record["timers"] = json::object();
    view->pressed.clear();
    json e = Event("closed", window);
    if (view->record.contains("drawing")) e["drawings"] = view->record["drawing"]["count"];
    Record(e);
}

json WindowRecord(WindowId window) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    return view != nullptr ? view->record : json();
}

json WindowRecords() {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    json all = json::array();
    for (const auto& [id, view] : gWindows) all.push_back(view.record);
    return all;
}

void BitmapMade(uint64_t bitmap) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    gLiveBitmaps.insert(bitmap);
}

void BitmapDeleted(uint64_t bitmap) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    gLiveBitmaps.erase(bitmap);
}

int LiveBitmaps() {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    return static_cast<int>(gLiveBitmaps.size());
}

void PressWindowKey(WindowId window, WindowKey key) {
    EnsureHooks();
    std::function<void(WindowId)> waker;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        WindowView* view = Find(window);
        if (view == nullptr || view->record["closed"] == true) return;
        view->pressed.push_back(key);
        waker = gWaker;
    }
    if (waker) waker(window);
}

bool TakeWindowKey(WindowId window, WindowClock::time_point now, WindowKey* key, WindowClock::time_point* nextDue) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr) return false;
    json e = Event("key", window);
    if (!view->pressed.empty()) {
        *key = view->pressed.front();
        view->pressed.pop_front();
        e["key"] = KeyName(*key);
        Record(e);
        return true;
    }
    const json& answers = ProfileValue("/answers/windowKeys");
    if (!answers.is_array() || gNextKeyAnswer >= answers.size()) return false;
    const json& a = answers[gNextKeyAnswer];
    if (a.contains("dialog") && a["dialog"] != view->record["dialog"]) return false;
    const std::optional<WindowClock::time_point>& from = a.value("when", "shown") == "drawn" ? view->drawnAt : view->shownAt;
    if (!from) return false;
    const WindowClock::time_point due = *from + std::chrono::milliseconds(a.value("afterMs", 0));
    if (now < due) {
        *nextDue = std::min(*nextDue, due);
        return false;
    }
    ++gNextKeyAnswer;
    *key = a["key"] == "enter" ? WindowKey::Enter : WindowKey::Escape;
    e["key"] = KeyName(*key);
    e["answer"] = gNextKeyAnswer - 1;
    Record(e);
    return true;
}

namespace {

// The DMI settings dialog and its fields as a person names them.
constexpr uint32_t kDmiDialog = 116;
constexpr struct {
    const char* name;
    int control;
} kDmiFields[] = {{"serial", 1017}, {"flag", 1018}, {"date", 1019}};

}  // namespace

namespace {

// The profile's next attempt on a DMI settings dialog, recorded as done on window. Called with
// gMutex held.
bool NextDialogAttempt(WindowId window, DialogAttempt* attempt) {
    if (gDialogsGivenUp.count(window) != 0) return false;
    const json& attempts = ProfileValue("/answers/dmiDialog");
    attempt->typed.clear();
    json pressed = Event("pressed", window);
    // A profile without attempts leaves the dialog to the test or the person at the prompt.
    if (!attempts.is_array() || attempts.empty()) return false;
    if (gNextDialogAttempt >= attempts.size()) {
        // Nothing more to try: the person gives up.
        gDialogsGivenUp.insert(window);
        attempt->press = DialogAttempt::Press::CloseBox;
        pressed["button"] = "close box";
        pressed["attempt"] = nullptr;
        Record(pressed);
        return true;
    }
    const size_t index = gNextDialogAttempt++;
    const json& a = attempts[index];
    for (const auto& field : kDmiFields) {
        if (!a.contains(field.name)) continue;
        const std::string text = a[field.name].get<std::string>();
        attempt->typed.emplace_back(field.control, text);
        json typed = Event("typed", window);
        typed["control"] = field.control;
        typed["text"] = text;
        typed["attempt"] = index;
        Record(typed);
    }
    const std::string press = a.value("press", "ok");
    attempt->press = press == "cancel"      ? DialogAttempt::Press::Cancel
                     : press == "close box" ? DialogAttempt::Press::CloseBox
                                            : DialogAttempt::Press::Ok;
    pressed["button"] = press;
    pressed["attempt"] = index;
    Record(pressed);
    return true;
}

}  // namespace

bool TakeDialogAttempt(WindowId window, DialogAttempt* attempt) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    WindowView* view = Find(window);
    if (view == nullptr || view->record["dialog"] != kDmiDialog || !view->shownAt) return false;
    if (view->record["closed"] == true) return false;
    return NextDialogAttempt(window, attempt);
}

bool TakeBenchDialogAttempt(WindowId window, DialogAttempt* attempt) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    return NextDialogAttempt(window, attempt);
}

void SetWindowKeyWaker(std::function<void(WindowId)> waker) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    gWaker = std::move(waker);
}

bool FindDeclaredWindow(const std::string& title, WindowId* window) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    FollowWorld();
    const json& declared = DeclaredWindows();
    for (size_t i = 0; i < declared.size(); ++i) {
        if (gClosedDeclared.count(i) != 0) continue;
        if (EqualNoCase(declared[i].value("title", ""), title)) {
            *window = kDeclaredWindowBase + i * kDeclaredWindowStep;
            return true;
        }
    }
    return false;
}

bool IsDeclaredWindow(WindowId window) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    size_t index = 0;
    return DeclaredIndex(window, &index);
}

bool DeclaredWindowTitle(WindowId window, std::string* title) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    size_t index = 0;
    if (!DeclaredIndex(window, &index)) return false;
    *title = DeclaredWindows()[index].value("title", "");
    return true;
}

void CloseDeclaredWindow(WindowId window) {
    EnsureHooks();
    std::lock_guard<std::mutex> lock(gMutex);
    size_t index = 0;
    if (!DeclaredIndex(window, &index)) return;
    gClosedDeclared.insert(index);
    json e = Event("closeRequest", window);
    e["title"] = DeclaredWindows()[index].value("title", "");
    Record(e);
}

}  // namespace emu
