#include "emu/winfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "emu/winerror.h"
#include "emu/world.h"

namespace emu {
namespace {

std::mutex gDirectoryMutex;
std::string gCurrentDirectory = "C:\\";

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperText(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = Upper(c);
    return out;
}

std::vector<std::string> SplitBackslash(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (c == '\\') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

bool IsNameCharacter(unsigned char c, bool allowWildcards) {
    if (c < 32) return false;
    switch (c) {
        case '<': case '>': case ':': case '"': case '|':
            return false;
        case '*': case '?':
            return allowWildcards;
        default:
            return true;
    }
}

bool HasWildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

// Finds name in the host folder dir: the entry spelt exactly so, else one that differs only in
// case. Empty when there is none.
std::string FindEntryNoCase(const std::string& dir, const std::string& name) {
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) == 0) return name;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return {};
    std::string found;
    while (struct dirent* e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (EqualNoCase(entry, name) && (found.empty() || entry < found)) found = entry;
    }
    ::closedir(d);
    return found;
}

std::string DriveHostRoot() { return WorldRoot() + "/C"; }

bool StatHost(const std::string& host, struct stat* st) { return ::stat(host.c_str(), st) == 0; }

// '?' may stand for nothing at the end of the name or before a dot, as DOS wildcards do.
bool GlobMatch(const std::string& p, size_t pi, const std::string& n, size_t ni) {
    while (pi < p.size()) {
        char pc = p[pi];
        if (pc == '*') {
            while (pi < p.size() && p[pi] == '*') ++pi;
            if (pi == p.size()) return true;
            for (size_t k = ni; k <= n.size(); ++k)
                if (GlobMatch(p, pi, n, k)) return true;
            return false;
        }
        if (pc == '?') {
            if (ni < n.size() && n[ni] != '.' && GlobMatch(p, pi + 1, n, ni + 1)) return true;
            if (ni == n.size() || n[ni] == '.') return GlobMatch(p, pi + 1, n, ni);
            return false;
        }
        if (ni >= n.size() || pc != n[ni]) return false;
        ++pi;
        ++ni;
    }
    return ni == n.size();
}

}  // namespace

bool IsDevicePath(const std::string& path) {
    if (path.size() < 4) return false;
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    return sep(path[0]) && sep(path[1]) && (path[2] == '.' || path[2] == '?') && sep(path[3]);
}

uint32_t ResolveWindowsPath(const std::string& input, ResolvedPath* out, bool allowWildcards, bool limitLength) {
    *out = ResolvedPath();
    if (!WorldAttached() || input.empty()) return winerr::kPathNotFound;
    std::string p = input;
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') return winerr::kBadNetPath;

    std::vector<std::string> components;
    std::string rest;
    bool absolute = false;
    if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
        if (Upper(p[0]) != 'C') return winerr::kPathNotFound;  // no such drive
        rest = p.substr(2);
        absolute = !rest.empty() && rest[0] == '\\';
    } else {
        rest = p;
        absolute = rest[0] == '\\';
    }
    if (!absolute) {
        std::string cwd = CurrentDirectory();
        for (const std::string& c : SplitBackslash(cwd.substr(3)))
            if (!c.empty()) components.push_back(c);
    }
    std::vector<std::string> pieces = SplitBackslash(rest);
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::string piece = pieces[i];
        bool last = i + 1 == pieces.size();
        if (piece.empty() || piece == ".") continue;
        if (piece == "..") {
            if (!components.empty()) components.pop_back();
            continue;
        }
        for (char c : piece)
            if (!IsNameCharacter(static_cast<unsigned char>(c), allowWildcards && last))
                return winerr::kInvalidName;
        if (last && !HasWildcard(piece)) {
            // The system drops dots and blanks at the end of the last name ("file." is "file").
            size_t end = piece.find_last_not_of(". ");
            if (end != std::string::npos) piece.resize(end + 1);
        }
        if (piece.size() > kMaxNameLength) return winerr::kFilenameExcedRange;
        components.push_back(piece);
    }

    std::string windows = "C:\\";
    for (size_t i = 0; i < components.size(); ++i) windows += (i ? "\\" : "") + components[i];
    if (limitLength && windows.size() > kMaxPathLength) return winerr::kFilenameExcedRange;

    out->windows = windows;
    out->components = components;
    out->isRoot = components.empty();
    std::string host = DriveHostRoot();
    bool present = true;  // every component so far exists as a folder
    for (size_t i = 0; i < components.size(); ++i) {
        bool lastComponent = i + 1 == components.size();
        if (lastComponent) out->parentExists = present;
        std::string name = components[i];
        if (present) {
            std::string actual = FindEntryNoCase(host, name);
            if (!actual.empty()) {
                name = actual;
            } else {
                present = false;
            }
        }
        host += "/" + name;
        if (present && !lastComponent) {
            struct stat st;
            if (!StatHost(host, &st) || !S_ISDIR(st.st_mode)) present = false;
        }
    }
    out->host = host;
    struct stat st;
    if (present && StatHost(host, &st)) {
        out->exists = true;
        out->isDirectory = S_ISDIR(st.st_mode);
    }
    if (out->isRoot) out->parentExists = true;
    return 0;
}

std::string HostPathOf(const std::string& windowsPath) {
    ResolvedPath r;
    if (ResolveWindowsPath(windowsPath, &r, false, false) != 0) return {};
    return r.host;
}

std::string CurrentDirectory() {
    std::lock_guard<std::mutex> lock(gDirectoryMutex);
    return gCurrentDirectory;
}

void ResetCurrentDirectory(const std::string& windowsPath) {
    std::lock_guard<std::mutex> lock(gDirectoryMutex);
    gCurrentDirectory = windowsPath;
}

uint32_t ChangeCurrentDirectory(const std::string& path) {
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(path, &r)) return e;
    if (!r.exists) return r.parentExists ? winerr::kFileNotFound : winerr::kPathNotFound;
    if (!r.isDirectory) return winerr::kDirectory;
    std::lock_guard<std::mutex> lock(gDirectoryMutex);
    gCurrentDirectory = r.windows;
    return 0;
}

uint32_t WindowsErrorFromErrno(int error, bool parentMissing) {
    switch (error) {
        case 0: return 0;
        case ENOENT: return parentMissing ? winerr::kPathNotFound : winerr::kFileNotFound;
        case ENOTDIR: return winerr::kPathNotFound;
        case EACCES: case EPERM: case EISDIR: case EROFS: case ETXTBSY: return winerr::kAccessDenied;
        case EEXIST: case ENOTEMPTY: return winerr::kAlreadyExists;
        case ENOSPC: case EDQUOT: return winerr::kDiskFull;
        case ENAMETOOLONG: return winerr::kFilenameExcedRange;
        case ENOMEM: return winerr::kNotEnoughMemory;
        case EBADF: return winerr::kInvalidHandle;
        default: return winerr::kAccessDenied;
    }
}

uint32_t DeleteWindowsFile(const std::string& path) {
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(path, &r)) return e;
    if (!r.exists) return r.parentExists ? winerr::kFileNotFound : winerr::kPathNotFound;
    if (r.isDirectory) return winerr::kAccessDenied;
    if (::unlink(r.host.c_str()) != 0) return WindowsErrorFromErrno(errno);
    return 0;
}

uint32_t MoveWindowsFile(const std::string& from, const std::string& to) {
    ResolvedPath src, dst;
    if (uint32_t e = ResolveWindowsPath(from, &src)) return e;
    if (uint32_t e = ResolveWindowsPath(to, &dst)) return e;
    if (!src.exists) return src.parentExists ? winerr::kFileNotFound : winerr::kPathNotFound;
    if (src.isRoot || dst.isRoot) return winerr::kAccessDenied;
    if (!dst.parentExists) return winerr::kPathNotFound;
    std::string target = dst.host;
    if (dst.exists) {
        struct stat a, b;
        bool same = StatHost(src.host, &a) && StatHost(dst.host, &b) && a.st_dev == b.st_dev &&
                    a.st_ino == b.st_ino;
        if (!same) return winerr::kAlreadyExists;
        // The same file under another case: a rename to the new spelling.
        target = dst.host.substr(0, dst.host.rfind('/') + 1) + dst.components.back();
        if (target == src.host) return 0;
        if (::rename(src.host.c_str(), target.c_str()) != 0) return WindowsErrorFromErrno(errno);
        return 0;
    }
    if (::renameat2(AT_FDCWD, src.host.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) return winerr::kAlreadyExists;
        if (errno == EINVAL && !src.isDirectory) {
            // A host file system without RENAME_NOREPLACE: link and unlink never replace either.
            if (::link(src.host.c_str(), target.c_str()) != 0) return WindowsErrorFromErrno(errno);
            ::unlink(src.host.c_str());
            return 0;
        }
        return WindowsErrorFromErrno(errno);
    }
    return 0;
}

uint32_t CopyWindowsFile(const std::string& from, const std::string& to) {
    ResolvedPath src, dst;
    if (uint32_t e = ResolveWindowsPath(from, &src)) return e;
    if (uint32_t e = ResolveWindowsPath(to, &dst)) return e;
    if (!src.exists) return src.parentExists ? winerr::kFileNotFound : winerr::kPathNotFound;
    if (src.isDirectory) return winerr::kAccessDenied;
    if (dst.exists && dst.isDirectory) return winerr::kAccessDenied;
    if (!dst.exists && !dst.parentExists) return winerr::kPathNotFound;
    struct stat a;
    if (!StatHost(src.host, &a)) return WindowsErrorFromErrno(errno);
    if (dst.exists) {
        struct stat b;
        if (StatHost(dst.host, &b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
            return winerr::kSharingViolation;  // the source is open for reading while copying
    }
    int in = ::open(src.host.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return WindowsErrorFromErrno(errno);
    int out = ::open(dst.host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, a.st_mode & 0777);
    if (out < 0) {
        int err = errno;
        ::close(in);
        return WindowsErrorFromErrno(err);
    }
    uint32_t result = 0;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result = WindowsErrorFromErrno(errno);
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                result = WindowsErrorFromErrno(errno);
                break;
            }
            done += w;
        }
        if (result != 0) break;
    }
    ::close(in);
    if (::close(out) != 0 && result == 0) result = WindowsErrorFromErrno(errno);
    return result;
}

uint32_t CreateWindowsDirectory(const std::string& path) {
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(path, &r)) return e;
    if (r.exists) return winerr::kAlreadyExists;
    if (!r.parentExists) return winerr::kPathNotFound;
    if (r.windows.size() > kMaxDirectoryPathLength) return winerr::kFilenameExcedRange;
    if (::mkdir(r.host.c_str(), 0755) != 0) return WindowsErrorFromErrno(errno);
    return 0;
}

uint32_t MakeWindowsFolders(const std::string& path) {
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(path, &r, false, false)) return e;
    std::string prefix = "C:\\";
    for (size_t i = 0; i < r.components.size(); ++i) {
        prefix += (i ? "\\" : "") + r.components[i];
        ResolvedPath step;
        if (uint32_t e = ResolveWindowsPath(prefix, &step, false, false)) return e;
        if (!step.exists && ::mkdir(step.host.c_str(), 0755) != 0) return WindowsErrorFromErrno(errno);
        if (step.exists && !step.isDirectory) return winerr::kPathNotFound;
    }
    return 0;
}

bool MatchesWindowsPattern(const std::string& pattern, const std::string& name) {
    std::string p = UpperText(pattern);
    std::string n = UpperText(name);
    if (p == "*" || p == "*.*") return true;
    bool nameHasDot = n.find('.') != std::string::npos;
    if (p.size() >= 2 && p.compare(p.size() - 2, 2, ".*") == 0 && !nameHasDot && n != "." && n != "..")
        return GlobMatch(p.substr(0, p.size() - 2), 0, n, 0);
    if (p.size() >= 2 && p.back() == '.' && p.find_first_not_of('.') != std::string::npos) {
        if (nameHasDot) return false;
        return GlobMatch(p.substr(0, p.find_last_not_of('.') + 1), 0, n, 0);
    }
    return GlobMatch(p, 0, n, 0);
}

uint32_t FindWindowsFiles(const std::string& pattern, std::vector<FoundEntry>* entries) {
    entries->clear();
    if (pattern.empty() || pattern.back() == '\\' || pattern.back() == '/') return winerr::kFileNotFound;
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(pattern, &r, true)) return e;
    if (r.isRoot) return winerr::kFileNotFound;
    if (!r.parentExists) return winerr::kPathNotFound;
    std::string name = r.components.back();
    std::string dir = r.host.substr(0, r.host.rfind('/'));
    bool root = r.components.size() == 1;

    std::vector<FoundEntry> found;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return winerr::kPathNotFound;
    while (struct dirent* e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (!MatchesWindowsPattern(name, entry)) continue;
        FoundEntry f;
        f.name = entry;
        struct stat st;
        if (StatHost(dir + "/" + entry, &st)) {
            f.isDirectory = S_ISDIR(st.st_mode);
            f.size = f.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
        }
        found.push_back(f);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) {
        return UpperText(a.name) < UpperText(b.name);
    });
    if (!root) {
        for (const char* dots : {"..", "."})
            if (MatchesWindowsPattern(name, dots)) found.insert(found.begin(), FoundEntry{dots, true, 0});
    }
    if (found.empty()) return winerr::kFileNotFound;
    *entries = std::move(found);
    return 0;
}

uint32_t OpenResolvedFile(const ResolvedPath& path, uint32_t disposition, bool wantWrite, int* fd,
                          bool* existed) {
    *fd = -1;
    *existed = path.exists;
    if (path.isRoot || (path.exists && path.isDirectory)) return winerr::kAccessDenied;
    if (!path.exists && !path.parentExists) return winerr::kPathNotFound;
    int flags = O_CLOEXEC;
    switch (disposition) {
        case kCreateNew:
            if (path.exists) return winerr::kFileExists;
            flags |= O_CREAT | O_EXCL;
            break;
        case kCreateAlways:
            flags |= O_CREAT | O_TRUNC;
            break;
        case kOpenExisting:
            if (!path.exists) return winerr::kFileNotFound;
            break;
        case kOpenAlways:
            flags |= O_CREAT;
            break;
        case kTruncateExisting:
            if (!path.exists) return winerr::kFileNotFound;
            if (!wantWrite) return winerr::kInvalidParameter;
            flags |= O_TRUNC;
            break;
        default:
            return winerr::kInvalidParameter;
    }
    int f = ::open(path.host.c_str(), flags | O_RDWR, 0644);
    if (f < 0 && errno == EACCES && !wantWrite && (flags & O_TRUNC) == 0)
        f = ::open(path.host.c_str(), flags | O_RDONLY, 0644);
    if (f < 0) {
        if (errno == EEXIST) return winerr::kFileExists;
        return WindowsErrorFromErrno(errno, !path.parentExists);
    }
    *fd = f;
    return 0;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

}  // namespace emu
