// Windows services the emulated world does not model yet: windows and dialogs, bitmaps, device
// I/O, the service control manager and the present devices. Each fails as Windows does when the
// service is unavailable, records the call, and never reports a success it has not earned.
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

bool DeviceIoControl(Handle, uint32_t code, const void*, uint32_t, void*, uint32_t, uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    // No device handle can exist yet: CreateFile refuses every device path.
    RecordUnsupported("DeviceIoControl", std::to_string(code));
    SetLastError(emu::winerr::kInvalidHandle);
    return false;
}

Handle OpenSCManager() {
    Unsupported("OpenSCManager");
    return nullptr;
}

Handle OpenService(Handle, const char*) {
    Unsupported("OpenService");
    return nullptr;
}

Handle CreateKernelDriverService(Handle, const char*, const char*, const char*) {
    Unsupported("CreateKernelDriverService");
    return nullptr;
}

bool StartService(Handle) { return Unsupported("StartService"); }

bool StopService(Handle) { return Unsupported("StopService"); }

bool DeleteService(Handle) { return Unsupported("DeleteService"); }

bool CloseServiceHandle(Handle) {
    SetLastError(emu::winerr::kInvalidHandle);
    return false;
}

Handle OpenPresentDevices() {
    Unsupported("OpenPresentDevices");
    return InvalidHandle();
}

bool GetPresentDevice(Handle, uint32_t, PresentDevice*) {
    SetLastError(emu::winerr::kInvalidHandle);
    return false;
}

bool GetDeviceNodeStatus(Handle, uint32_t, uint32_t*, uint32_t*) {
    SetLastError(emu::winerr::kInvalidHandle);
    return false;
}

bool ChangeDeviceState(Handle, uint32_t, bool) {
    SetLastError(emu::winerr::kInvalidHandle);
    return false;
}

void ClosePresentDevices(Handle) {}

}  // namespace os
