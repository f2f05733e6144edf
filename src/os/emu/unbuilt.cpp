// Windows services the emulated world does not model yet: windows and dialogs, bitmaps. Each
// fails as Windows does when the service is unavailable, records the call, and never reports a
// success it has not earned.
#include "base/text.h"
#include "emu/winerror.h"
#include "os/emu/emulated.h"

namespace os {

using namespace os::emulated;

namespace {

constexpr uint32_t kNotModelled = emu::winerr::kCallNotImplemented;

bool Unsupported(const char* call) {
    RecordUnsupported(call);
    SetLastError(kNotModelled);
    return false;
}

}  // namespace

intptr_t DialogBox(Module, uint32_t templateId, Window, DialogProc, intptr_t) {
    RecordUnsupported("DialogBox", std::to_string(templateId));
    SetLastError(kNotModelled);
    return -1;
}

bool EndDialog(Window, intptr_t) { return Unsupported("EndDialog"); }

void PostQuitMessage(int) { RecordUnsupported("PostQuitMessage"); }

bool SetDlgItemText(Window, int, const char*) { return Unsupported("SetDlgItemText"); }

uint32_t GetDlgItemText(Window, int, char* buffer, int size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    Unsupported("GetDlgItemText");
    return 0;
}

bool ShowWindow(Window, int) { return Unsupported("ShowWindow"); }

uintptr_t SetTimer(Window, uintptr_t, uint32_t) {
    Unsupported("SetTimer");
    return 0;
}

bool KillTimer(Window, uintptr_t) { return Unsupported("KillTimer"); }

intptr_t SendMessage(Window, uint32_t message, uintptr_t, intptr_t) {
    RecordUnsupported("SendMessage", std::to_string(message));
    SetLastError(kNotModelled);
    return 0;
}

Window FindWindow(const char*) {
    // No windows exist in the emulated world yet, so none is found.
    SetLastError(0);
    return nullptr;
}

int GetWindowText(Window, char* buffer, int size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    Unsupported("GetWindowText");
    return 0;
}

bool GetWindowRect(Window, Rect*) { return Unsupported("GetWindowRect"); }

bool ScreenToClient(Window, Point*) { return Unsupported("ScreenToClient"); }

Bitmap LoadBitmap(Module, uint32_t id) {
    RecordUnsupported("LoadBitmap", std::to_string(id));
    SetLastError(kNotModelled);
    return nullptr;
}

bool DeleteBitmap(Bitmap) { return Unsupported("DeleteBitmap"); }

bool SetControlBitmap(Window, int, Bitmap) { return Unsupported("SetControlBitmap"); }

bool DrawMaskedBitmap(Window, Bitmap, int, int, uint32_t) { return Unsupported("DrawMaskedBitmap"); }

}  // namespace os
