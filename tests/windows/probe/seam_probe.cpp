// A console program that drives the seam's Win32 side (src/os/win32/) with the program's own
// resources linked in, for running under Wine. It checks each call against what Windows itself
// reports, prints one line per check ("ok name" or "FAIL name: detail") and exits with the
// number of failures.
//
//   seam_probe headless [MAJOR.MINOR]
//                         files, strings, processes, threads, events, version (the one expected
//                         when given), devices, services
//   seam_probe display [LIBRARY]
//                         the dialogs, timers and the masked bitmap drawing (needs a display);
//                         the logos of the progress window from the program and from LIBRARY
//   seam_probe child      the child process of the process check
// The seam's own Windows header: windows.h without the macros that collide with the seam's names.
#include "os/win32/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"

namespace {

int failures = 0;

void Check(bool ok, const char* name, const std::string& detail = "") {
    if (ok) {
        std::printf("ok %s\n", name);
    } else {
        ++failures;
        std::printf("FAIL %s: %s\n", name, detail.c_str());
    }
    std::fflush(stdout);
}

std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(v));
    return text;
}

std::string TempFolder() {
    char temp[MAX_PATH];
    const uint32_t n = os::GetEnvironmentVariable("TEMP", temp, sizeof(temp));
    if (n == 0 || n >= sizeof(temp)) return "C:\\";
    std::string path = temp;
    if (path.back() != '\\') path += '\\';
    return path;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
    os::Handle f = os::CreateFile(path.c_str(), os::kGenericWrite, 0, os::kCreateAlways, os::kFileAttributeNormal);
    if (!os::IsValid(f)) return false;
    uint32_t written = 0;
    const bool ok = os::WriteFile(f, content.data(), static_cast<uint32_t>(content.size()), &written) &&
                    written == content.size();
    os::CloseHandle(f);
    return ok;
}

std::string ReadWholeFile(const std::string& path) {
    os::MappedFile view;
    if (!os::MapFileReadOnly(path.c_str(), &view)) return "<unreadable>";
    std::string content(reinterpret_cast<const char*>(view.data), static_cast<size_t>(view.size));
    os::UnmapFile(&view);
    return content;
}

// --- Strings and module -----------------------------------------------------------------------

void CheckStrings() {
    char text[256];
    const char* expected = "Please do not interrupt the application before it\ncompletes following tasks :";
    int n = os::LoadString(os::ProgramModule(), 1, text, sizeof(text));
    Check(n == static_cast<int>(std::strlen(expected)) && std::strcmp(text, expected) == 0, "LoadStringKeepsLineBreak",
          text);
    n = os::LoadString(os::ProgramModule(), 35, text, sizeof(text));
    Check(n > 0 && std::strstr(text, "30%%.") != nullptr && std::strstr(text, "charge\r\nlevel") != nullptr,
          "LoadStringKeepsDoublePercentAndCrLf", text);
    std::strcpy(text, "stale");
    n = os::LoadString(os::ProgramModule(), 6, text, sizeof(text));
    Check(n == 0 && text[0] == '\0', "LoadStringOfMissingIdGivesEmptyText", text);
    n = os::LoadString(os::ProgramModule(), 2, text, 5);
    Check(n == 4 && std::strcmp(text, "File") == 0, "LoadStringCutsToBufferAndTerminates", text);

    char name[MAX_PATH];
    const uint32_t full = os::GetModuleFileName(name, sizeof(name));
    char direct[MAX_PATH];
    ::GetModuleFileNameA(nullptr, direct, sizeof(direct));
    Check(full > 0 && std::strcmp(name, direct) == 0, "ModuleFileNameIsTheProgramsPath", name);
    char small[6];
    const uint32_t cut = os::GetModuleFileName(small, sizeof(small));
    Check(cut == sizeof(small) && small[5] == '\0' && std::strncmp(small, direct, 5) == 0,
          "ModuleFileNameCutIsTerminatedAndReportsFullBuffer", small);
    Check(os::ProgramModule() == ::GetModuleHandleA(nullptr), "ProgramModuleIsTheInstance");
}

// --- Files ------------------------------------------------------------------------------------

void CheckFiles() {
    const std::string dir = TempFolder() + "seam_probe_files";
    os::CreateDirectory(dir.c_str());
    const std::string a = dir + "\\Alpha.PRB";
    const std::string b = dir + "\\beta.prb";
    const std::string empty = dir + "\\empty.txt";
    Check(WriteWholeFile(a, "0123456789") && WriteWholeFile(b, "bb") && WriteWholeFile(empty, ""), "WriteFiles");

    os::Handle f = os::CreateFile(a.c_str(), os::kGenericRead, os::kShareRead, os::kOpenExisting,
                                  os::kFileAttributeNormal);
    uint64_t size = 0;
    char buffer[4] = {};
    uint32_t read = 0;
    const bool opened = os::IsValid(f);
    const bool sized = opened && os::GetFileSize(f, &size) && size == 10;
    const bool seeked = opened && os::SeekFile(f, -3, os::SeekFrom::End) && os::ReadFile(f, buffer, 3, &read) &&
                        read == 3 && std::memcmp(buffer, "789", 3) == 0;
    const bool sought = opened && os::SeekFile(f, 2, os::SeekFrom::Begin) && os::SeekFile(f, 1, os::SeekFrom::Current) &&
                        os::ReadFile(f, buffer, 2, &read) && read == 2 && std::memcmp(buffer, "34", 2) == 0;
    const bool endRead = opened && os::SeekFile(f, 0, os::SeekFrom::End) && os::ReadFile(f, buffer, 2, &read) && read == 0;
    if (opened) os::CloseHandle(f);
    Check(sized, "GetFileSize");
    Check(seeked && sought, "SeekFileFromEveryOrigin");
    Check(endRead, "ReadAtEndReadsNothing");
    Check(!os::IsValid(os::CreateFile((dir + "\\missing").c_str(), os::kGenericRead, 0, os::kOpenExisting, 0)) &&
              os::GetLastError() == os::kErrorFileNotFound,
          "OpeningMissingFileFailsWithFileNotFound", Hex(os::GetLastError()));

    Check(ReadWholeFile(a) == "0123456789", "MapFileReadOnly");
    os::MappedFile view;
    constexpr uint32_t kErrorFileInvalid = 1006;  // what CreateFileMapping gives for an empty file
    Check(!os::MapFileReadOnly(empty.c_str(), &view) && view.data == nullptr &&
              os::GetLastError() == kErrorFileInvalid,
          "MappingAnEmptyFileFails", Hex(os::GetLastError()));
    Check(!os::MapFileReadOnly((dir + "\\missing").c_str(), &view), "MappingMissingFileFails");

    // Patterns match without regard to case; "." and ".." come with a directory.
    os::FindData data{};
    std::vector<std::string> found;
    os::Handle search = os::FindFirstFile((dir + "\\*.prb").c_str(), &data);
    if (os::IsValid(search)) {
        do {
            found.push_back(data.name);
        } while (os::FindNextFile(search, &data) && found.size() < 10);
        os::FindClose(search);
    }
    Check(found.size() == 2, "FindMatchesPatternWithoutRegardToCase", std::to_string(found.size()));
    search = os::FindFirstFile((dir + "\\*.*").c_str(), &data);
    bool sawDot = false;
    bool sawEmptyWithSize = false;
    if (os::IsValid(search)) {
        int guard = 0;
        do {
            if (std::strcmp(data.name, ".") == 0 && data.isDirectory) sawDot = true;
            if (std::strcmp(data.name, "Alpha.PRB") == 0 && data.size == 10 && !data.isDirectory) sawEmptyWithSize = true;
        } while (os::FindNextFile(search, &data) && ++guard < 20);
        os::FindClose(search);
    }
    Check(sawDot && sawEmptyWithSize, "FindReportsDirectoriesAndSizes");
    Check(!os::IsValid(os::FindFirstFile((dir + "\\*.none").c_str(), &data)), "FindWithoutMatchIsInvalid");

    // MoveFile never replaces; CopyFile does.
    Check(!os::MoveFile(b.c_str(), a.c_str()) && ReadWholeFile(a) == "0123456789", "MoveFileNeverReplaces");
    Check(os::CopyFile(b.c_str(), a.c_str()) && ReadWholeFile(a) == "bb", "CopyFileReplaces");
    const std::string moved = dir + "\\gamma.prb";
    Check(os::MoveFile(b.c_str(), moved.c_str()) && ReadWholeFile(moved) == "bb", "MoveFileToNewName");

    char current[MAX_PATH];
    Check(os::SetCurrentDirectory(dir.c_str()), "SetCurrentDirectory");
    const uint32_t length = os::GetCurrentDirectory(current, sizeof(current));
    Check(length == dir.size() && _stricmp(current, dir.c_str()) == 0, "GetCurrentDirectory", current);
    char tiny[4];
    Check(os::GetCurrentDirectory(tiny, sizeof(tiny)) == dir.size() + 1, "GetCurrentDirectoryTooSmallGivesSizeNeeded");
    os::SetCurrentDirectory(TempFolder().c_str());

    uint64_t available = 0;
    Check(os::GetDiskFreeSpace(&available) && available > 0, "GetDiskFreeSpace");

    char host[MAX_PATH];
    Check(os::HostPath(a.c_str(), host, sizeof(host)) && a == host, "HostPathIsThePathItself");
    Check(!os::HostPath(a.c_str(), host, 4), "HostPathThatDoesNotFitFails");

    for (const std::string& p : {a, moved, empty}) os::DeleteFile(p.c_str());
    Check(!os::DeleteFile(a.c_str()), "DeleteFileOfMissingFileFails");
    ::RemoveDirectoryA(dir.c_str());

    char value[8];
    Check(os::GetEnvironmentVariable("ROMSHELL_PROBE_UNSET_VARIABLE", value, sizeof(value)) == 0, "UnsetVariableIsZero");
    ::SetEnvironmentVariableA("ROMSHELL_PROBE_VARIABLE", "0123456789");
    Check(os::GetEnvironmentVariable("ROMSHELL_PROBE_VARIABLE", value, sizeof(value)) == 11,
          "VariableTooLongGivesSizeNeeded");
}

// --- Processes, threads, events -----------------------------------------------------------------

uint32_t ThreadBody(void* argument) { return *static_cast<uint32_t*>(argument) + 1; }

void CheckProcesses(const char* self) {
    const std::string dir = TempFolder() + "seam_probe_child";
    os::CreateDirectory(dir.c_str());
    const std::string child = dir + "\\probe_child.exe";
    os::CopyFile(self, child.c_str());
    // No extension on the first word: Windows appends ".exe".
    const std::string line = dir + "\\probe_child child";
    os::ProcessInfo info;
    const bool started = os::CreateProcess(nullptr, line.c_str(), dir.c_str(), &info);
    Check(started, "CreateProcessAppendsExeToFirstWord", Hex(os::GetLastError()));
    if (started) {
        Check(os::WaitForSingleObject(info.process, 60000) == os::kWaitObject0, "WaitForChild");
        uint32_t code = 0;
        Check(os::GetExitCodeProcess(info.process, &code) && code == 7, "ChildExitCode", std::to_string(code));
        os::CloseHandle(info.process);
        os::CloseHandle(info.thread);
        const std::string reported = ReadWholeFile(dir + "\\cwd.txt");
        Check(_stricmp(reported.c_str(), dir.c_str()) == 0, "ChildRunsInTheGivenDirectory", reported);
    }
    Check(!os::CreateProcess(nullptr, (dir + "\\no_such_tool /x").c_str(), dir.c_str(), &info), "CreateProcessOfMissingProgramFails");
    os::DeleteFile((dir + "\\cwd.txt").c_str());
    os::DeleteFile(child.c_str());
    ::RemoveDirectoryA(dir.c_str());

    uint32_t value = 41;
    os::Handle thread = os::CreateThread(ThreadBody, &value);
    DWORD threadCode = 0;
    Check(thread != nullptr && os::WaitForSingleObject(thread, 10000) == os::kWaitObject0 &&
              ::GetExitCodeThread(thread, &threadCode) && threadCode == 42,
          "ThreadGetsItsArgumentAndReturnsItsCode", std::to_string(threadCode));
    if (thread != nullptr) os::CloseHandle(thread);

    os::Handle event = os::CreateEvent(false, false);
    Check(os::WaitForSingleObject(event, 0) == os::kWaitTimeout, "EventStartsUnsignalled");
    os::SetEvent(event);
    Check(os::WaitForSingleObject(event, 0) == os::kWaitObject0 &&
              os::WaitForSingleObject(event, 0) == os::kWaitTimeout,
          "AutoResetEventWakesOneWait");
    os::CloseHandle(event);

    Check(os::SetPriorityClass(os::kNormalPriorityClass) && os::GetPriorityClass() == os::kNormalPriorityClass,
          "PriorityClassBackToNormal", Hex(os::GetPriorityClass()));
}

// --- Version, power, devices, services --------------------------------------------------------

bool ShutdownPrivilegeEnabled() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    LUID shutdown{};
    ::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown);
    std::vector<uint8_t> buffer(4096);
    DWORD size = 0;
    bool enabled = false;
    if (::GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
            if (p.Luid.LowPart == shutdown.LowPart && p.Luid.HighPart == shutdown.HighPart) {
                enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
    }
    ::CloseHandle(token);
    return enabled;
}

void CheckSystem(const std::string& expectedVersion) {
    os::VersionInfo version{};
    OSVERSIONINFOA direct{};
    direct.dwOSVersionInfoSize = sizeof(direct);
    ::GetVersionExA(&direct);
    Check(os::GetVersionEx(&version) && version.major == direct.dwMajorVersion && version.minor == direct.dwMinorVersion &&
              version.build == direct.dwBuildNumber && version.platformId == os::kPlatformWin32Nt,
          "GetVersionExMatchesWindows",
          std::to_string(version.major) + "." + std::to_string(version.minor));
    if (!expectedVersion.empty()) {
        const std::string seen = std::to_string(version.major) + "." + std::to_string(version.minor);
        Check(seen == expectedVersion, "ManifestLetsWindowsReportItsRealVersion", seen);
    }
    const uint32_t packed = os::GetVersion();
    Check((packed & 0x80000000u) == 0 && (packed & 0xFF) == version.major && ((packed >> 8) & 0xFF) == version.minor,
          "GetVersionPacksTheSameVersion", Hex(packed));
    int wow = -1;
    BOOL directWow = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &directWow);
    Check(os::IsWow64Process(&wow) && wow == (directWow ? 1 : 0), "IsWow64ProcessLookedUpAtRunTime",
          std::to_string(wow));
    os::PowerStatus power{};
    SYSTEM_POWER_STATUS directPower{};
    ::GetSystemPowerStatus(&directPower);
    Check(os::GetSystemPowerStatus(&power) && power.acLineStatus == directPower.ACLineStatus &&
              power.batteryLifePercent == directPower.BatteryLifePercent,
          "GetSystemPowerStatus");
    Check(os::GetSystemDefaultLangID() == ::GetSystemDefaultLangID(), "GetSystemDefaultLangID");
    // The privilege is held but not enabled at start.
    Check(!ShutdownPrivilegeEnabled(), "ShutdownPrivilegeStartsDisabled");
    os::EnableShutdownPrivilege();
    Check(ShutdownPrivilegeEnabled(), "EnableShutdownPrivilegeEnablesIt");

    // Present devices: the same classes, in the same order, as SetupAPI gives them directly.
    os::Handle set = os::OpenPresentDevices();
    Check(os::IsValid(set), "OpenPresentDevices");
    HDEVINFO directSet = ::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    uint32_t index = 0;
    bool same = true;
    std::string detail;
    for (; index < 4096; ++index) {
        os::PresentDevice device{};
        std::memset(device.className, 'x', sizeof(device.className));
        const bool got = os::GetPresentDevice(set, index, &device);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof(data);
        const bool directGot = ::SetupDiEnumDeviceInfo(directSet, index, &data);
        if (got != directGot) {
            same = false;
            detail = "device " + std::to_string(index) + " present in one list only";
            break;
        }
        if (!got) break;
        char expected[1024] = "";
        WCHAR wide[512] = L"";
        const bool directClass = ::SetupDiGetDeviceRegistryPropertyW(directSet, &data, SPDRP_CLASS, nullptr,
                                                                     reinterpret_cast<BYTE*>(wide), sizeof(wide), nullptr);
        if (directClass) ::WideCharToMultiByte(CP_ACP, 0, wide, -1, expected, sizeof(expected), nullptr, nullptr);
        if (device.hasClass != directClass || std::memchr(device.className, 0, sizeof(device.className)) == nullptr ||
            (directClass && std::strcmp(device.className, expected) != 0)) {
            same = false;
            detail = "device " + std::to_string(index) + ": \"" + expected + "\"";
            break;
        }
        uint32_t status = 0, problem = 0;
        ULONG directStatus = 0, directProblem = 0;
        const bool statusRead = os::GetDeviceNodeStatus(set, index, &status, &problem);
        const bool directRead = ::CM_Get_DevNode_Status(&directStatus, &directProblem, data.DevInst, 0) == CR_SUCCESS;
        if (statusRead != directRead || (statusRead && (status != directStatus || problem != directProblem))) {
            same = false;
            detail = "status of device " + std::to_string(index);
            break;
        }
    }
    Check(same && index < 4096, "PresentDevicesMatchSetupApi", detail);
    os::PresentDevice past{};
    Check(!os::GetPresentDevice(set, index + 100, &past), "DevicePastTheLastIsNotPresent");
    os::ClosePresentDevices(set);
    ::SetupDiDestroyDeviceInfoList(directSet);

    // The service control manager, with a kernel driver service that cannot start.
    os::Handle manager = os::OpenSCManager();
    Check(manager != nullptr, "OpenSCManager", Hex(os::GetLastError()));
    if (manager != nullptr) {
        const char* name = "RomshellProbe";
        if (os::Handle old = os::OpenService(manager, name)) {
            os::DeleteService(old);
            os::CloseServiceHandle(old);
        }
        os::Handle service =
            os::CreateKernelDriverService(manager, name, "Romshell Probe", "C:\\no_such_driver_romshell.sys");
        Check(service != nullptr, "CreateKernelDriverService", Hex(os::GetLastError()));
        if (service != nullptr) {
            os::Handle again = os::CreateKernelDriverService(manager, name, "Romshell Probe", "C:\\x.sys");
            Check(again == nullptr && os::GetLastError() == os::kErrorServiceExists, "CreatingTwiceFailsWithServiceExists",
                  Hex(os::GetLastError()));
            os::Handle opened = os::OpenService(manager, name);
            Check(opened != nullptr, "OpenService");
            Check(!os::StartService(service), "DriverWithoutImageDoesNotStart");
            Check(!os::StopService(service), "StoppingAStoppedServiceFails");
            Check(os::DeleteService(service), "DeleteService");
            if (opened != nullptr) os::CloseServiceHandle(opened);
            Check(os::CloseServiceHandle(service), "CloseServiceHandle");
        }
        Check(os::OpenService(manager, "NoSuchServiceRomshell") == nullptr, "OpenServiceOfUnknownNameFails");
        os::CloseServiceHandle(manager);
    }
}

// --- Dialogs and drawing ----------------------------------------------------------------------

struct DialogOutcome {
    bool initSeen = false;
    bool paramSeen = false;
    bool textsRead = false;
    bool timerSeen = false;
    bool drawOk = false;
    bool keyKept = false;
    bool opaqueDrawn = false;
    bool sourceUnchanged = false;
    bool manyDraws = false;
    bool markSet = false;
    bool missingControl = false;
    bool systemBitmaps = false;
    bool sentHandled = false;
    bool foundByTitle = false;
    bool titleRead = false;
    bool frameCorner = false;
    int userMessages = 0;
    std::string detail;
    std::string leakDetail;
};
DialogOutcome outcome;

std::vector<uint32_t> BitmapPixels(HBITMAP bitmap, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    HDC screen = ::GetDC(nullptr);
    ::GetDIBits(screen, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    for (uint32_t& p : pixels) p &= 0x00FFFFFF;  // 0x00RRGGBB
    return pixels;
}

// The highest handle slot among a few objects made and freed at once.
int HighestFreshGdiSlot() {
    HBRUSH brushes[16];
    int highest = 0;
    for (HBRUSH& b : brushes) {
        b = ::CreateSolidBrush(RGB(1, 2, 3));
        highest = std::max(highest, static_cast<int>(reinterpret_cast<uintptr_t>(b) & 0xFFFF));
    }
    for (HBRUSH b : brushes) ::DeleteObject(b);
    return highest;
}

uint32_t ToRgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

void DrawTest(HWND window) {
    HBITMAP frame = static_cast<HBITMAP>(os::LoadBitmap(os::ProgramModule(), 116));
    if (frame == nullptr) {
        outcome.detail = "bitmap 116 not loaded";
        return;
    }
    const std::vector<uint32_t> before = BitmapPixels(frame, 32, 32);
    // A known background, then the frame over it with pure blue as the key.
    HDC dc = ::GetDC(window);
    RECT area{0, 0, 80, 80};
    HBRUSH green = ::CreateSolidBrush(RGB(0, 128, 0));
    ::FillRect(dc, &area, green);
    ::DeleteObject(green);
    ::GdiFlush();
    outcome.drawOk = os::DrawMaskedBitmap(window, frame, 10, 12, 0x00FF0000);
    ::GdiFlush();
    outcome.keyKept = true;
    outcome.opaqueDrawn = true;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const uint32_t source = before[static_cast<size_t>(y) * 32 + x];
            const uint32_t screen = ToRgb(::GetPixel(dc, 10 + x, 12 + y));
            if (source == 0x0000FF && screen != 0x008000) outcome.keyKept = false;
            if (source != 0x0000FF && screen != source) {
                if (outcome.opaqueDrawn) outcome.detail = "pixel " + std::to_string(x) + "," + std::to_string(y) + " " + Hex(screen) + " != " + Hex(source);
                outcome.opaqueDrawn = false;
            }
        }
    }
    // Outside the frame the window is untouched.
    if (ToRgb(::GetPixel(dc, 9, 12)) != 0x008000 || ToRgb(::GetPixel(dc, 42, 44)) != 0x008000) outcome.keyKept = false;
    ::ReleaseDC(window, dc);
    outcome.sourceUnchanged = BitmapPixels(frame, 32, 32) == before;
    // Every temporary object is freed within the call. Wine hands out freed GDI handle slots
    // before new ones, so without a leak the slots in use stay where they were; a call that left
    // one object behind would push fresh objects a thousand slots further.
    const int slotsBefore = HighestFreshGdiSlot();
    outcome.manyDraws = true;
    for (int i = 0; i < 1000 && outcome.manyDraws; ++i) {
        outcome.manyDraws = os::DrawMaskedBitmap(window, frame, 10, 12, 0x00FF0000);
    }
    const int slotsAfter = HighestFreshGdiSlot();
    if (slotsAfter - slotsBefore > 100) {
        outcome.manyDraws = false;
        outcome.leakDetail = "fresh GDI slots moved from " + std::to_string(slotsBefore) + " to " + std::to_string(slotsAfter);
    }
    os::DeleteBitmap(frame);
}

intptr_t ProbeDialogProc(os::Window window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == os::kWmInitDialog) {
        outcome.initSeen = true;
        outcome.paramSeen = lParam == 1234;
        char text[64];
        os::GetDlgItemText(window, 1013, text, sizeof(text));
        outcome.textsRead = std::strcmp(text, "Unpack Files") == 0 && os::SetDlgItemText(window, 1013, "File Extraction") &&
                            os::GetDlgItemText(window, 1013, text, sizeof(text)) == 15;
        os::Bitmap arrow = os::LoadBitmap(nullptr, os::kObmRgArrowD);
        os::Bitmap check = os::LoadBitmap(nullptr, os::kObmCheck);
        outcome.systemBitmaps = arrow != nullptr && check != nullptr;
        if (check != nullptr) os::DeleteBitmap(check);
        outcome.markSet = os::SetControlBitmap(window, 1011, arrow);
        outcome.missingControl = !os::SetControlBitmap(window, 4242, os::LoadBitmap(nullptr, os::kObmCheck));
        os::ShowWindow(window, os::kSwShowNormal);
        os::SetTimer(window, 32, 50);
        return 1;
    }
    if (message == os::kWmUser + 2) {
        ++outcome.userMessages;
        return 1;
    }
    if (message == os::kWmTimer && wParam == 32) {
        os::KillTimer(window, 32);
        outcome.timerSeen = true;
        // A sent message is handled before the send returns.
        const int before = outcome.userMessages;
        os::SendMessage(window, os::kWmUser + 2, 0, 0);
        outcome.sentHandled = outcome.userMessages == before + 1;
        // Found by its title, whatever its class; the title read back.
        const char* title = "Romshell Seam Probe Window";
        ::SetWindowTextA(static_cast<HWND>(window), title);
        outcome.foundByTitle = os::FindWindow(title) == window;
        char text[64];
        outcome.titleRead = os::GetWindowText(window, text, sizeof(text)) == static_cast<int>(std::strlen(title)) &&
                            std::strcmp(text, title) == 0;
        // The outer top-left corner in client coordinates lies at minus the frame's width.
        os::Rect outer{};
        POINT clientOrigin{0, 0};
        ::ClientToScreen(static_cast<HWND>(window), &clientOrigin);
        os::Point corner{};
        if (os::GetWindowRect(window, &outer)) {
            corner = os::Point{outer.left, outer.top};
            outcome.frameCorner = os::ScreenToClient(window, &corner) && corner.x == outer.left - clientOrigin.x &&
                                  corner.y == outer.top - clientOrigin.y && corner.x < 0 && corner.y < 0 &&
                                  outer.right > outer.left;
        }
        DrawTest(static_cast<HWND>(window));
        os::EndDialog(window, 77);
        return 1;
    }
    return 0;
}

intptr_t EndAtOnceProc(os::Window window, uint32_t message, uintptr_t, intptr_t lParam) {
    if (message == os::kWmInitDialog) {
        os::EndDialog(window, lParam);
        return 1;
    }
    return 0;
}

// The sizes of the pictures the progress window's image controls show, in the template's order
// (the step marks stay empty until the run sets them, so only the two logos count).
std::vector<std::pair<long, long>> shownPictures;

BOOL CALLBACK CollectPicture(HWND control, LPARAM) {
    if ((::GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP) return TRUE;
    const auto picture = reinterpret_cast<HBITMAP>(::SendMessageA(control, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP info{};
    if (picture != nullptr && ::GetObjectA(picture, sizeof info, &info) == sizeof info) {
        shownPictures.emplace_back(info.bmWidth, info.bmHeight);
    }
    return TRUE;
}

intptr_t CollectPicturesProc(os::Window window, uint32_t message, uintptr_t, intptr_t) {
    if (message == os::kWmInitDialog) {
        ::EnumChildWindows(static_cast<HWND>(window), CollectPicture, 0);
        os::EndDialog(window, 1);
        return 1;
    }
    return 0;
}

std::pair<long, long> ProgramBitmapSize(uint32_t id) {
    BITMAP info{};
    HBITMAP bitmap = ::LoadBitmapA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
    if (bitmap == nullptr || ::GetObjectA(bitmap, sizeof info, &info) != sizeof info) return {0, 0};
    ::DeleteObject(bitmap);
    return {info.bmWidth, info.bmHeight};
}

// The progress window shows the program's logos, bitmaps 115 (the maker's) and 113 (the BIOS
// vendor's), whether its template comes from the program or from a language library, which
// holds no bitmaps.
void CheckLogos(const char* library) {
    const std::vector<std::pair<long, long>> logos = {ProgramBitmapSize(115), ProgramBitmapSize(113)};
    struct Row {
        const char* name;
        os::Module module;
    };
    std::vector<Row> rows = {{"ProgramDialogShowsBothLogos", os::ProgramModule()}};
    if (library != nullptr) rows.push_back({"LanguageLibraryDialogShowsTheProgramsLogos", os::LoadResourceLibrary(library)});
    for (const Row& row : rows) {
        if (row.module == nullptr) {
            Check(false, row.name, std::string("cannot load ") + library);
            continue;
        }
        shownPictures.clear();
        const intptr_t result = os::DialogBox(row.module, 117, nullptr, CollectPicturesProc, 0);
        std::string shown;
        for (const auto& [width, height] : shownPictures) shown += std::to_string(width) + "x" + std::to_string(height) + " ";
        Check(result == 1 && logos[0].first > 0 && logos[1].first > 0 && shownPictures == logos, row.name,
              "shown " + shown);
    }
}

void CheckDialogs() {
    const intptr_t result = os::DialogBox(os::ProgramModule(), 117, nullptr, ProbeDialogProc, 1234);
    Check(result == 77, "ProgressDialogRunsAndEndsWithItsResult", std::to_string(result));
    Check(outcome.initSeen && outcome.paramSeen, "DialogProcGetsItsParameterAtCreation");
    Check(outcome.textsRead, "DialogTextsReadAndSet");
    Check(outcome.systemBitmaps, "LoadBitmapWithoutModuleGivesSystemBitmaps");
    Check(outcome.markSet && outcome.missingControl, "SetControlBitmapOnlyOnExistingControls");
    Check(outcome.sentHandled, "SendMessageIsHandledBeforeItReturns");
    Check(outcome.foundByTitle, "FindWindowByTitle");
    Check(outcome.titleRead, "GetWindowText");
    Check(outcome.frameCorner, "WindowRectAndScreenToClientAgree");
    Check(outcome.timerSeen, "TimerReachesTheDialogProc");
    Check(outcome.drawOk, "DrawMaskedBitmapSucceeds");
    Check(outcome.keyKept, "KeyColouredPixelsLeaveTheWindowUntouched");
    Check(outcome.opaqueDrawn, "OtherPixelsAreDrawnAsTheyAre", outcome.detail);
    Check(outcome.sourceUnchanged, "SourceBitmapLeavesTheCallUnchanged");
    Check(outcome.manyDraws, "EveryTemporaryObjectIsFreed", outcome.leakDetail);
    Check(os::DialogBox(os::ProgramModule(), 116, nullptr, EndAtOnceProc, 5) == 5, "DmiDialogLoads");
    Check(os::DialogBox(os::ProgramModule(), 999, nullptr, EndAtOnceProc, 5) == -1, "MissingTemplateGivesMinusOne");
    Check(os::FindWindow("No Such Window Title Romshell") == nullptr, "FindWindowOfUnknownTitle");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "child") {
        char cwd[MAX_PATH];
        os::GetCurrentDirectory(cwd, sizeof(cwd));
        WriteWholeFile(std::string(cwd) + "\\cwd.txt", cwd);
        return 7;
    }
    if (mode == "headless") {
        CheckStrings();
        CheckFiles();
        char self[MAX_PATH];
        ::GetModuleFileNameA(nullptr, self, sizeof(self));
        CheckProcesses(self);
        CheckSystem(argc > 2 ? argv[2] : "");
    } else if (mode == "display") {
        CheckDialogs();
        CheckLogos(argc > 2 ? argv[2] : nullptr);
    } else {
        std::fprintf(stderr, "usage: seam_probe headless|display\n");
        return 100;
    }
    std::printf("failures %d\n", failures);
    return failures;
}
