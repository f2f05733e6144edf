// Private folders, directory links and the second program of the logged-on user (emu/winfs.h).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "emu/winerror.h"
#include "emu/winfs.h"
#include "emu/world.h"

namespace emu {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char kPlantedMark[] = "PLANTED";

// The identity of a host folder: its canonical path, so that a path through a link and the
// folder's own path agree.
std::string Identity(const std::string& host) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(host, ec);
    return ec ? host : p.string();
}

bool InPrivateFolder(const std::string& host) {
    auto lock = LockState();
    const json& list = State()["privateFolders"];
    if (!list.is_array()) return false;
    std::error_code ec;
    for (fs::path p = fs::path(Identity(host)); !p.empty() && p != p.root_path(); p = p.parent_path()) {
        for (const json& folder : list)
            if (folder == p.string() && fs::is_directory(p, ec)) return true;
    }
    return false;
}

void SwapFolderOf(const std::string& path) {
    ResolvedPath r;
    if (ResolveWindowsPath(path, &r) != 0) return;
    const std::string folder = Identity(fs::path(r.host).parent_path().string());
    const std::string renamed = folder + ".made-by-the-run";
    std::error_code ec;
    fs::rename(folder, renamed, ec);
    if (ec) return;
    fs::create_directory(folder, ec);
    // Private folders are known by their paths: the privacy moves with the renamed folder.
    auto lock = LockState();
    json& list = State()["privateFolders"];
    if (!list.is_array()) return;
    for (json& entry : list)
        if (entry == folder) entry = renamed;
}

}  // namespace

uint32_t ProtectWindowsFolder(const std::string& path) {
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(path, &r)) return e;
    if (!r.exists || !r.isDirectory) return winerr::kPathNotFound;
    auto lock = LockState();
    json& list = State()["privateFolders"];
    if (!list.is_array()) list = json::array();
    list.push_back(Identity(r.host));
    return 0;
}

uint32_t CreatePrivateWindowsDirectory(const std::string& path) {
    if (uint32_t e = CreateWindowsDirectory(path)) return e;
    ProtectWindowsFolder(path);
    FireAttacks("folderMade");
    return 0;
}

bool IsWindowsLink(const std::string& path) {
    ResolvedPath r;
    if (ResolveWindowsPath(path, &r) != 0) return false;
    struct stat st;
    return ::lstat(r.host.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsPrivateWindowsFolder(const std::string& path) {
    ResolvedPath r;
    if (ResolveWindowsPath(path, &r) != 0 || !r.exists || !r.isDirectory || IsWindowsLink(path)) return false;
    const std::string id = Identity(r.host);
    auto lock = LockState();
    const json& list = State()["privateFolders"];
    if (!list.is_array()) return false;
    for (const json& folder : list)
        if (folder == id) return true;
    return false;
}

uint32_t MakeWindowsLink(const std::string& path, const std::string& target) {
    ResolvedPath link, to;
    if (uint32_t e = ResolveWindowsPath(path, &link, false, false)) return e;
    if (uint32_t e = ResolveWindowsPath(target, &to, false, false)) return e;
    if (link.exists) return winerr::kAlreadyExists;
    if (!to.exists || !to.isDirectory) return winerr::kPathNotFound;
    if (::symlink(to.host.c_str(), link.host.c_str()) != 0) return WindowsErrorFromErrno(errno);
    return 0;
}

uint32_t WriteAsUser(const std::string& path, const std::string& text) {
    ResolvedPath r;
    if (uint32_t e = ResolveWindowsPath(path, &r)) return e;
    if (!r.parentExists) return winerr::kPathNotFound;
    if (r.isDirectory) return winerr::kAccessDenied;
    if (InPrivateFolder(fs::path(r.host).parent_path().string())) return winerr::kAccessDenied;
    std::ofstream out(r.host, std::ios::binary | std::ios::trunc);
    if (!out) return winerr::kAccessDenied;
    out << text;
    return out ? 0 : winerr::kAccessDenied;
}

void FireAttacks(const char* moment) {
    json attacks;
    {
        auto lock = LockState();
        attacks = ProfileValue("/windows/attacks");
    }
    if (!attacks.is_array()) return;
    for (size_t i = 0; i < attacks.size(); ++i) {
        const json& a = attacks[i];
        if (a.value("moment", "") != moment) continue;
        {
            auto lock = LockState();
            json& fired = State()["attacksFired"];
            if (!fired.is_array()) fired = json::array();
            bool done = false;
            for (const json& f : fired) done = done || f == i;
            if (done) continue;
            fired.push_back(i);
        }
        const std::string path = a.value("path", "");
        // The folder just made is renamed away by its parent's owner (the user owns TEMP) and a
        // folder of the user's own takes its place, before the run opens it.
        if (std::string(moment) == "folderMade") SwapFolderOf(path);
        const uint32_t error = WriteAsUser(path, std::string(kPlantedMark) + " at " + moment);
        Record({{"event", "attack"}, {"moment", moment}, {"path", path},
                {"outcome", error == 0 ? "planted" : "refused"}, {"error", error}});
    }
}

bool HoldsPlantedText(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    char head[sizeof kPlantedMark - 1] = {};
    in.read(head, sizeof head);
    return in.gcount() == static_cast<std::streamsize>(sizeof head) && std::string(head, sizeof head) == kPlantedMark;
}

void RecordPlantedUse(const std::string& windowsPath, const char* by) {
    Record({{"event", "attack"}, {"outcome", "used"}, {"path", windowsPath}, {"by", by}});
}

}  // namespace emu
