// The Windows headers for the seam's Win32 side, and only for it.
//
// The seam's functions carry the Win32 names (CreateFile, MessageBox, LoadString, ...), which the
// Windows headers define as macros choosing the ...A or ...W function. Those macros are removed
// here, so that every file of this folder can define os::CreateFile and call ::CreateFileA by its
// explicit name. Inside namespace os, Win32 functions that keep their plain name (GetLastError,
// CloseHandle, ...) must be called with "::", or the call would reach the seam's own function.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#undef CreateFile
#undef DeleteFile
#undef MoveFile
#undef CopyFile
#undef CreateDirectory
#undef SetCurrentDirectory
#undef GetCurrentDirectory
#undef FindFirstFile
#undef FindNextFile
#undef GetDiskFreeSpace
#undef GetEnvironmentVariable
#undef GetModuleFileName
#undef LoadLibrary
#undef LoadString
#undef GetVersionEx
#undef CreateProcess
#undef CreateEvent
#undef MessageBox
#undef DialogBox
#undef SetDlgItemText
#undef GetDlgItemText
#undef SendMessage
#undef FindWindow
#undef GetWindowText
#undef LoadBitmap
#undef OpenSCManager
#undef OpenService
#undef StartService

#include "os/os.h"

namespace os::win32 {

inline HANDLE ToHandle(Handle h) { return static_cast<HANDLE>(h); }
inline HWND ToWindow(Window w) { return static_cast<HWND>(w); }
inline HINSTANCE ToModule(Module m) { return static_cast<HINSTANCE>(m); }
inline HBITMAP ToBitmap(Bitmap b) { return static_cast<HBITMAP>(b); }
inline SC_HANDLE ToService(Handle h) { return static_cast<SC_HANDLE>(h); }
inline HDEVINFO ToDeviceSet(Handle h) { return static_cast<HDEVINFO>(h); }

}  // namespace os::win32
