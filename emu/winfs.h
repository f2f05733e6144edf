// The emulated Windows file system: drive C: is the folder <root>/C of the world.
//
// Paths are Windows paths: either slash separates, "." and ".." are folded, relative paths start
// at the process's current directory, and every component that exists is found without regard to
// case ("addmem.sys" finds "AddMem.sys"). Results are 0 or the Windows error value (winerror.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// CreateFile dispositions.
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;

// Longest path the ANSI file functions accept (MAX_PATH less the terminator), and the shorter
// limit of CreateDirectory, which keeps room for an 8.3 name inside the new folder.
constexpr size_t kMaxPathLength = 259;
constexpr size_t kMaxDirectoryPathLength = 247;
// Longest name of one component (NTFS).
constexpr size_t kMaxNameLength = 255;

struct ResolvedPath {
    std::string windows;       // full Windows path, "C:\Users\tech" (as written, folded)
    std::string host;          // the host path behind it
    std::vector<std::string> components;  // below the drive's root
    bool exists = false;
    bool isDirectory = false;
    bool parentExists = false;  // the folder that would hold the last component exists
    bool isRoot = false;
};

// "\\.\NAME" and "\\?\..." name devices, not files.
bool IsDevicePath(const std::string& path);

// 0, or kPathNotFound (other drives, empty path), kBadNetPath (UNC), kInvalidName (characters a
// Windows name cannot hold), kFilenameExcedRange (a name longer than 255 characters, or with
// limitLength a path longer than MAX_PATH, the limit of the ANSI file functions; setting up a
// world may go past it, as tools using "\\?\" paths do). With allowWildcards the last component
// may hold '*' and '?'.
uint32_t ResolveWindowsPath(const std::string& path, ResolvedPath* out, bool allowWildcards = false,
                            bool limitLength = true);

// The process's current directory ("C:\Users\tech\Desktop": no backslash at the end except for
// the root). Each process has its own.
std::string CurrentDirectory();
// SetCurrentDirectory: kFileNotFound / kPathNotFound when missing, kDirectory for a file.
uint32_t ChangeCurrentDirectory(const std::string& path);

// DeleteFile: kFileNotFound when missing, kAccessDenied for a folder.
uint32_t DeleteWindowsFile(const std::string& path);
// MoveFile: never replaces (kAlreadyExists); a change of case only is a rename.
uint32_t MoveWindowsFile(const std::string& from, const std::string& to);
// CopyFile with bFailIfExists FALSE: replaces the target.
uint32_t CopyWindowsFile(const std::string& from, const std::string& to);
// CreateDirectory: kAlreadyExists, kPathNotFound when the parent is missing.
uint32_t CreateWindowsDirectory(const std::string& path);
// Creates every missing folder on the way (for laying out a world and for tests; no MAX_PATH
// limit).
uint32_t MakeWindowsFolders(const std::string& path);

struct FoundEntry {
    std::string name;
    bool isDirectory = false;
    uint64_t size = 0;
};
// FindFirstFile's view of a folder: the entries whose names match the last component of pattern
// by the system's rules, "." and ".." first for a folder other than the root, then the names in
// the order NTFS keeps them (upper-cased, ordinal). kFileNotFound when nothing matches,
// kPathNotFound when the folder does not exist.
uint32_t FindWindowsFiles(const std::string& pattern, std::vector<FoundEntry>* entries);
// The system's wildcard rules: '*' any run, '?' one character (or none at the end of the name or
// before a dot), "*.*" everything, "x.*" also "x", "x." only names without an extension;
// without regard to case.
bool MatchesWindowsPattern(const std::string& pattern, const std::string& name);
// Two names as Windows compares them: equal without regard to the case of ASCII letters.
bool EqualNoCase(const std::string& a, const std::string& b);

// Opens the host file behind a resolved path for CreateFile with the given disposition. *fd is
// opened for reading and, where the host allows it, writing. *existed tells whether the file was
// there before.
uint32_t OpenResolvedFile(const ResolvedPath& path, uint32_t disposition, bool wantWrite, int* fd,
                          bool* existed);

// A host errno as the Windows error a file function reports.
uint32_t WindowsErrorFromErrno(int error, bool parentMissing = false);

// Internal to the world: sets the starting current directory of this process.
void ResetCurrentDirectory(const std::string& windowsPath);

}  // namespace emu

namespace emu {

// ---- who may change what, as far as the program's rules use it ----
//
// The emulated Windows knows two kinds of folder: the ones every folder of the logged-on user is
// (the user may change them and their files) and private ones, which only administrators and
// SYSTEM may change (made by CreatePrivateWindowsDirectory, as the program makes its working
// folder). A directory link (a junction or symbolic link) is a host symbolic link: following it
// is what Windows does when a path runs through one.

// CreateDirectory with a security descriptor that leaves the folder to administrators and SYSTEM.
uint32_t CreatePrivateWindowsDirectory(const std::string& path);
// Whether path names a real folder (not a link) made private.
bool IsPrivateWindowsFolder(const std::string& path);
// Makes an existing folder private, as an administrator who changes its owner and DACL does.
uint32_t ProtectWindowsFolder(const std::string& path);
// Whether the last component of path is a directory link; the link itself is not followed.
bool IsWindowsLink(const std::string& path);
// Places a directory link at path that leads to target (laying out a world).
uint32_t MakeWindowsLink(const std::string& path, const std::string& target);
// Writes text into the file at path as another program of the logged-on user would (creating or
// replacing it): kAccessDenied inside a private folder, kPathNotFound when its folder is missing.
uint32_t WriteAsUser(const std::string& path, const std::string& text);

// A second program of the logged-on user acts at named moments of the run: the profile's
// "windows.attacks", each {"moment", "path"}, writes a text starting with "PLANTED" to path
// (plants a file, or swaps one) at its moment, once. Moments: "confirmation" (while a box with OK and Cancel waits),
// "beforeTool" (a process is about to start), "serviceStart" (a driver service is about to
// start). Each outcome goes into the transcript:
//   {"event":"attack","moment":"confirmation","path":"...","outcome":"planted"|"refused","error":5}
void FireAttacks(const char* moment);
// Whether the file at host path holds a planted text (one that starts with "PLANTED", as every
// attack's and a profile's planted files do); the caller records that it was about to be run or loaded:
//   {"event":"attack","outcome":"used","path":"...","by":"CreateProcess"}
bool HoldsPlantedText(const std::string& hostPath);
void RecordPlantedUse(const std::string& windowsPath, const char* by);

}  // namespace emu
