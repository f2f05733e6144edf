// Handles, the last error and CloseHandle of the emulated seam.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "emu/winerror.h"
#include "emu/world.h"
#include "os/emu/emulated.h"

namespace os::emulated {
namespace {

thread_local uint32_t tLastError = 0;

// Never destroyed: threads of the program may still use handles while the process ends.
std::mutex& gHandleMutex = *new std::mutex;
std::map<uintptr_t, HandleEntry>& gHandles = *new std::map<uintptr_t, HandleEntry>;
// Windows hands out handle values in steps of four; starting high keeps them clear of small
// integers a wrong cast could produce.
uintptr_t gNextHandle = 0x1000;

}  // namespace

void SetLastError(uint32_t error) { tLastError = error; }

Handle AddHandle(HandleEntry entry) {
    std::lock_guard<std::mutex> lock(gHandleMutex);
    uintptr_t value = gNextHandle;
    gNextHandle += 4;
    gHandles.emplace(value, std::move(entry));
    return reinterpret_cast<Handle>(value);
}

bool FindHandle(Handle handle, HandleEntry* entry) {
    std::lock_guard<std::mutex> lock(gHandleMutex);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == gHandles.end()) return false;
    *entry = it->second;
    return true;
}

bool TakeHandle(Handle handle, Kind kind, HandleEntry* entry) {
    std::lock_guard<std::mutex> lock(gHandleMutex);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == gHandles.end() || it->second.kind != kind) return false;
    *entry = std::move(it->second);
    gHandles.erase(it);
    return true;
}

std::vector<std::shared_ptr<FileObject>> OpenFiles() {
    std::lock_guard<std::mutex> lock(gHandleMutex);
    std::vector<std::shared_ptr<FileObject>> files;
    for (const auto& [value, entry] : gHandles)
        if (entry.kind == Kind::File) files.push_back(entry.file);
    return files;
}

void RecordUnsupported(const char* call, const std::string& detail) {
    nlohmann::json event = {{"event", "unsupported"}, {"call", call}};
    if (!detail.empty()) event["detail"] = detail;
    emu::Record(event);
}

void ReleaseFile(const std::shared_ptr<FileObject>& file) {
    if (file->deleteOnClose) {
        struct stat st;
        if (::stat(file->host.c_str(), &st) == 0 && st.st_dev == file->device && st.st_ino == file->inode)
            ::unlink(file->host.c_str());
    }
    ::close(file->fd);
    file->fd = -1;
}

}  // namespace os::emulated

namespace os {

using namespace os::emulated;

uint32_t GetLastError() { return tLastError; }

bool CloseHandle(Handle handle) {
    HandleEntry entry;
    if (!FindHandle(handle, &entry) || entry.kind == Kind::Search || entry.kind == Kind::ServiceManager ||
        entry.kind == Kind::Service || entry.kind == Kind::DeviceSet) {
        SetLastError(emu::winerr::kInvalidHandle);
        return false;
    }
    TakeHandle(handle, entry.kind, &entry);
    if (entry.kind == Kind::File) ReleaseFile(entry.file);
    if (entry.kind == Kind::Device) emu::CloseDevice(*entry.device);
    if (entry.kind == Kind::Mapping && entry.mapping->address != nullptr) {
        ::munmap(entry.mapping->address, entry.mapping->length);
        entry.mapping->address = nullptr;
    }
    return true;
}

}  // namespace os
