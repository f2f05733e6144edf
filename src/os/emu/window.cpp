// Dialogs, timers, window queries and bitmaps of the emulated seam: a headless window system.
//
// A dialog runs on the thread that calls DialogBox, as on Windows: the window object is made from
// the program's own dialog templates, the procedure gets WM_INITDIALOG, and a message loop then
// carries out what other threads send (synchronously, on the dialog's thread), the keys a person
// presses, and the timers by the real clock, until EndDialog or a quit message. What a person
// could see (texts, marks, the drawing on the window, whether it is shown) is reported to the
// emulated desktop (emu/window.h), which keeps it for the report after the run.
//
// The geometry is fixed: a 1024 x 768 screen, dialog units of 1.5 x 1.625 pixels (a 10-point
// font), dialogs centred, a 4-pixel thick frame and no caption for the progress window, a 3-pixel
// frame and a 22-pixel caption for the others.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.h"
#include "emu/codepage.h"
#include "emu/window.h"
#include "emu/winerror.h"
#include "emu/world.h"
#include "os/emu/emulated.h"

namespace os {

using namespace os::emulated;
namespace winerr = emu::winerr;

namespace {

using Clock = emu::WindowClock;

// Error values of the window manager and the resource loader, as winerror.h numbers them.
constexpr uint32_t kErrorInvalidWindowHandle = 1400;
constexpr uint32_t kErrorControlIdNotFound = 1421;
constexpr uint32_t kErrorResourceNameNotFound = 1814;

// ---------------------------------------------------------------------------------------------
// The program's dialog templates and bitmaps

struct ControlModel {
    int id;
    const char* text;  // the text the template gives it
};

struct DialogModel {
    uint32_t id;
    const char* title;
    const ControlModel* controls;
    size_t controlCount;
    int clientWidth;   // pixels
    int clientHeight;
    int frame;         // border width on each side
    int caption;       // caption height
};

// Controls that have an id of their own; the logos and labels (id -1) cannot be addressed.
constexpr ControlModel kProgressControls[] = {
    {1012, "Please do not interrupt the application before it"},
    {1008, ""},
    {1014, "Flash Bios"},
    {1009, ""},
    {1015, "Flash Micom"},
    {1010, ""},
    {1011, ""},
    {1013, "Unpack Files"},
    {17, "Current BIOS Version      : "},
    {1017, "New BIOS Version          :"},
    {1018, ""},
    {1019, ""},
};

constexpr ControlModel kDmiControls[] = {
    {1, "OK"}, {2, "Cancel"}, {1017, ""}, {1018, ""}, {1019, ""},
};

constexpr DialogModel kDialogs[] = {
    // 230 x 162 dialog units.
    {117, "", kProgressControls, std::size(kProgressControls), 345, 263, 4, 0},
    // 187 x 107 dialog units.
    {116, "BCPDMI Setting", kDmiControls, std::size(kDmiControls), 281, 174, 3, 22},
};

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

// Bitmap resources of the program file.
constexpr uint32_t kProgramBitmaps[] = {116, 117, 118, 103, 119, 120, 121, 122, 115, 113, 105, 107, 108};
// The predefined bitmaps of the window system (OBM_*) lie in this range.
constexpr uint32_t kFirstSystemBitmap = 32734;
constexpr uint32_t kLastSystemBitmap = 32767;
constexpr uint32_t kObmCheckId = 32760;
constexpr uint32_t kObmRgArrowDId = 32741;

const DialogModel* FindDialog(uint32_t id) {
    for (const DialogModel& d : kDialogs)
        if (d.id == id) return &d;
    return nullptr;
}

// A dialog template of a resource library, made into the same model as the program's own. The
// texts are kept in UTF-8, as every window text of this window system.
struct LibraryDialog {
    Module module = nullptr;
    uint32_t id = 0;
    std::string title;
    std::vector<std::string> texts;
    std::vector<ControlModel> controls;
    DialogModel model{};
};

// Made once per library and template, kept until the process ends (the libraries stay loaded).
std::mutex& gLibraryDialogsMutex = *new std::mutex;
std::vector<std::unique_ptr<LibraryDialog>>& gLibraryDialogs = *new std::vector<std::unique_ptr<LibraryDialog>>;

constexpr uint32_t kWsCaption = 0x00C00000;

// The model of template id of a loaded library; nullptr with the loader's error when the library
// has no such template or it does not hold together.
const DialogModel* FindLibraryDialog(Module module, uint32_t id, uint32_t* error) {
    std::lock_guard<std::mutex> lock(gLibraryDialogsMutex);
    for (const auto& d : gLibraryDialogs)
        if (d->module == module && d->id == id) return &d->model;
    const pe::Image* image = LibraryImage(module);
    std::vector<uint8_t> data;
    pe::DialogTemplate dialog;
    std::string parseError;
    if (image == nullptr || !pe::ReadResource(*image, pe::kTypeDialog, static_cast<uint16_t>(id), &data) ||
        !pe::ParseDialog(data, &dialog, &parseError)) {
        *error = image == nullptr ? winerr::kInvalidHandle : kErrorResourceNameNotFound;
        return nullptr;
    }
    auto d = std::make_unique<LibraryDialog>();
    d->module = module;
    d->id = id;
    d->title = pe::ToUtf8(dialog.title);
    // Controls without an id of their own (labels, logos) cannot be addressed.
    for (const pe::DialogControl& c : dialog.controls)
        if (c.id != -1) d->texts.push_back(c.text.isNumber ? std::string() : pe::ToUtf8(c.text.text));
    size_t next = 0;
    for (const pe::DialogControl& c : dialog.controls)
        if (c.id != -1) d->controls.push_back(ControlModel{c.id, d->texts[next++].c_str()});
    const bool hasCaption = (dialog.style & kWsCaption) == kWsCaption;
    // Dialog units of a 10-point font: 1.5 pixels across, 1.625 down, rounded.
    d->model = DialogModel{id,
                           d->title.c_str(),
                           d->controls.data(),
                           d->controls.size(),
                           (dialog.cx * 3 + 1) / 2,
                           (dialog.cy * 13 + 4) / 8,
                           hasCaption ? 3 : 4,
                           hasCaption ? 22 : 0};
    gLibraryDialogs.push_back(std::move(d));
    return &gLibraryDialogs.back()->model;
}

// ---------------------------------------------------------------------------------------------
// Objects

// A message sent from another thread, carried out by the window's loop.
struct SentCall {
    std::function<intptr_t()> call;
    intptr_t result = 0;
    bool done = false;
    bool dropped = false;  // the window was destroyed before the call ran
};

struct TimerEntry {
    uintptr_t id;
    uint32_t period;
    Clock::time_point due;
};

struct Control {
    std::string text;
    Bitmap image = nullptr;
};

struct WindowObject {
    uintptr_t handle = 0;
    const DialogModel* model = nullptr;
    DialogProc proc = nullptr;
    std::thread::id thread;
    // Guarded by gMutex.
    std::string title;
    std::map<int, Control> controls;
    std::string showState = "hidden";
    std::deque<std::shared_ptr<SentCall>> sent;
    std::vector<TimerEntry> timers;
    bool ended = false;
    intptr_t result = 0;
    bool destroyed = false;
    bool keyPending = false;
    std::condition_variable wake;
};

struct BitmapObject {
    std::string name;
};

// Never destroyed: dialog threads may still run while the process ends.
std::mutex& gMutex = *new std::mutex;
std::condition_variable& gSentDone = *new std::condition_variable;
std::map<uintptr_t, std::shared_ptr<WindowObject>>& gWindows = *new std::map<uintptr_t, std::shared_ptr<WindowObject>>;
std::map<uintptr_t, BitmapObject>& gBitmaps = *new std::map<uintptr_t, BitmapObject>;
// Window handles are even, as on Windows, and lie apart from the declared windows of the desktop.
uintptr_t gNextWindow = 0x00010010;
uintptr_t gNextBitmap = 0x05050000;

// The quit message posted on this thread and not yet taken by a message loop, and the timer
// whose tick this thread is handling (what a drawing is attributed to).
thread_local bool tQuitPosted = false;
thread_local WindowObject* tModal = nullptr;
thread_local uintptr_t tTimerTick = 0;

std::shared_ptr<WindowObject> FindWindowObject(Window window) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(window));
    if (it == gWindows.end() || it->second->destroyed) return nullptr;
    return it->second;
}

std::string BitmapName(Module module, uint32_t id) {
    if (module != nullptr) return "bitmap " + std::to_string(id);
    if (id == kObmCheckId) return "OBM_CHECK";
    if (id == kObmRgArrowDId) return "OBM_RGARROWD";
    return "OBM " + std::to_string(id);
}

// The name of a live bitmap; empty for none, "invalid bitmap" for a handle that is not one.
std::string NameOfBitmap(Bitmap bitmap) {
    if (bitmap == nullptr) return "";
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gBitmaps.find(reinterpret_cast<uintptr_t>(bitmap));
    return it == gBitmaps.end() ? "invalid bitmap" : it->second.name;
}

emu::WindowId IdOf(const WindowObject& w) { return static_cast<emu::WindowId>(w.handle); }

// Carries out call on the window's thread: at once when this is that thread, otherwise through
// the window's message loop, waiting until it has run. False (and nothing done) when the window
// is destroyed before the loop takes the call.
bool CallOnWindowThread(const std::shared_ptr<WindowObject>& w, std::function<intptr_t()> call, intptr_t* result) {
    if (std::this_thread::get_id() == w->thread) {
        *result = call();
        return true;
    }
    auto sent = std::make_shared<SentCall>();
    sent->call = std::move(call);
    std::unique_lock<std::mutex> lock(gMutex);
    if (w->destroyed) return false;
    w->sent.push_back(sent);
    w->wake.notify_all();
    gSentDone.wait(lock, [&] { return sent->done; });
    *result = sent->result;
    return !sent->dropped;
}

// Changes one control of a dialog on the dialog's thread, as a send to it would: change() alters
// the control under the lock, record() then reports the new state to the world. False with the
// window system's error when the window or the control does not exist.
template <typename Change, typename Record>
bool ChangeControl(Window dialog, int controlId, Change change, Record record) {
    std::shared_ptr<WindowObject> w = FindWindowObject(dialog);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    intptr_t found = 0;
    bool ran = CallOnWindowThread(
        w,
        [&]() -> intptr_t {
            {
                std::lock_guard<std::mutex> lock(gMutex);
                auto it = w->controls.find(controlId);
                if (it == w->controls.end()) return 0;
                change(it->second);
            }
            record(IdOf(*w));
            return 1;
        },
        &found);
    if (!ran || found == 0) {
        SetLastError(ran ? kErrorControlIdNotFound : kErrorInvalidWindowHandle);
        return false;
    }
    return true;
}

// The dialog procedure's answer; WM_CLOSE left to the dialog manager becomes the cancel
// command, as Windows' default dialog procedure makes it.
intptr_t Dispatch(WindowObject& w, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (w.proc == nullptr) return 0;
    intptr_t r = w.proc(reinterpret_cast<Window>(w.handle), message, wParam, lParam);
    if (message == kWmClose && r == 0) w.proc(reinterpret_cast<Window>(w.handle), kWmCommand, kIdCancel, 0);
    return r;
}

void WakeForKey(emu::WindowId window) {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gWindows.find(static_cast<uintptr_t>(window));
    if (it == gWindows.end()) return;
    it->second->keyPending = true;
    it->second->wake.notify_all();
}

void RegisterKeyWaker() {
    static std::once_flag once;
    std::call_once(once, [] { emu::SetWindowKeyWaker(WakeForKey); });
}

// The dialog's message loop: sent calls first, then keys, then timers, as Windows orders them.
void RunMessageLoop(const std::shared_ptr<WindowObject>& w) {
    for (;;) {
        std::unique_lock<std::mutex> lock(gMutex);
        if (w->ended || tQuitPosted) return;
        if (!w->sent.empty()) {
            std::shared_ptr<SentCall> sent = w->sent.front();
            w->sent.pop_front();
            lock.unlock();
            intptr_t result = sent->call();
            lock.lock();
            sent->result = result;
            sent->done = true;
            gSentDone.notify_all();
            continue;
        }
        w->keyPending = false;
        lock.unlock();

        Clock::time_point wakeAt = Clock::time_point::max();
        emu::WindowKey key;
        if (emu::TakeWindowKey(IdOf(*w), Clock::now(), &key, &wakeAt)) {
            Dispatch(*w, kWmCommand, key == emu::WindowKey::Escape ? kIdCancel : kIdOk, 0);
            continue;
        }
        emu::DialogAttempt attempt;
        if (emu::TakeDialogAttempt(IdOf(*w), &attempt)) {
            // Typing replaces an edit control's text, as a person who selects it all and types.
            for (const auto& [control, text] : attempt.typed) {
                bool exists = false;
                {
                    std::lock_guard<std::mutex> controlLock(gMutex);
                    auto it = w->controls.find(control);
                    exists = it != w->controls.end();
                    if (exists) it->second.text = text;
                }
                if (exists) emu::WindowControlText(IdOf(*w), control, text);
            }
            if (attempt.press == emu::DialogAttempt::Press::CloseBox)
                Dispatch(*w, kWmClose, 0, 0);
            else
                Dispatch(*w, kWmCommand, attempt.press == emu::DialogAttempt::Press::Cancel ? kIdCancel : kIdOk, 0);
            continue;
        }

        lock.lock();
        if (w->ended || tQuitPosted || !w->sent.empty() || w->keyPending) continue;
        const Clock::time_point now = Clock::now();
        TimerEntry* next = nullptr;
        for (TimerEntry& t : w->timers)
            if (next == nullptr || t.due < next->due) next = &t;
        if (next != nullptr && next->due <= now) {
            // One tick however late the loop comes to it: timer messages do not pile up.
            next->due = now + std::chrono::milliseconds(next->period);
            const uintptr_t id = next->id;
            lock.unlock();
            tTimerTick = id;
            Dispatch(*w, kWmTimer, id, 0);
            tTimerTick = 0;
            continue;
        }
        if (next != nullptr) wakeAt = std::min(wakeAt, next->due);
        if (wakeAt == Clock::time_point::max())
            w->wake.wait(lock);
        else
            w->wake.wait_until(lock, wakeAt);
    }
}

// The window's end: the procedure sees WM_DESTROY, calls still waiting fail, and the desktop
// records it closed.
void DestroyWindowObject(const std::shared_ptr<WindowObject>& w) {
    Dispatch(*w, kWmDestroy, 0, 0);
    std::vector<TimerEntry> timers;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        w->destroyed = true;
        timers.swap(w->timers);
        for (const auto& sent : w->sent) {
            sent->dropped = true;
            sent->done = true;
        }
        w->sent.clear();
        gSentDone.notify_all();
        gWindows.erase(w->handle);
    }
    for (const TimerEntry& t : timers) emu::WindowTimer(IdOf(*w), t.id, 0);
    emu::WindowClosed(IdOf(*w));
}

const char* ShowStateOf(int command, const std::string& current) {
    switch (command) {
        case 0: return "hidden";                  // SW_HIDE
        case 2: case 6: case 7: case 11: return "minimized";  // SW_SHOWMINIMIZED, SW_MINIMIZE, ...
        case 3: return "maximized";               // SW_MAXIMIZE
        case 1: case 9: return "normal";          // SW_SHOWNORMAL, SW_RESTORE
        default:                                  // SW_SHOW and the like keep the size
            return current == "hidden" ? "normal" : nullptr;
    }
}

struct Geometry {
    Rect window;
    Point clientOrigin;
};

Geometry GeometryOf(const DialogModel& d) {
    const int width = d.clientWidth + 2 * d.frame;
    const int height = d.clientHeight + 2 * d.frame + d.caption;
    Geometry g;
    g.window.left = (kScreenWidth - width) / 2;
    g.window.top = (kScreenHeight - height) / 2;
    g.window.right = g.window.left + width;
    g.window.bottom = g.window.top + height;
    g.clientOrigin = Point{g.window.left + d.frame, g.window.top + d.frame + d.caption};
    return g;
}

// Where the desktop shows other programs' windows: one place for all of them.
constexpr Rect kDeclaredWindowRect = {100, 100, 500, 400};
constexpr Point kDeclaredClientOrigin = {103, 125};

}  // namespace

intptr_t DialogBox(Module module, uint32_t templateId, Window owner, DialogProc proc, intptr_t param) {
    uint32_t error = 0;
    const DialogModel* model = nullptr;
    if (!emu::WorldAttached()) {
        error = winerr::kInvalidParameter;
    } else if (module != nullptr && module != ProgramModule()
                   ? (model = FindLibraryDialog(module, templateId, &error)) == nullptr
                   : (model = FindDialog(templateId)) == nullptr) {
        if (error == 0) error = kErrorResourceNameNotFound;
    } else if (owner != nullptr && FindWindowObject(owner) == nullptr) {
        error = kErrorInvalidWindowHandle;
    } else if (emu::ProfileValue("/desktop/dialogsFail") == true) {
        error = winerr::kNotEnoughMemory;
    }
    if (error != 0) {
        emu::WindowOpenFailed(templateId, error);
        SetLastError(error);
        return -1;
    }
    RegisterKeyWaker();

    auto w = std::make_shared<WindowObject>();
    w->model = model;
    w->proc = proc;
    w->thread = std::this_thread::get_id();
    w->title = model->title;
    std::vector<std::pair<int, std::string>> texts;
    for (size_t i = 0; i < model->controlCount; ++i) {
        w->controls[model->controls[i].id].text = model->controls[i].text;
        texts.emplace_back(model->controls[i].id, model->controls[i].text);
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        w->handle = gNextWindow;
        gNextWindow += 2;
        gWindows[w->handle] = w;
    }
    emu::WindowOpened(IdOf(*w), templateId, w->title, texts);

    WindowObject* outer = tModal;
    tModal = w.get();
    Dispatch(*w, kWmInitDialog, 0, param);
    bool show = false;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        // The dialog manager shows a modal dialog that its initialisation left hidden.
        if (!w->ended && w->showState == "hidden") {
            w->showState = "normal";
            show = true;
        }
    }
    if (show) emu::WindowShown(IdOf(*w), "normal");
    RunMessageLoop(w);
    tModal = outer;

    intptr_t result = 0;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        result = w->ended ? w->result : 0;
    }
    DestroyWindowObject(w);
    return result;
}

bool EndDialog(Window dialog, intptr_t result) {
    std::shared_ptr<WindowObject> w = FindWindowObject(dialog);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    w->ended = true;
    w->result = result;
    w->wake.notify_all();
    return true;
}

void PostQuitMessage(int) {
    tQuitPosted = true;
    if (tModal != nullptr) {
        std::lock_guard<std::mutex> lock(gMutex);
        tModal->wake.notify_all();
    }
}

bool SetDlgItemText(Window dialog, int controlId, const char* text) {
    // The control keeps the text in UTF-8; SetDlgItemTextA reads it in the system's code page.
    const std::string value = emu::CodePageToUtf8(text != nullptr ? text : "", emu::AnsiCodePage());
    return ChangeControl(
        dialog, controlId, [&](Control& control) { control.text = value; },
        [&](emu::WindowId window) { emu::WindowControlText(window, controlId, value); });
}

uint32_t GetDlgItemText(Window dialog, int controlId, char* buffer, int size) {
    if (buffer == nullptr || size < 1) return 0;
    buffer[0] = '\0';
    std::shared_ptr<WindowObject> w = FindWindowObject(dialog);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    std::string value;
    intptr_t found = 0;
    bool ran = CallOnWindowThread(
        w,
        [&]() -> intptr_t {
            std::lock_guard<std::mutex> lock(gMutex);
            auto it = w->controls.find(controlId);
            if (it == w->controls.end()) return 0;
            value = it->second.text;
            return 1;
        },
        &found);
    if (!ran || found == 0) {
        SetLastError(ran ? kErrorControlIdNotFound : kErrorInvalidWindowHandle);
        return 0;
    }
    const std::string ansi = emu::Utf8ToCodePage(value, emu::AnsiCodePage(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, ansi.data(), ansi.size());
    buffer[ansi.size()] = '\0';
    SetLastError(0);
    return static_cast<uint32_t>(ansi.size());
}

bool ShowWindow(Window window, int command) {
    std::shared_ptr<WindowObject> w = FindWindowObject(window);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    intptr_t wasVisible = 0;
    CallOnWindowThread(
        w,
        [&]() -> intptr_t {
            std::string state;
            bool visible = false;
            {
                std::lock_guard<std::mutex> lock(gMutex);
                visible = w->showState != "hidden";
                const char* next = ShowStateOf(command, w->showState);
                if (next == nullptr) return visible;
                w->showState = next;
                state = next;
            }
            emu::WindowShown(IdOf(*w), state);
            return visible;
        },
        &wasVisible);
    // ShowWindow answers whether the window was visible before, not whether the call worked.
    return wasVisible != 0;
}

uintptr_t SetTimer(Window window, uintptr_t timerId, uint32_t milliseconds) {
    std::shared_ptr<WindowObject> w = FindWindowObject(window);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    // A window's timers belong to the thread that owns it.
    if (std::this_thread::get_id() != w->thread) {
        SetLastError(winerr::kAccessDenied);
        return 0;
    }
    // Windows raises periods below 10 ms to 10 ms.
    const uint32_t period = std::max<uint32_t>(milliseconds, 10);
    {
        std::lock_guard<std::mutex> lock(gMutex);
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(period);
        auto it = std::find_if(w->timers.begin(), w->timers.end(), [&](const TimerEntry& t) { return t.id == timerId; });
        if (it != w->timers.end())
            *it = TimerEntry{timerId, period, due};
        else
            w->timers.push_back(TimerEntry{timerId, period, due});
        w->wake.notify_all();
    }
    emu::WindowTimer(IdOf(*w), timerId, period);
    return timerId != 0 ? timerId : 1;
}

bool KillTimer(Window window, uintptr_t timerId) {
    std::shared_ptr<WindowObject> w = FindWindowObject(window);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    if (std::this_thread::get_id() != w->thread) {
        SetLastError(winerr::kAccessDenied);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = std::find_if(w->timers.begin(), w->timers.end(), [&](const TimerEntry& t) { return t.id == timerId; });
        if (it == w->timers.end()) {
            SetLastError(winerr::kInvalidParameter);
            return false;
        }
        w->timers.erase(it);
    }
    emu::WindowTimer(IdOf(*w), timerId, 0);
    return true;
}

intptr_t SendMessage(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    const emu::WindowId id = reinterpret_cast<uintptr_t>(window);
    if (std::shared_ptr<WindowObject> w = FindWindowObject(window)) {
        intptr_t result = 0;
        if (!CallOnWindowThread(w, [&, w]() -> intptr_t { return Dispatch(*w, message, wParam, lParam); }, &result)) {
            SetLastError(kErrorInvalidWindowHandle);
            return 0;
        }
        return result;
    }
    if (emu::IsDeclaredWindow(id)) {
        // Another program's window: a close request closes it; other messages go unanswered.
        if (message == kWmClose) emu::CloseDeclaredWindow(id);
        return 0;
    }
    SetLastError(kErrorInvalidWindowHandle);
    return 0;
}

Window FindWindow(const char* title) {
    SetLastError(0);
    {
        std::lock_guard<std::mutex> lock(gMutex);
        for (const auto& [handle, w] : gWindows) {
            if (w->destroyed) continue;
            if (title == nullptr || EqualIgnoreCase(w->title.c_str(), title)) return reinterpret_cast<Window>(handle);
        }
    }
    emu::WindowId declared = 0;
    if (title != nullptr && emu::FindDeclaredWindow(title, &declared)) return reinterpret_cast<Window>(declared);
    return nullptr;
}

int GetWindowText(Window window, char* buffer, int size) {
    if (buffer == nullptr || size < 1) return 0;
    buffer[0] = '\0';
    std::string title;
    if (std::shared_ptr<WindowObject> w = FindWindowObject(window)) {
        std::lock_guard<std::mutex> lock(gMutex);
        title = w->title;
    } else if (!emu::DeclaredWindowTitle(reinterpret_cast<uintptr_t>(window), &title)) {
        SetLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    CopyText(buffer, static_cast<size_t>(size), title.c_str());
    return static_cast<int>(BoundedLength(buffer, static_cast<size_t>(size)));
}

bool GetWindowRect(Window window, Rect* rect) {
    if (rect == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return false;
    }
    if (std::shared_ptr<WindowObject> w = FindWindowObject(window)) {
        *rect = GeometryOf(*w->model).window;
        return true;
    }
    if (emu::IsDeclaredWindow(reinterpret_cast<uintptr_t>(window))) {
        *rect = kDeclaredWindowRect;
        return true;
    }
    SetLastError(kErrorInvalidWindowHandle);
    return false;
}

bool ScreenToClient(Window window, Point* point) {
    if (point == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return false;
    }
    Point origin{};
    if (std::shared_ptr<WindowObject> w = FindWindowObject(window)) {
        origin = GeometryOf(*w->model).clientOrigin;
    } else if (emu::IsDeclaredWindow(reinterpret_cast<uintptr_t>(window))) {
        origin = kDeclaredClientOrigin;
    } else {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    point->x -= origin.x;
    point->y -= origin.y;
    return true;
}

Bitmap LoadBitmap(Module module, uint32_t id) {
    bool known = false;
    if (module == nullptr) {
        known = id >= kFirstSystemBitmap && id <= kLastSystemBitmap;
    } else if (module == ProgramModule()) {
        known = std::find(std::begin(kProgramBitmaps), std::end(kProgramBitmaps), id) != std::end(kProgramBitmaps);
    } else {
        SetLastError(winerr::kInvalidHandle);
        return nullptr;
    }
    if (!known) {
        SetLastError(kErrorResourceNameNotFound);
        return nullptr;
    }
    uintptr_t handle = 0;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        handle = gNextBitmap;
        gNextBitmap += 4;
        gBitmaps[handle] = BitmapObject{BitmapName(module, id)};
    }
    emu::BitmapMade(handle);
    return reinterpret_cast<Bitmap>(handle);
}

bool DeleteBitmap(Bitmap bitmap) {
    std::vector<std::pair<emu::WindowId, int>> shownBy;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = gBitmaps.find(reinterpret_cast<uintptr_t>(bitmap));
        if (it == gBitmaps.end()) {
            SetLastError(winerr::kInvalidHandle);
            return false;
        }
        gBitmaps.erase(it);
        // A control keeps the handle it was given: deleting the bitmap it shows leaves it showing
        // whatever GDI puts there next.
        for (const auto& [handle, w] : gWindows)
            for (auto& [id, control] : w->controls)
                if (control.image == bitmap) {
                    control.image = nullptr;
                    shownBy.emplace_back(handle, id);
                }
    }
    emu::BitmapDeleted(reinterpret_cast<uintptr_t>(bitmap));
    for (const auto& [window, control] : shownBy) emu::WindowControlImageDeleted(window, control);
    return true;
}

bool SetControlBitmap(Window dialog, int controlId, Bitmap bitmap) {
    const std::string name = NameOfBitmap(bitmap);
    return ChangeControl(
        dialog, controlId, [&](Control& control) { control.image = bitmap; },
        [&](emu::WindowId window) { emu::WindowControlImage(window, controlId, name); });
}

bool DrawMaskedBitmap(Window window, Bitmap bitmap, int x, int y, uint32_t keyColor) {
    std::shared_ptr<WindowObject> w = FindWindowObject(window);
    if (w == nullptr) {
        SetLastError(kErrorInvalidWindowHandle);
        return false;
    }
    std::string name;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        auto it = gBitmaps.find(reinterpret_cast<uintptr_t>(bitmap));
        if (it == gBitmaps.end()) {
            SetLastError(winerr::kInvalidHandle);
            return false;
        }
        name = it->second.name;
    }
    emu::WindowDrawn(IdOf(*w), name, x, y, keyColor, std::this_thread::get_id() == w->thread ? tTimerTick : 0);
    // A key press the profile times from the first drawing may be due now.
    WakeForKey(IdOf(*w));
    return true;
}

}  // namespace os
