// The progress window: a dialog on a thread of its own that extracts the package while it opens,
// then shows the update's steps, a progress text and a spinner until the process ends.
#pragma once

#include <cstdint>

#include "os/os.h"

constexpr uint32_t WM_PROGRESS_WATCH = os::kWmUser + 1;
constexpr uint32_t WM_PROGRESS_STOP = os::kWmUser + 2;

// Controls of dialog 117.
constexpr int kProgressDialogId = 117;
constexpr int kMarkBiosUpdate = 1008;
constexpr int kMarkMicomUpdate = 1009;
constexpr int kProgressText = 1010;
constexpr int kMarkFileExtraction = 1011;

// What the window's thread does while the dialog initialises, handed over by the update sequence:
// the package's extraction into the current directory, true on success.
struct ProgressJob {
    bool (*extract)();
};

// Thread routine: runs the dialog until it ends, extracting with job (a ProgressJob that lives as
// long as the thread). Signals unpackDone exactly once.
uint32_t ProgressThread(void* job);
// Sets string id as the progress text; no effect before the window exists.
void ShowProgressText(uint32_t stringId);
// Shows a step as in progress (done 0) or done (done 1); no effect before the window exists.
void MarkStep(int controlId, int done);
// Stops the spinner; the window stays open. No effect before the window exists.
void StopProgressAnimation();
