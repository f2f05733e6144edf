// Files, folders and searches of the emulated seam, over the emulated file system of emu/.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/text.h"
#include "emu/winerror.h"
#include "emu/winfs.h"
#include "emu/world.h"
#include "os/emu/emulated.h"

namespace os {

using namespace os::emulated;
namespace winerr = emu::winerr;

namespace {

bool SameFile(const FileObject& f, const struct stat& st) { return f.device == st.st_dev && f.inode == st.st_ino; }

// Whether an open with access and share may join the handles already open on the file.
bool SharingAllows(const struct stat& st, uint32_t access, uint32_t share, bool deleteOnClose) {
    for (const auto& f : OpenFiles()) {
        if (!SameFile(*f, st)) continue;
        // Delete-on-close asks for delete access, which no open through this seam shares.
        if (deleteOnClose || f->deleteOnClose) return false;
        if ((access & kGenericRead) && !(f->share & kShareRead)) return false;
        if ((access & kGenericWrite) && !(f->share & kShareWrite)) return false;
        if ((f->access & kGenericRead) && !(share & kShareRead)) return false;
        if ((f->access & kGenericWrite) && !(share & kShareWrite)) return false;
    }
    return true;
}

// Any open handle on the file at host (rename and delete need a share this seam never gives).
bool IsOpen(const std::string& host) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return false;
    for (const auto& f : OpenFiles())
        if (SameFile(*f, st)) return true;
    return false;
}

// Open for writing, or open without sharing reads: what stops CopyFile from reading a source.
bool BlocksReading(const std::string& host) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return false;
    for (const auto& f : OpenFiles())
        if (SameFile(*f, st) && ((f->access & kGenericWrite) || !(f->share & kShareRead) || f->deleteOnClose))
            return true;
    return false;
}

bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
}

std::shared_ptr<FileObject> FileOf(Handle handle) {
    HandleEntry entry;
    if (!FindHandle(handle, &entry) || entry.kind != Kind::File) return nullptr;
    return entry.file;
}

std::mutex gOpenMutex;  // a sharing check and the open it allows happen as one step

}  // namespace

Handle CreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flagsAndAttributes) {
    if (path == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return InvalidHandle();
    }
    if (emu::IsDevicePath(path)) return OpenDeviceHandle(path, access, share, disposition, flagsAndAttributes);
    emu::ResolvedPath resolved;
    if (uint32_t e = emu::ResolveWindowsPath(path, &resolved)) {
        SetLastError(e);
        return InvalidHandle();
    }
    bool deleteOnClose = (flagsAndAttributes & kFileFlagDeleteOnClose) != 0;
    std::lock_guard<std::mutex> lock(gOpenMutex);
    struct stat st;
    if (resolved.exists && ::stat(resolved.host.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
        !SharingAllows(st, access, share, deleteOnClose)) {
        SetLastError(winerr::kSharingViolation);
        return InvalidHandle();
    }
    int fd = -1;
    bool existed = false;
    if (uint32_t e = emu::OpenResolvedFile(resolved, disposition, (access & kGenericWrite) != 0, &fd, &existed)) {
        SetLastError(e);
        return InvalidHandle();
    }
    auto file = std::make_shared<FileObject>();
    file->fd = fd;
    file->access = access;
    file->share = share;
    file->deleteOnClose = deleteOnClose;
    file->host = resolved.host;
    if (::fstat(fd, &st) == 0) {
        file->device = st.st_dev;
        file->inode = st.st_ino;
    }
    HandleEntry entry;
    entry.kind = Kind::File;
    entry.file = file;
    Handle h = AddHandle(entry);
    // Opening over an existing file with a creating disposition reports it, yet succeeds.
    bool reportsExisting = existed && (disposition == emu::kCreateAlways || disposition == emu::kOpenAlways);
    SetLastError(reportsExisting ? winerr::kAlreadyExists : 0);
    return h;
}

bool ReadFile(Handle handle, void* buffer, uint32_t size, uint32_t* bytesRead) {
    if (bytesRead != nullptr) *bytesRead = 0;
    auto file = FileOf(handle);
    if (!file) return Fail(winerr::kInvalidHandle);
    if (!(file->access & kGenericRead)) return Fail(winerr::kAccessDenied);
    uint32_t done = 0;
    while (done < size) {
        ssize_t n = ::read(file->fd, static_cast<char*>(buffer) + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (bytesRead != nullptr) *bytesRead = done;
            return Fail(emu::WindowsErrorFromErrno(errno));
        }
        if (n == 0) break;  // the end of the file: success with fewer bytes
        done += static_cast<uint32_t>(n);
    }
    if (bytesRead != nullptr) *bytesRead = done;
    return true;
}

bool WriteFile(Handle handle, const void* buffer, uint32_t size, uint32_t* bytesWritten) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    auto file = FileOf(handle);
    if (!file) return Fail(winerr::kInvalidHandle);
    if (!(file->access & kGenericWrite)) return Fail(winerr::kAccessDenied);
    uint32_t done = 0;
    while (done < size) {
        ssize_t n = ::write(file->fd, static_cast<const char*>(buffer) + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (bytesWritten != nullptr) *bytesWritten = done;
            return Fail(emu::WindowsErrorFromErrno(errno));
        }
        done += static_cast<uint32_t>(n);
    }
    if (bytesWritten != nullptr) *bytesWritten = done;
    return true;
}

bool SeekFile(Handle handle, int64_t offset, SeekFrom from) {
    auto file = FileOf(handle);
    if (!file) return Fail(winerr::kInvalidHandle);
    off_t base = 0;
    if (from == SeekFrom::Current) {
        base = ::lseek(file->fd, 0, SEEK_CUR);
    } else if (from == SeekFrom::End) {
        struct stat st;
        if (::fstat(file->fd, &st) != 0) return Fail(emu::WindowsErrorFromErrno(errno));
        base = st.st_size;
    }
    if (base < 0) return Fail(emu::WindowsErrorFromErrno(errno));
    if ((offset < 0 && -offset > base) || (offset > 0 && offset > INT64_MAX - base))
        return Fail(winerr::kNegativeSeek);
    if (::lseek(file->fd, base + offset, SEEK_SET) < 0) return Fail(winerr::kInvalidParameter);
    return true;
}

bool GetFileSize(Handle handle, uint64_t* size) {
    auto file = FileOf(handle);
    if (!file) return Fail(winerr::kInvalidHandle);
    struct stat st;
    if (::fstat(file->fd, &st) != 0) return Fail(emu::WindowsErrorFromErrno(errno));
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool MapFileReadOnly(const char* path, MappedFile* view) {
    *view = MappedFile();
    Handle file = CreateFile(path, kGenericRead, kShareRead, kOpenExisting, kFileAttributeNormal);
    if (!IsValid(file)) return false;
    uint64_t size = 0;
    GetFileSize(file, &size);
    if (size == 0) {
        // CreateFileMapping refuses an empty file.
        CloseHandle(file);
        return Fail(winerr::kFileInvalid);
    }
    auto object = FileOf(file);
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, object->fd, 0);
    if (address == MAP_FAILED) {
        uint32_t error = emu::WindowsErrorFromErrno(errno);
        CloseHandle(file);
        return Fail(error);
    }
    HandleEntry entry;
    entry.kind = Kind::Mapping;
    entry.mapping = std::make_shared<MappingObject>();
    entry.mapping->address = address;
    entry.mapping->length = size;
    view->data = static_cast<const uint8_t*>(address);
    view->size = size;
    view->file = file;
    view->mapping = AddHandle(entry);
    SetLastError(0);
    return true;
}

void UnmapFile(MappedFile* view) {
    if (view->mapping != nullptr) CloseHandle(view->mapping);
    if (view->file != nullptr) CloseHandle(view->file);
    *view = MappedFile();
}

bool DeleteFile(const char* path) {
    if (path == nullptr) return Fail(winerr::kInvalidParameter);
    emu::ResolvedPath r;
    if (uint32_t e = emu::ResolveWindowsPath(path, &r)) return Fail(e);
    if (r.exists && !r.isDirectory && IsOpen(r.host)) return Fail(winerr::kSharingViolation);
    if (uint32_t e = emu::DeleteWindowsFile(path)) return Fail(e);
    return true;
}

bool MoveFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return Fail(winerr::kInvalidParameter);
    emu::ResolvedPath r;
    if (uint32_t e = emu::ResolveWindowsPath(from, &r)) return Fail(e);
    if (r.exists && !r.isDirectory && IsOpen(r.host)) return Fail(winerr::kSharingViolation);
    if (uint32_t e = emu::MoveWindowsFile(from, to)) return Fail(e);
    return true;
}

bool CopyFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return Fail(winerr::kInvalidParameter);
    emu::ResolvedPath src, dst;
    if (uint32_t e = emu::ResolveWindowsPath(from, &src)) return Fail(e);
    if (uint32_t e = emu::ResolveWindowsPath(to, &dst)) return Fail(e);
    if (src.exists && !src.isDirectory && BlocksReading(src.host)) return Fail(winerr::kSharingViolation);
    if (dst.exists && !dst.isDirectory && IsOpen(dst.host)) return Fail(winerr::kSharingViolation);
    if (uint32_t e = emu::CopyWindowsFile(from, to)) return Fail(e);
    return true;
}

bool CreateDirectory(const char* path) {
    if (path == nullptr) return Fail(winerr::kInvalidParameter);
    if (uint32_t e = emu::CreateWindowsDirectory(path)) return Fail(e);
    return true;
}

bool CreatePrivateDirectory(const char* path) {
    if (path == nullptr) return Fail(winerr::kInvalidParameter);
    if (uint32_t e = emu::CreatePrivateWindowsDirectory(path)) return Fail(e);
    return true;
}

Handle OpenDirectoryNoFollow(const char* path) {
    if (path == nullptr) {
        Fail(winerr::kInvalidParameter);
        return InvalidHandle();
    }
    emu::ResolvedPath r;
    if (uint32_t e = emu::ResolveWindowsPath(path, &r)) {
        Fail(e);
        return InvalidHandle();
    }
    // A link opened without being followed is no folder to hold.
    if (!r.exists || !r.isDirectory || emu::IsWindowsLink(path)) {
        Fail(r.exists ? winerr::kDirectory : winerr::kFileNotFound);
        return InvalidHandle();
    }
    HandleEntry entry;
    entry.kind = Kind::Directory;
    entry.directory = r.windows;
    SetLastError(0);
    return AddHandle(entry);
}

bool IsPrivateDirectory(Handle directory) {
    HandleEntry entry;
    if (!FindHandle(directory, &entry) || entry.kind != Kind::Directory) return Fail(winerr::kInvalidHandle);
    return emu::IsPrivateWindowsFolder(entry.directory);
}

bool ProtectDirectory(Handle directory) {
    HandleEntry entry;
    if (!FindHandle(directory, &entry) || entry.kind != Kind::Directory) return Fail(winerr::kInvalidHandle);
    if (uint32_t e = emu::ProtectWindowsFolder(entry.directory)) return Fail(e);
    return true;
}

bool SetCurrentDirectory(const char* path) {
    if (path == nullptr) return Fail(winerr::kInvalidParameter);
    if (uint32_t e = emu::ChangeCurrentDirectory(path)) return Fail(e);
    return true;
}

uint32_t GetCurrentDirectory(char* buffer, uint32_t size) {
    std::string cwd = emu::CurrentDirectory();
    uint32_t length = static_cast<uint32_t>(cwd.size());
    if (buffer == nullptr || size <= length) return length + 1;
    CopyText(buffer, size, cwd.c_str());
    return length;
}

bool HostPath(const char* path, char* hostPath, size_t size) {
    if (path == nullptr || emu::IsDevicePath(path)) return Fail(winerr::kInvalidParameter);
    emu::ResolvedPath r;
    if (uint32_t e = emu::ResolveWindowsPath(path, &r)) return Fail(e);
    if (!CopyText(hostPath, size, r.host.c_str())) return Fail(winerr::kInsufficientBuffer);
    return true;
}

namespace {

void FillFindData(const emu::FoundEntry& e, FindData* data) {
    CopyText(data->name, e.name.c_str());
    data->isDirectory = e.isDirectory;
    data->size = e.size;
}

}  // namespace

Handle FindFirstFile(const char* pattern, FindData* data) {
    if (pattern == nullptr || data == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return InvalidHandle();
    }
    auto search = std::make_shared<SearchObject>();
    if (uint32_t e = emu::FindWindowsFiles(pattern, &search->entries)) {
        SetLastError(e);
        return InvalidHandle();
    }
    FillFindData(search->entries[0], data);
    search->next = 1;
    HandleEntry entry;
    entry.kind = Kind::Search;
    entry.search = search;
    return AddHandle(entry);
}

bool FindNextFile(Handle handle, FindData* data) {
    HandleEntry entry;
    if (!FindHandle(handle, &entry) || entry.kind != Kind::Search) return Fail(winerr::kInvalidHandle);
    SearchObject& s = *entry.search;
    if (s.next >= s.entries.size()) return Fail(winerr::kNoMoreFiles);
    FillFindData(s.entries[s.next++], data);
    return true;
}

bool FindClose(Handle handle) {
    HandleEntry entry;
    if (!TakeHandle(handle, Kind::Search, &entry)) return Fail(winerr::kInvalidHandle);
    return true;
}

bool GetDiskFreeSpace(uint64_t* bytesAvailable) {
    if (!emu::WorldAttached()) return Fail(winerr::kPathNotFound);
    *bytesAvailable = emu::ProfileValue("/windows/freeBytes").get<uint64_t>();
    return true;
}

}  // namespace os
