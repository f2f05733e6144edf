// The seam to the operating system.
//
// Every contact of the program with Windows goes through the free functions declared here. Two sets
// of definitions exist and CMake links one of them: os/win32/ calls Win32, os/emu/ acts on the
// emulated notebook and its Windows. The declarations follow the Win32 calls they stand for, with
// the same argument order, the same values for flags and codes, and the same results, so that the
// code above the seam reads like the Windows program it is. Policy (what to call when, and what a
// result means for the update) stays above the seam.
//
// Paths are Windows paths: backslashes, drive letters, names compared without regard to case.
// Texts are NUL-terminated ANSI strings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

using Handle = void*;  // file, device, process, thread, event, search, service, device set
using Module = void*;  // the program or a loaded resource library
using Window = void*;
using Bitmap = void*;

inline Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }
inline bool IsValid(Handle h) { return h != nullptr && h != InvalidHandle(); }

// ---------------------------------------------------------------------------------------------
// Errors

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorServiceExists = 1073;

// The calling thread's last error value (GetLastError).
uint32_t GetLastError();

// ---------------------------------------------------------------------------------------------
// Files, directories and devices

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kShareRead = 0x1;
constexpr uint32_t kShareWrite = 0x2;
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kFileFlagDeleteOnClose = 0x04000000;

// CreateFileA: files, and devices such as "\\.\ADDMEM" or "\\.\PhysicalDrive0".
// InvalidHandle() on failure.
Handle CreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flagsAndAttributes);
bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* bytesRead);
bool WriteFile(Handle file, const void* buffer, uint32_t size, uint32_t* bytesWritten);
enum class SeekFrom { Begin, Current, End };
bool SeekFile(Handle file, int64_t offset, SeekFrom from);
bool GetFileSize(Handle file, uint64_t* size);
// Closes any handle of this seam except searches (FindClose), services (CloseServiceHandle) and
// device sets (ClosePresentDevices).
bool CloseHandle(Handle handle);

// A whole file mapped read-only (CreateFileMapping + MapViewOfFile).
struct MappedFile {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    Handle file = nullptr;
    Handle mapping = nullptr;
};
bool MapFileReadOnly(const char* path, MappedFile* view);
void UnmapFile(MappedFile* view);

bool DeleteFile(const char* path);
// MoveFileA: never replaces an existing target.
bool MoveFile(const char* from, const char* to);
// CopyFileA with bFailIfExists = FALSE: replaces an existing target.
bool CopyFile(const char* from, const char* to);
bool CreateDirectory(const char* path);
bool SetCurrentDirectory(const char* path);
// GetCurrentDirectoryA: the length without the terminator, or the size needed (terminator
// included) when the buffer is too small, or 0 on failure.
uint32_t GetCurrentDirectory(char* buffer, uint32_t size);

// A folder that only Administrators and SYSTEM may change: owner Administrators, a protected DACL
// that grants full control to the two of them and nothing to anyone else, inherited by what is
// made inside. Fails when anything already stands at path.
bool CreatePrivateDirectory(const char* path);
// Opens the folder at path for the run to hold. A link or junction standing at path is not
// followed (the open fails, as for a file), and the folder is shared for reading and writing but
// not for deletion, so that nobody can rename, move or replace it while the handle is open.
// InvalidHandle() on failure; closed with CloseHandle.
Handle OpenDirectoryNoFollow(const char* path);
// Whether the folder held by an OpenDirectoryNoFollow handle is private: owned by Administrators
// or SYSTEM, its DACL protected from inheritance, and every entry granting to those two alone.
bool IsPrivateDirectory(Handle directory);
// Gives the folder held by an OpenDirectoryNoFollow handle the security CreatePrivateDirectory
// gives (through the handle, so it reaches that folder and no other). False when the system
// refuses; a file system that keeps no security may accept it and show none afterwards.
bool ProtectDirectory(Handle directory);

// The name of a file as a host library (zlib's gzopen) must open it. On Windows the path itself;
// in the emulated world the host file behind the Windows path. False when it does not fit.
bool HostPath(const char* path, char* hostPath, size_t size);

struct FindData {
    char name[260];
    bool isDirectory;
    uint64_t size;
};
// FindFirstFileA / FindNextFileA / FindClose. The pattern is matched by the system's rules
// ("*.wph", "*.*", without regard to case); "." and ".." are returned for a directory that has
// them. InvalidHandle() when nothing matches.
Handle FindFirstFile(const char* pattern, FindData* data);
bool FindNextFile(Handle search, FindData* data);
bool FindClose(Handle search);

// GetDiskFreeSpaceExA with no path: bytes available to the caller on the current directory's disk.
bool GetDiskFreeSpace(uint64_t* bytesAvailable);

// ---------------------------------------------------------------------------------------------
// Environment, modules and resources

// GetEnvironmentVariableA: the length without the terminator, the size needed when the buffer is
// too small, 0 when the variable is not set.
uint32_t GetEnvironmentVariable(const char* name, char* buffer, uint32_t size);
// GetModuleFileNameA of the running program: the length copied; equal to size when the name was
// cut; 0 on failure.
uint32_t GetModuleFileName(char* buffer, uint32_t size);
// The running program's own module (its instance handle).
Module ProgramModule();
// LoadLibraryExA with LOAD_LIBRARY_AS_DATAFILE: the file at path is mapped for its resources
// only, none of its code runs and no other file is searched for. nullptr on failure.
Module LoadResourceLibrary(const char* path);
// LoadStringA: the number of characters copied (without the terminator), 0 when the string does
// not exist. The text is in the system's ANSI code page, cut to fit the buffer and always
// terminated when size is at least 1.
int LoadString(Module module, uint32_t id, char* buffer, int size);
uint16_t GetSystemDefaultLangID();

// ---------------------------------------------------------------------------------------------
// Windows version, power and shutdown

constexpr uint32_t kPlatformWin32Windows = 1;  // the Windows 9x family
constexpr uint32_t kPlatformWin32Nt = 2;

struct VersionInfo {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t platformId;
};
// GetVersionExA.
bool GetVersionEx(VersionInfo* info);
// GetVersion: the packed version word; the high bit is set on the Windows 9x family.
uint32_t GetVersion();
// IsWow64Process for the current process, looked up in kernel32 at run time. False when the
// function does not exist or fails.
bool IsWow64Process(int* isWow64);

struct PowerStatus {
    uint8_t acLineStatus;        // 1 = on line
    uint8_t batteryLifePercent;  // 0..100, 255 = unknown
};
bool GetSystemPowerStatus(PowerStatus* status);

// Opens the process token, enables "SeShutdownPrivilege" and closes the token. Results unchecked,
// as the caller goes on with ExitWindowsEx in any case.
void EnableShutdownPrivilege();
constexpr uint32_t kEwxPowerOff = 0x8;
bool ExitWindowsEx(uint32_t flags);

// ---------------------------------------------------------------------------------------------
// Processes, threads and events

struct ProcessInfo {
    Handle process = nullptr;
    Handle thread = nullptr;
};
// CreateProcessA with default start-up information (size 68, all else zero), no inherited
// handles, CREATE_DEFAULT_ERROR_MODE, the parent's environment and the given current directory.
// application, when not nullptr, is the program file, used as it stands (extension included);
// otherwise the first word of the command line names the program (an unquoted word with blanks
// is tried up to each blank in turn) and ".exe" is appended when it has no extension.
bool CreateProcess(const char* application, const char* commandLine, const char* currentDirectory,
                   ProcessInfo* info);
bool GetExitCodeProcess(Handle process, uint32_t* exitCode);

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds);

constexpr uint32_t kNormalPriorityClass = 0x20;
constexpr uint32_t kRealtimePriorityClass = 0x100;
uint32_t GetPriorityClass();
bool SetPriorityClass(uint32_t priorityClass);

void Sleep(uint32_t milliseconds);
// GetTickCount: milliseconds since Windows started, wrapping after 49.7 days; an elapsed time is
// the unsigned difference of two counts. It moves in steps of the system timer's period.
uint32_t GetTickCount();
[[noreturn]] void ExitProcess(uint32_t exitCode);
// One line of text to the standard error stream (which the windowed program does not show).
void WriteStandardError(const char* text);

using ThreadRoutine = uint32_t (*)(void* argument);
// CreateThread with the default stack size; nullptr on failure.
Handle CreateThread(ThreadRoutine routine, void* argument);
// CreateEventA without a name.
Handle CreateEvent(bool manualReset, bool initiallySignalled);
bool SetEvent(Handle event);

// ---------------------------------------------------------------------------------------------
// Digests

// Algorithm ids of CryptoAPI (ALG_ID); the provider is PROV_RSA_AES, which has them all.
constexpr uint32_t kCalgSha1 = 0x8004;
constexpr uint32_t kCalgSha256 = 0x800C;
constexpr uint32_t kCalgSha384 = 0x800D;
constexpr uint32_t kCalgSha512 = 0x800E;
constexpr uint32_t kLargestDigestSize = 64;

// CryptAcquireContext (verify context) and CryptCreateHash: a digest under way, or nullptr when
// the algorithm is unknown or the system refuses. Ended by DestroyDigest only.
Handle CreateDigest(uint32_t algorithm);
// CryptHashData.
bool AddToDigest(Handle digest, const void* data, uint32_t size);
// CryptGetHashParam(HP_HASHVAL): the value into value (at least kLargestDigestSize bytes), its
// size into size. The digest takes no more data afterwards.
bool FinishDigest(Handle digest, uint8_t* value, uint32_t* size);
// CryptDestroyHash and CryptReleaseContext; nullptr is ignored.
void DestroyDigest(Handle digest);

// ---------------------------------------------------------------------------------------------
// Message boxes, dialogs and bitmaps

constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbOkCancel = 0x1;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// MessageBoxA; the button pressed.
int MessageBox(Window owner, const char* text, const char* caption, uint32_t style);

// Window messages the program handles or sends.
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kWmInitDialog = 0x0110;
constexpr uint32_t kWmCommand = 0x0111;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmUser = 0x0400;

// A dialog procedure: the return value is the dialog procedure's (nonzero = handled).
using DialogProc = intptr_t (*)(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// DialogBoxParamA: runs dialog templateId of module modally on the calling thread. The result
// given to EndDialog, or -1 when the dialog cannot be created.
intptr_t DialogBox(Module module, uint32_t templateId, Window owner, DialogProc proc, intptr_t param);
bool EndDialog(Window dialog, intptr_t result);
void PostQuitMessage(int exitCode);
bool SetDlgItemText(Window dialog, int controlId, const char* text);
uint32_t GetDlgItemText(Window dialog, int controlId, char* buffer, int size);

constexpr int kSwShowNormal = 1;
constexpr int kSwMinimize = 6;
bool ShowWindow(Window window, int command);

uintptr_t SetTimer(Window window, uintptr_t timerId, uint32_t milliseconds);
bool KillTimer(Window window, uintptr_t timerId);
// SendMessageA: carried out on the window's own thread; returns when it has been handled.
intptr_t SendMessage(Window window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// FindWindowA by title, any class; nullptr when there is none.
Window FindWindow(const char* title);
int GetWindowText(Window window, char* buffer, int size);

struct Point {
    int32_t x;
    int32_t y;
};
struct Rect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};
bool GetWindowRect(Window window, Rect* rect);
bool ScreenToClient(Window window, Point* point);

// LoadBitmapA of a resource of module; with module nullptr, a predefined system bitmap (OBM_*).
Bitmap LoadBitmap(Module module, uint32_t id);
constexpr uint32_t kObmCheck = 32760;
constexpr uint32_t kObmRgArrowD = 32741;
bool DeleteBitmap(Bitmap bitmap);
// STM_SETIMAGE with IMAGE_BITMAP on a static control of the dialog.
bool SetControlBitmap(Window dialog, int controlId, Bitmap bitmap);
// Draws bitmap at (x, y) of the window's client area, leaving the window untouched where the
// bitmap has exactly keyColor (a COLORREF: red in the low byte).
bool DrawMaskedBitmap(Window window, Bitmap bitmap, int x, int y, uint32_t keyColor);

// ---------------------------------------------------------------------------------------------
// Device I/O, services and present devices

// DeviceIoControl, synchronous.
bool DeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* bytesReturned);

// Service control manager of the local machine, default database, all access. nullptr on failure.
Handle OpenSCManager();
// OpenServiceA with SERVICE_ALL_ACCESS; nullptr on failure.
Handle OpenService(Handle manager, const char* name);
// CreateServiceA of a kernel driver: SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
// SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, no group, tag, dependencies, account or password.
Handle CreateKernelDriverService(Handle manager, const char* name, const char* displayName,
                                 const char* imagePath);
bool StartService(Handle service);
// ControlService with SERVICE_CONTROL_STOP.
bool StopService(Handle service);
bool DeleteService(Handle service);
bool CloseServiceHandle(Handle handle);

// Present devices of all classes (SetupAPI). Devices are addressed by their index in the set.
Handle OpenPresentDevices();  // InvalidHandle() when no set can be made
struct PresentDevice {
    bool hasClass;        // the device has a setup class name
    char className[1024]; // in the ANSI code page
};
// False when index is past the last device.
bool GetPresentDevice(Handle set, uint32_t index, PresentDevice* device);
// CM_Get_DevNode_Status with flags 0; false when it does not return CR_SUCCESS.
bool GetDeviceNodeStatus(Handle set, uint32_t index, uint32_t* status, uint32_t* problem);
constexpr uint32_t kDnDisableable = 0x2000;
constexpr uint32_t kCmProbHardwareDisabled = 0x1D;
// DIF_PROPERTYCHANGE through the class installer (DICS_ENABLE or DICS_DISABLE, global scope),
// under the wait cursor. False when the installer parameters were refused; the installer's own
// result is not reported.
bool ChangeDeviceState(Handle set, uint32_t index, bool enable);
void ClosePresentDevices(Handle set);

}  // namespace os
