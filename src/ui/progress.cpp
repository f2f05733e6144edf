// The progress window: dialog 117 on a thread of its own.
//
// The window's thread opens the dialog, extracts the package while the dialog initialises, and
// then keeps the window alive (spinner, step marks, progress text) until the process ends or the
// user closes it when no update runs. The main thread changes the window only through the window
// system's synchronous calls, which the window's thread carries out; the spinner's frames and the
// watch text below belong to the window's thread alone, the mark bitmaps to the main thread.
#include "ui/progress.h"

#include <cstdint>

#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "base/text.h"
#include "os/os.h"

namespace {

constexpr uintptr_t ID_TIMER_WATCH = 16;
constexpr uintptr_t ID_TIMER_SPINNER = 32;
constexpr uint32_t kWatchPeriodMs = 500;
constexpr uint32_t kSpinnerPeriodMs = 200;

// Frames 0 to 7 of the spinner, bitmaps of the program itself.
constexpr uint32_t kSpinnerFrameIds[] = {116, 117, 118, 103, 119, 120, 121, 122};
constexpr int kSpinnerFrameCount = sizeof kSpinnerFrameIds / sizeof kSpinnerFrameIds[0];
// The frames' background, pure blue, is left out when they are drawn.
constexpr uint32_t kSpinnerKeyColour = 0x00FF0000;
// The frame's top-left corner, from the window's outer top-right corner.
constexpr int kSpinnerLeftOfRightEdge = 37;
constexpr int kSpinnerBelowTopEdge = 4;

// The flash tool's window that the watch closes.
constexpr char kWatchedTitle[] = "Phoenix Secure WinFlash";

// Controls whose texts the window sets when it opens, with the string of a full update and the
// string of a DMI-only update (0: the line stays empty).
struct InitialText {
    int control;
    uint32_t stringId;
    uint32_t dmiOnlyStringId;
};
constexpr InitialText kInitialTexts[] = {
    {1012, kTextProgressHeading, kTextProgressHeading},
    {1013, kTextStepFileExtraction, kTextStepFileExtraction},
    {1014, kTextStepBiosUpdate, kTextUpdateDmi},
    {1015, kTextStepMicomUpdate, 0},  // empty in a DMI-only update
    {1017, kTextNewBiosVersion, kTextNewBiosVersion},  // a hidden row
};

// The window's thread.
os::Bitmap spinnerFrames[kSpinnerFrameCount] = {};
int spinnerIndex = 0;
bool spinnerRunning = false;
char watchText[kTextSize] = {};
// Whether unpackDone has been signalled by this window's thread.
bool extractionReported = false;

// The main thread: the bitmap each mark control shows, so that the next mark can free it.
struct MarkSlot {
    int control;
    os::Bitmap bitmap;
};
MarkSlot markSlots[] = {{kMarkFileExtraction, nullptr}, {kMarkBiosUpdate, nullptr}, {kMarkMicomUpdate, nullptr}};

os::Module ProgramItself() { return ctx.instance != nullptr ? ctx.instance : os::ProgramModule(); }

// Wakes the main thread, which waits for the extraction's end. Called once per window.
void ReportExtraction(bool succeeded) {
    if (extractionReported) return;
    extractionReported = true;
    // unpackOk is stored before the event: the main thread reads it once the event lets it go.
    if (!succeeded) ctx.unpackOk = 0;
    os::SetEvent(ctx.unpackDone);
}

void SetInitialTexts(os::Window window) {
    const bool dmiOnly = HasOption(DmiOnly);
    for (const InitialText& row : kInitialTexts) {
        char text[kTextSize] = {};
        const uint32_t id = dmiOnly ? row.dmiOnlyStringId : row.stringId;
        if (id != 0) LoadText(id, text, sizeof text);
        os::SetDlgItemText(window, row.control, text);
    }
}

// The job of the running thread, set before its dialog opens.
const ProgressJob* job = nullptr;

void StartSpinner(os::Window window) {
    for (int i = 0; i < kSpinnerFrameCount; ++i) spinnerFrames[i] = os::LoadBitmap(ProgramItself(), kSpinnerFrameIds[i]);
    spinnerIndex = 0;
    spinnerRunning = true;
    os::SetTimer(window, ID_TIMER_SPINNER, kSpinnerPeriodMs);
}

// Stops the timer and frees the frames; harmless when the spinner never ran or has stopped.
void StopSpinner(os::Window window) {
    if (!spinnerRunning) return;
    spinnerRunning = false;
    os::KillTimer(window, ID_TIMER_SPINNER);
    for (os::Bitmap& frame : spinnerFrames) {
        if (frame != nullptr) os::DeleteBitmap(frame);
        frame = nullptr;
    }
}

// One frame at the window's top-right corner, drawn straight onto the window: a covered spinner
// comes back at the next tick.
void DrawSpinnerFrame(os::Window window) {
    if (!spinnerRunning) return;
    os::Rect outer;
    if (!os::GetWindowRect(window, &outer)) return;
    os::Point corner{outer.right, outer.top};
    if (!os::ScreenToClient(window, &corner)) return;
    os::DrawMaskedBitmap(window, spinnerFrames[spinnerIndex], corner.x - kSpinnerLeftOfRightEdge,
                         corner.y + kSpinnerBelowTopEdge, kSpinnerKeyColour);
    spinnerIndex = (spinnerIndex + 1) % kSpinnerFrameCount;
}

// The Phoenix tool leaves a window open at its end that would keep it from returning; the watch
// asks it to close. The send waits until the tool has handled the request.
void WatchFlashToolWindow() {
    os::Window found = os::FindWindow(kWatchedTitle);
    if (found == nullptr) return;
    LogLine("Find Window : %X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(found)));
    os::GetWindowText(found, watchText, sizeof watchText);
    LogLine("Message : %s", watchText);
    os::SendMessage(found, os::kWmClose, 0, 0);
    LogLine("SendMessage Complete");
}

void InitialiseWindow(os::Window window) {
    ctx.progressWindow = window;
    os::ShowWindow(window, os::kSwMinimize);
    os::ShowWindow(window, os::kSwShowNormal);
    SetInitialTexts(window);
    if (job == nullptr || job->extract == nullptr || !job->extract()) {
        // The window stays open without a spinner; the main thread reports the failure with it
        // as the owner of the message.
        ReportExtraction(false);
        return;
    }
    StartSpinner(window);
    ReportExtraction(true);
}

constexpr int LowWord(uintptr_t value) { return static_cast<int>(value & 0xFFFF); }

intptr_t ProgressDialogProc(os::Window window, uint32_t message, uintptr_t wParam, intptr_t) {
    switch (message) {
        case os::kWmInitDialog:
            InitialiseWindow(window);
            return 1;
        case os::kWmTimer:
            if (wParam == ID_TIMER_SPINNER) DrawSpinnerFrame(window);
            if (wParam == ID_TIMER_WATCH) WatchFlashToolWindow();
            return 1;
        case WM_PROGRESS_STOP:
            StopSpinner(window);
            return 1;
        case WM_PROGRESS_WATCH:
            if (wParam != 0) {
                watchText[0] = '\0';
                os::SetTimer(window, ID_TIMER_WATCH, kWatchPeriodMs);
            } else {
                os::KillTimer(window, ID_TIMER_WATCH);
            }
            return 1;
        case os::kWmCommand:
            // Esc and the close command end the window once no update runs. Enter (IDOK) does
            // nothing: the spinner keeps turning.
            if (LowWord(wParam) == os::kIdCancel && ctx.busy == 0) os::EndDialog(window, os::kIdCancel);
            return 1;
        case os::kWmDestroy:
            StopSpinner(window);
            os::KillTimer(window, ID_TIMER_WATCH);
            // Message boxes shown from now on have no owner rather than a window that is gone
            // (which the window system would refuse as their owner).
            ctx.progressWindow = nullptr;
            os::PostQuitMessage(0);
            return 1;
        default:
            return 0;
    }
}

}  // namespace

uint32_t ProgressThread(void* parameter) {
    job = static_cast<const ProgressJob*>(parameter);
    extractionReported = false;
    spinnerRunning = false;
    for (os::Bitmap& frame : spinnerFrames) frame = nullptr;
    watchText[0] = '\0';
    const os::Module module = ctx.resourceModule != nullptr ? ctx.resourceModule : ProgramItself();
    if (os::DialogBox(module, kProgressDialogId, nullptr, ProgressDialogProc, 0) == -1) {
        LogLine("Progress window could not be opened (error %u)", os::GetLastError());
    }
    // A window that never opened extracted nothing; the main thread must still be woken, and
    // learns that the extraction failed.
    ReportExtraction(false);
    return 0;
}

void ShowProgressText(uint32_t stringId) {
    os::Window window = ctx.progressWindow;
    if (window == nullptr) return;
    char text[kTextSize];
    LoadText(stringId, text, sizeof text);
    os::SetDlgItemText(window, kProgressText, text);
}

void MarkStep(int controlId, int done) {
    os::Window window = ctx.progressWindow;
    if (window == nullptr) return;
    MarkSlot* slot = nullptr;
    for (MarkSlot& s : markSlots)
        if (s.control == controlId) slot = &s;
    if (slot == nullptr) return;
    os::Bitmap mark = os::LoadBitmap(nullptr, done != 0 ? os::kObmCheck : os::kObmRgArrowD);
    if (mark == nullptr) return;
    if (!os::SetControlBitmap(window, controlId, mark)) {
        os::DeleteBitmap(mark);
        return;
    }
    // The control now shows the new mark; the one it showed before can go.
    if (slot->bitmap != nullptr) os::DeleteBitmap(slot->bitmap);
    slot->bitmap = mark;
}

void StopProgressAnimation() {
    os::Window window = ctx.progressWindow;
    if (window != nullptr) os::SendMessage(window, WM_PROGRESS_STOP, 0, 0);
}
