// Shared by the emulated implementation of the seam: the calling thread's last error and the
// table of handles. Each handle names one kind of object; the table holds it until CloseHandle
// (or FindClose, UnmapFile) removes it, and a handle value is never given out twice.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/devices.h"
#include "emu/process.h"
#include "emu/winfs.h"
#include "os/os.h"
#include "pe/pe_resources.h"

namespace os::emulated {

void SetLastError(uint32_t error);

enum class Kind { File, Mapping, Search, Event, Thread, Process, ProcessThread, Device, ServiceManager, Service, DeviceSet, Directory };

struct FileObject {
    int fd = -1;
    uint32_t access = 0;
    uint32_t share = 0;
    bool deleteOnClose = false;
    std::string host;
    dev_t device = 0;
    ino_t inode = 0;
};

struct MappingObject {
    void* address = nullptr;
    size_t length = 0;
};

struct SearchObject {
    std::vector<emu::FoundEntry> entries;
    size_t next = 0;
};

// Events and threads: a thread's object is signalled for good when its routine returns.
struct WaitableObject {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool manualReset = true;
    uint32_t exitCode = 259;
};

struct HandleEntry {
    Kind kind = Kind::File;
    std::shared_ptr<FileObject> file;
    std::shared_ptr<MappingObject> mapping;
    std::shared_ptr<SearchObject> search;
    std::shared_ptr<WaitableObject> waitable;
    emu::ChildHandle process;
    std::shared_ptr<emu::OpenDevice> device;  // Device
    std::string service;                      // Service: the service's key
    uint32_t deviceCount = 0;                 // DeviceSet: the devices present when it was made
    std::string directory;                    // Directory: the Windows path it was opened by
};

Handle AddHandle(HandleEntry entry);
// A copy of the entry (the objects are shared); false for an unknown handle.
bool FindHandle(Handle handle, HandleEntry* entry);
// Removes a handle of the given kind; false (and the handle kept) when it is of another kind.
bool TakeHandle(Handle handle, Kind kind, HandleEntry* entry);
// The file objects open now (for sharing checks).
std::vector<std::shared_ptr<FileObject>> OpenFiles();

// Records a call of a Windows service the emulated world does not model yet.
void RecordUnsupported(const char* call, const std::string& detail = std::string());

// Closes a file object's host file, deleting it when it was opened with delete-on-close.
void ReleaseFile(const std::shared_ptr<FileObject>& file);

// CreateFile of a device path ("\\.\NAME"): the access devices and the physical drives.
Handle OpenDeviceHandle(const char* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);

// The parsed file of a resource library loaded with LoadResourceLibrary; nullptr for any other
// module (the program's own among them). Loaded libraries stay until the process ends.
const pe::Image* LibraryImage(Module module);

}  // namespace os::emulated
