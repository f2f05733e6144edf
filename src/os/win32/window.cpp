// Message boxes, dialogs, timers, window queries and bitmaps through USER32 and GDI32.
#include "os/win32/win32.h"

#include <initializer_list>

namespace os {

using win32::ToBitmap;
using win32::ToModule;
using win32::ToWindow;

int MessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
    return ::MessageBoxA(ToWindow(owner), text, caption, style);
}

namespace {

// The seam's dialog procedure is a plain function; Windows calls a __stdcall one. The record
// reaches the dialog with its creation message; the procedure is then kept in the window's user
// data for every later message. Messages that arrive before the creation message (the font, for
// instance) are left to the dialog manager.
struct DialogStart {
    DialogProc proc;
    intptr_t param;
};

INT_PTR CALLBACK DialogTrampoline(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* start = reinterpret_cast<const DialogStart*>(lParam);
        ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(start->proc));
        return start->proc(window, message, wParam, start->param);
    }
    const auto proc = reinterpret_cast<DialogProc>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (proc == nullptr) return FALSE;
    return proc(window, message, wParam, lParam);
}

}  // namespace

intptr_t DialogBox(Module module, uint32_t templateId, Window owner, DialogProc proc, intptr_t param) {
    // The dialog is modal: the record outlives it on this frame.
    DialogStart start{proc, param};
    HMODULE program = ::GetModuleHandleA(nullptr);
    if (module == nullptr || ToModule(module) == program) {
        return ::DialogBoxParamA(program, MAKEINTRESOURCEA(templateId), ToWindow(owner), DialogTrampoline,
                                 reinterpret_cast<LPARAM>(&start));
    }
    // A language library holds the template but no bitmaps: the dialog is made from its template
    // with the program as instance, so that the image controls find the program's bitmaps.
    HRSRC found = ::FindResourceA(ToModule(module), MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(5));
    HGLOBAL loaded = found != nullptr ? ::LoadResource(ToModule(module), found) : nullptr;
    const void* dialogTemplate = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (dialogTemplate == nullptr) return -1;
    return ::DialogBoxIndirectParamA(program, static_cast<LPCDLGTEMPLATEA>(dialogTemplate), ToWindow(owner),
                                     DialogTrampoline, reinterpret_cast<LPARAM>(&start));
}

bool EndDialog(Window dialog, intptr_t result) { return ::EndDialog(ToWindow(dialog), result) != FALSE; }

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

bool SetDlgItemText(Window dialog, int controlId, const char* text) {
    return ::SetDlgItemTextA(ToWindow(dialog), controlId, text) != FALSE;
}

uint32_t GetDlgItemText(Window dialog, int controlId, char* buffer, int size) {
    if (size < 1) return 0;
    buffer[0] = '\0';
    return ::GetDlgItemTextA(ToWindow(dialog), controlId, buffer, size);
}

bool ShowWindow(Window window, int command) { return ::ShowWindow(ToWindow(window), command) != FALSE; }

uintptr_t SetTimer(Window window, uintptr_t timerId, uint32_t milliseconds) {
    return ::SetTimer(ToWindow(window), timerId, milliseconds, nullptr);
}

bool KillTimer(Window window, uintptr_t timerId) { return ::KillTimer(ToWindow(window), timerId) != FALSE; }

intptr_t SendMessage(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return ::SendMessageA(ToWindow(window), message, wParam, lParam);
}

Window FindWindow(const char* title) { return ::FindWindowA(nullptr, title); }

int GetWindowText(Window window, char* buffer, int size) {
    if (size < 1) return 0;
    buffer[0] = '\0';
    return ::GetWindowTextA(ToWindow(window), buffer, size);
}

bool GetWindowRect(Window window, Rect* rect) {
    RECT r{};
    if (!::GetWindowRect(ToWindow(window), &r)) return false;
    *rect = Rect{r.left, r.top, r.right, r.bottom};
    return true;
}

bool ScreenToClient(Window window, Point* point) {
    POINT p{point->x, point->y};
    if (!::ScreenToClient(ToWindow(window), &p)) return false;
    *point = Point{p.x, p.y};
    return true;
}

Bitmap LoadBitmap(Module module, uint32_t id) {
    // Without a module the id names one of the window system's predefined bitmaps (OBM_*).
    return ::LoadBitmapA(ToModule(module), MAKEINTRESOURCEA(id));
}

bool DeleteBitmap(Bitmap bitmap) { return ::DeleteObject(ToBitmap(bitmap)) != FALSE; }

bool SetControlBitmap(Window dialog, int controlId, Bitmap bitmap) {
    HWND control = ::GetDlgItem(ToWindow(dialog), controlId);
    if (control == nullptr) return false;
    ::SendMessageA(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    return true;
}

namespace {

// The memory contexts and bitmaps of one masked draw. Every member that was made is undone by
// ReleaseMaskedDraw, whatever step failed.
struct MaskedDraw {
    HDC source = nullptr;
    HDC save = nullptr;
    HDC mask = nullptr;
    HDC inverse = nullptr;
    HDC work = nullptr;
    HBITMAP saveBitmap = nullptr;
    HBITMAP maskBitmap = nullptr;
    HBITMAP inverseBitmap = nullptr;
    HBITMAP workBitmap = nullptr;
    HGDIOBJ oldSource = nullptr;
    HGDIOBJ oldSave = nullptr;
    HGDIOBJ oldMask = nullptr;
    HGDIOBJ oldInverse = nullptr;
    HGDIOBJ oldWork = nullptr;
};

void ReleaseMaskedDraw(MaskedDraw* d) {
    // Each bitmap leaves its context before either is deleted: a selected bitmap cannot be.
    if (d->oldSource != nullptr) ::SelectObject(d->source, d->oldSource);
    if (d->oldSave != nullptr) ::SelectObject(d->save, d->oldSave);
    if (d->oldMask != nullptr) ::SelectObject(d->mask, d->oldMask);
    if (d->oldInverse != nullptr) ::SelectObject(d->inverse, d->oldInverse);
    if (d->oldWork != nullptr) ::SelectObject(d->work, d->oldWork);
    for (HBITMAP b : {d->saveBitmap, d->maskBitmap, d->inverseBitmap, d->workBitmap}) {
        if (b != nullptr) ::DeleteObject(b);
    }
    for (HDC dc : {d->source, d->save, d->mask, d->inverse, d->work}) {
        if (dc != nullptr) ::DeleteDC(dc);
    }
}

bool Select(HDC dc, HGDIOBJ object, HGDIOBJ* old) {
    HGDIOBJ previous = ::SelectObject(dc, object);
    if (previous == nullptr || previous == HGDI_ERROR) return false;
    *old = previous;
    return true;
}

// The mask technique: the key-coloured pixels of the bitmap become a monochrome mask, the target
// area is blacked out where the bitmap is opaque, the bitmap is blacked out where it is
// transparent, and the two are ORed together. The bitmap itself is changed on the way and put
// back from a saved copy.
bool DrawMasked(HDC target, HBITMAP bitmap, int x, int y, COLORREF key) {
    BITMAP info{};
    if (::GetObjectA(bitmap, sizeof(info), &info) == 0) return false;

    MaskedDraw d;
    d.source = ::CreateCompatibleDC(target);
    d.save = ::CreateCompatibleDC(target);
    d.mask = ::CreateCompatibleDC(target);
    d.inverse = ::CreateCompatibleDC(target);
    d.work = ::CreateCompatibleDC(target);
    bool ok = d.source != nullptr && d.save != nullptr && d.mask != nullptr && d.inverse != nullptr &&
              d.work != nullptr;
    ok = ok && Select(d.source, bitmap, &d.oldSource);
    if (ok) {
        ::SetMapMode(d.source, ::GetMapMode(target));
    }
    POINT size{info.bmWidth, info.bmHeight};
    if (ok) {
        ::DPtoLP(d.source, &size, 1);
        d.maskBitmap = ::CreateBitmap(size.x, size.y, 1, 1, nullptr);
        d.inverseBitmap = ::CreateBitmap(size.x, size.y, 1, 1, nullptr);
        d.workBitmap = ::CreateCompatibleBitmap(target, size.x, size.y);
        d.saveBitmap = ::CreateCompatibleBitmap(target, size.x, size.y);
        ok = d.maskBitmap != nullptr && d.inverseBitmap != nullptr && d.workBitmap != nullptr &&
             d.saveBitmap != nullptr;
    }
    ok = ok && Select(d.save, d.saveBitmap, &d.oldSave) && Select(d.mask, d.maskBitmap, &d.oldMask) &&
         Select(d.inverse, d.inverseBitmap, &d.oldInverse) && Select(d.work, d.workBitmap, &d.oldWork);
    if (ok) {
        const int w = size.x;
        const int h = size.y;
        ::BitBlt(d.save, 0, 0, w, h, d.source, 0, 0, SRCCOPY);

        // Colour to monochrome: pixels of the background colour become 1, all others 0.
        const COLORREF oldBackground = ::SetBkColor(d.source, key);
        ::BitBlt(d.mask, 0, 0, w, h, d.source, 0, 0, SRCCOPY);
        ::SetBkColor(d.source, oldBackground);
        ::BitBlt(d.inverse, 0, 0, w, h, d.mask, 0, 0, NOTSRCCOPY);

        // Monochrome to colour: 0 takes the text colour and 1 the background colour of the
        // destination, so black and white make the masks act as AND masks.
        ::SetTextColor(d.work, RGB(0, 0, 0));
        ::SetBkColor(d.work, RGB(255, 255, 255));
        ::BitBlt(d.work, 0, 0, w, h, target, x, y, SRCCOPY);
        ::BitBlt(d.work, 0, 0, w, h, d.mask, 0, 0, SRCAND);

        const COLORREF oldText = ::SetTextColor(d.source, RGB(0, 0, 0));
        const COLORREF oldBack = ::SetBkColor(d.source, RGB(255, 255, 255));
        ::BitBlt(d.source, 0, 0, w, h, d.inverse, 0, 0, SRCAND);
        ::SetTextColor(d.source, oldText);
        ::SetBkColor(d.source, oldBack);

        ::BitBlt(d.work, 0, 0, w, h, d.source, 0, 0, SRCPAINT);
        ::BitBlt(target, x, y, w, h, d.work, 0, 0, SRCCOPY);
        ::BitBlt(d.source, 0, 0, w, h, d.save, 0, 0, SRCCOPY);
    }
    ReleaseMaskedDraw(&d);
    return ok;
}

}  // namespace

bool DrawMaskedBitmap(Window window, Bitmap bitmap, int x, int y, uint32_t keyColor) {
    HDC target = ::GetDC(ToWindow(window));
    if (target == nullptr) return false;
    const bool ok = DrawMasked(target, ToBitmap(bitmap), x, y, keyColor);
    ::ReleaseDC(ToWindow(window), target);
    return ok;
}

}  // namespace os
