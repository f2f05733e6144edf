// Threads, events and processes of the emulated seam.
#include <pthread.h>

#include <chrono>

#include "emu/process.h"
#include "emu/winerror.h"
#include "emu/world.h"
#include "os/emu/emulated.h"

namespace os {

using namespace os::emulated;
namespace winerr = emu::winerr;

namespace {

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
    std::shared_ptr<WaitableObject> done;
};

void* RunThread(void* raw) {
    ThreadStart* start = static_cast<ThreadStart*>(raw);
    SetLastError(0);
    uint32_t code = start->routine(start->argument);
    {
        std::lock_guard<std::mutex> lock(start->done->mutex);
        start->done->exitCode = code;
        start->done->signalled = true;
    }
    start->done->changed.notify_all();
    delete start;
    return nullptr;
}

uint32_t WaitOn(WaitableObject& w, uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(w.mutex);
    auto ready = [&] { return w.signalled; };
    if (milliseconds == kInfinite) {
        w.changed.wait(lock, ready);
    } else if (!w.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return kWaitTimeout;
    }
    // An auto-reset event lets one waiter through and turns unsignalled again.
    if (!w.manualReset) w.signalled = false;
    return kWaitObject0;
}

}  // namespace

Handle CreateThread(ThreadRoutine routine, void* argument) {
    if (routine == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return nullptr;
    }
    auto done = std::make_shared<WaitableObject>();
    done->manualReset = true;
    ThreadStart* start = new ThreadStart{routine, argument, done};
    pthread_t thread;
    // Detached: the process may end while the thread still runs, as on Windows.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&thread, &attributes, RunThread, start);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete start;
        SetLastError(winerr::kNotEnoughMemory);
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = Kind::Thread;
    entry.waitable = done;
    return AddHandle(entry);
}

Handle CreateEvent(bool manualReset, bool initiallySignalled) {
    HandleEntry entry;
    entry.kind = Kind::Event;
    entry.waitable = std::make_shared<WaitableObject>();
    entry.waitable->manualReset = manualReset;
    entry.waitable->signalled = initiallySignalled;
    return AddHandle(entry);
}

bool SetEvent(Handle event) {
    HandleEntry entry;
    if (!FindHandle(event, &entry) || entry.kind != Kind::Event) {
        SetLastError(winerr::kInvalidHandle);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(entry.waitable->mutex);
        entry.waitable->signalled = true;
    }
    // A manual-reset event releases every waiter; an auto-reset one only the first to wake.
    if (entry.waitable->manualReset)
        entry.waitable->changed.notify_all();
    else
        entry.waitable->changed.notify_one();
    return true;
}

uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds) {
    HandleEntry entry;
    if (!FindHandle(handle, &entry)) {
        SetLastError(winerr::kInvalidHandle);
        return kWaitFailed;
    }
    switch (entry.kind) {
        case Kind::Event:
        case Kind::Thread:
            return WaitOn(*entry.waitable, milliseconds);
        case Kind::Process:
        case Kind::ProcessThread:
            return emu::WaitProcess(entry.process, milliseconds) ? kWaitObject0 : kWaitTimeout;
        default:
            SetLastError(winerr::kInvalidHandle);
            return kWaitFailed;
    }
}

bool CreateProcess(const char* application, const char* commandLine, const char* currentDirectory,
                   ProcessInfo* info) {
    if (commandLine == nullptr || info == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return false;
    }
    emu::ChildHandle child;
    if (uint32_t e = emu::StartProcess(application != nullptr ? application : "", commandLine,
                                       currentDirectory != nullptr ? currentDirectory : "", &child)) {
        SetLastError(e);
        return false;
    }
    HandleEntry entry;
    entry.kind = Kind::Process;
    entry.process = child;
    info->process = AddHandle(entry);
    entry.kind = Kind::ProcessThread;
    info->thread = AddHandle(entry);
    return true;
}

bool GetExitCodeProcess(Handle process, uint32_t* exitCode) {
    HandleEntry entry;
    if (!FindHandle(process, &entry) || entry.kind != Kind::Process || exitCode == nullptr) {
        SetLastError(winerr::kInvalidHandle);
        return false;
    }
    emu::ProcessExitCode(entry.process, exitCode);
    return true;
}

}  // namespace os
