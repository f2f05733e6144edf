// Files, directories, searches and free disk space through the Win32 kernel calls.
//
// Only calls that exist on every Windows the program supports are used (SetFilePointer and
// GetFileSize rather than their ...Ex forms, which the 9x family lacks).
#include "os/win32/win32.h"

#include "base/text.h"

namespace os {

using win32::ToHandle;

uint32_t GetLastError() { return ::GetLastError(); }

Handle CreateFile(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flagsAndAttributes) {
    return ::CreateFileA(path, access, share, nullptr, disposition, flagsAndAttributes, nullptr);
}

bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* bytesRead) {
    DWORD done = 0;
    const BOOL ok = ::ReadFile(ToHandle(file), buffer, size, &done, nullptr);
    if (bytesRead != nullptr) *bytesRead = done;
    return ok != FALSE;
}

bool WriteFile(Handle file, const void* buffer, uint32_t size, uint32_t* bytesWritten) {
    DWORD done = 0;
    const BOOL ok = ::WriteFile(ToHandle(file), buffer, size, &done, nullptr);
    if (bytesWritten != nullptr) *bytesWritten = done;
    return ok != FALSE;
}

bool SeekFile(Handle file, int64_t offset, SeekFrom from) {
    DWORD method = FILE_BEGIN;
    if (from == SeekFrom::Current) method = FILE_CURRENT;
    if (from == SeekFrom::End) method = FILE_END;
    LONG high = static_cast<LONG>(offset >> 32);
    // A position whose low part is 0xFFFFFFFF is valid; only the last error tells a failure.
    ::SetLastError(NO_ERROR);
    const DWORD low = ::SetFilePointer(ToHandle(file), static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
    return !(low == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR);
}

bool GetFileSize(Handle file, uint64_t* size) {
    DWORD high = 0;
    ::SetLastError(NO_ERROR);
    const DWORD low = ::GetFileSize(ToHandle(file), &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return false;
    *size = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

bool CloseHandle(Handle handle) { return ::CloseHandle(ToHandle(handle)) != FALSE; }

bool MapFileReadOnly(const char* path, MappedFile* view) {
    *view = MappedFile{};
    HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    uint64_t size = 0;
    if (!os::GetFileSize(file, &size) || size > 0x7FFFFFFFu) {
        // A view of more than 2 GiB does not fit the address space of a 32-bit process.
        ::CloseHandle(file);
        return false;
    }
    // An empty file cannot be mapped: CreateFileMapping fails with ERROR_FILE_INVALID, and so does
    // this call, as the emulated seam does.
    HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(file);
        ::SetLastError(error);
        return false;
    }
    const void* data = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (data == nullptr) {
        ::CloseHandle(mapping);
        ::CloseHandle(file);
        return false;
    }
    view->data = static_cast<const uint8_t*>(data);
    view->size = size;
    view->file = file;
    view->mapping = mapping;
    return true;
}

void UnmapFile(MappedFile* view) {
    if (view->data != nullptr) ::UnmapViewOfFile(view->data);
    if (view->mapping != nullptr) ::CloseHandle(ToHandle(view->mapping));
    if (IsValid(view->file)) ::CloseHandle(ToHandle(view->file));
    *view = MappedFile{};
}

bool DeleteFile(const char* path) { return ::DeleteFileA(path) != FALSE; }

bool MoveFile(const char* from, const char* to) { return ::MoveFileA(from, to) != FALSE; }

bool CopyFile(const char* from, const char* to) { return ::CopyFileA(from, to, FALSE) != FALSE; }

bool CreateDirectory(const char* path) { return ::CreateDirectoryA(path, nullptr) != FALSE; }

bool SetCurrentDirectory(const char* path) { return ::SetCurrentDirectoryA(path) != FALSE; }

uint32_t GetCurrentDirectory(char* buffer, uint32_t size) { return ::GetCurrentDirectoryA(size, buffer); }

bool HostPath(const char* path, char* hostPath, size_t size) { return CopyText(hostPath, size, path); }

namespace {

void FillFindData(const WIN32_FIND_DATAA& found, FindData* data) {
    CopyText(data->name, found.cFileName);
    data->isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    data->size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}

}  // namespace

Handle FindFirstFile(const char* pattern, FindData* data) {
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) FillFindData(found, data);
    return search;
}

bool FindNextFile(Handle search, FindData* data) {
    WIN32_FIND_DATAA found{};
    if (!::FindNextFileA(ToHandle(search), &found)) return false;
    FillFindData(found, data);
    return true;
}

bool FindClose(Handle search) { return ::FindClose(ToHandle(search)) != FALSE; }

bool GetDiskFreeSpace(uint64_t* bytesAvailable) {
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER free{};
    if (!::GetDiskFreeSpaceExA(nullptr, &available, &total, &free)) return false;
    *bytesAvailable = available.QuadPart;
    return true;
}

}  // namespace os
