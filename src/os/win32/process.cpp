// Child processes, waits, priority, the progress thread and its event.
#include "os/win32/win32.h"

#include "base/text.h"

namespace os {

using win32::ToHandle;

bool CreateProcess(const char* application, const char* commandLine, const char* currentDirectory,
                   ProcessInfo* info) {
    // CreateProcessA wants a writable command line. The longest one Windows accepts is 32767
    // characters; the program's own are far shorter.
    char line[32768];
    if (!CopyText(line, commandLine)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    static_assert(sizeof(STARTUPINFOA) == 68);
    PROCESS_INFORMATION process{};
    // Without an application name Windows takes the program from the first word of the command
    // line and appends ".exe" when it has no extension.
    if (!::CreateProcessA(application, line, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                          currentDirectory, &startup, &process)) {
        return false;
    }
    info->process = process.hProcess;
    info->thread = process.hThread;
    return true;
}

bool GetExitCodeProcess(Handle process, uint32_t* exitCode) {
    DWORD code = 0;
    if (!::GetExitCodeProcess(ToHandle(process), &code)) return false;
    *exitCode = code;
    return true;
}

uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds) {
    return ::WaitForSingleObject(ToHandle(handle), milliseconds);
}

uint32_t GetPriorityClass() { return ::GetPriorityClass(::GetCurrentProcess()); }

bool SetPriorityClass(uint32_t priorityClass) {
    return ::SetPriorityClass(::GetCurrentProcess(), priorityClass) != FALSE;
}

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

uint32_t GetTickCount() { return ::GetTickCount(); }

void ExitProcess(uint32_t exitCode) { ::ExitProcess(exitCode); }

void WriteStandardError(const char* text) {
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    // A windowed program started from Explorer has no standard error at all.
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(error, text, static_cast<DWORD>(BoundedLength(text, 0x7FFFFFFF)), &written, nullptr);
    ::WriteFile(error, "\r\n", 2, &written, nullptr);
}

namespace {

// The seam's thread routine is a plain function; Windows calls a __stdcall one. The record
// carries the routine and its argument to the new thread, which frees it.
struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
};

DWORD WINAPI ThreadTrampoline(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    ::HeapFree(::GetProcessHeap(), 0, parameter);
    return start.routine(start.argument);
}

}  // namespace

Handle CreateThread(ThreadRoutine routine, void* argument) {
    auto* start = static_cast<ThreadStart*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (start == nullptr) return nullptr;
    start->routine = routine;
    start->argument = argument;
    HANDLE thread = ::CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
    if (thread == nullptr) ::HeapFree(::GetProcessHeap(), 0, start);
    return thread;
}

Handle CreateEvent(bool manualReset, bool initiallySignalled) {
    return ::CreateEventA(nullptr, manualReset, initiallySignalled, nullptr);
}

bool SetEvent(Handle event) { return ::SetEvent(ToHandle(event)) != FALSE; }

}  // namespace os
