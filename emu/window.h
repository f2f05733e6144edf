// The emulated desktop: the program's dialogs as a person sees them, top-level windows of other
// programs that the profile declares, and the keys a person presses on a dialog.
//
// The emulated seam creates the program's windows and runs their message loops on the program's
// threads. It reports here every change a person could see; this module keeps each window's last
// state for the report after the run (State()["windows"], written at every flush, one record per
// window of this process) and records the changes in the transcript, not every repeated drawing:
//   {"event":"window","action":"open","window":65552,"dialog":117,"title":""}
//   {"event":"window","action":"openFailed","dialog":117,"error":1814}
//   {"event":"window","action":"show","window":65552,"state":"minimized"}     ("normal", "hidden")
//   {"event":"window","action":"text","window":65552,"control":1010,"text":"..."}
//   {"event":"window","action":"image","window":65552,"control":1011,"image":"OBM_RGARROWD","mark":"in progress"}
//   {"event":"window","action":"imageDeleted","window":65552,"control":1011,"image":"OBM_CHECK"}
//   {"event":"window","action":"timer","window":65552,"timer":32,"periodMs":200}  (periodMs 0: killed)
//   {"event":"window","action":"drawingStarted","window":65552,"image":"bitmap 116","x":312,"y":0,"timer":32}
//   {"event":"window","action":"drawingStopped","window":65552,"lastImage":"bitmap 122","count":40}
//   {"event":"window","action":"key","window":65552,"key":"esc"}
//   {"event":"window","action":"typed","window":65554,"control":1017,"text":"...","attempt":0}
//   {"event":"window","action":"pressed","window":65554,"button":"ok","attempt":0}   ("cancel", "close box")
//   {"event":"window","action":"closed","window":65552}
//   {"event":"window","action":"closeRequest","window":196608,"title":"Phoenix Secure WinFlash"}
//
// A window's record: {"window", "process", "dialog", "title", "state", "closed", "controls":
// {"1010": {"text": "..."}, "1011": {"image": "OBM_CHECK", "mark": "done"}}, "timers": {"32": 200},
// "drawing": {"image", "x", "y", "keyColour", "timer", "count", "stopped", "recent": [last 16 images]}}.
// The marks are what a person reads from the system bitmaps: a check mark is "done", the pressed
// right arrow "in progress".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace emu {

using WindowId = uint64_t;
using WindowClock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// The program's windows, as the seam reports them

void WindowOpened(WindowId window, uint32_t dialog, const std::string& title,
                  const std::vector<std::pair<int, std::string>>& controlTexts);
void WindowOpenFailed(uint32_t dialog, uint32_t error);
// "normal", "minimized", "maximized" or "hidden"; only changes are recorded.
void WindowShown(WindowId window, const std::string& state);
void WindowControlText(WindowId window, int control, const std::string& text);
// image: the name of the bitmap now shown by the control ("" for none).
void WindowControlImage(WindowId window, int control, const std::string& image);
// The bitmap a control shows was deleted while it was shown: the control shows garbage.
void WindowControlImageDeleted(WindowId window, int control);
// periodMs 0: the timer was killed.
void WindowTimer(WindowId window, uint64_t timer, uint32_t periodMs);
// A bitmap drawn straight onto the window; timer is the timer whose tick drew it (0: none).
void WindowDrawn(WindowId window, const std::string& image, int x, int y, uint32_t keyColour, uint64_t timer);
void WindowClosed(WindowId window);

// The record of one window of this process (null when there is none), and of all of them.
nlohmann::json WindowRecord(WindowId window);
nlohmann::json WindowRecords();

// GDI bitmaps of this process that exist now (made in this world and not yet deleted).
void BitmapMade(uint64_t bitmap);
void BitmapDeleted(uint64_t bitmap);
int LiveBitmaps();

// ---------------------------------------------------------------------------------------------
// Keys a person presses

enum class WindowKey { Escape, Enter };

// Presses key on a window of the program now (tests, and a person at the report's prompt).
void PressWindowKey(WindowId window, WindowKey key);
// The seam's message loop of window: a key pressed on it, or the profile's next key press
// (answers.windowKeys) once it is due. False when there is none now; *nextDue is then lowered to
// the moment the profile's next key press for this window falls due, if it is known.
bool TakeWindowKey(WindowId window, WindowClock::time_point now, WindowKey* key, WindowClock::time_point* nextDue);
// Called (without any lock of this module held) when a key is pressed on a window from another
// thread, so that its message loop wakes.
void SetWindowKeyWaker(std::function<void(WindowId)> waker);

// ---------------------------------------------------------------------------------------------
// What a person enters in the DMI settings dialog (answers.dmiDialog)

// One attempt: the texts typed into edit controls (each replacing the control's text), then a
// button pressed or the close box clicked.
struct DialogAttempt {
    std::vector<std::pair<int, std::string>> typed;
    enum class Press { Ok, Cancel, CloseBox } press = Press::Ok;
};
// The seam's message loop of window: the profile's next attempt on the DMI settings dialog
// (template 116) once the dialog is shown. When the attempts are used up the person closes the
// dialog with its close box, once; a profile without attempts does nothing to the dialog. False
// when nothing is done on this window now.
bool TakeDialogAttempt(WindowId window, DialogAttempt* attempt);
// The same for a DMI settings dialog of a real program that the Wine bench watches, known by the
// handle the bench gives it.
bool TakeBenchDialogAttempt(WindowId window, DialogAttempt* attempt);

// ---------------------------------------------------------------------------------------------
// Windows of other programs (desktop.windows of the profile)

// The first declared window with this title (compared without regard to case) that has not been
// closed.
bool FindDeclaredWindow(const std::string& title, WindowId* window);
bool IsDeclaredWindow(WindowId window);
// False when window is not a declared window that is still open.
bool DeclaredWindowTitle(WindowId window, std::string* title);
// A close request (WM_CLOSE): recorded, and the window is gone for good.
void CloseDeclaredWindow(WindowId window);

}  // namespace emu
