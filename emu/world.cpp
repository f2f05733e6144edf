#include "emu/world.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "emu/machine.h"
#include "emu/process.h"
#include "emu/profile.h"
#include "emu/winfs.h"

namespace emu {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kMarkerName = ".emulated-world";
constexpr uint32_t kNormalPriorityClass = 0x20;

std::mutex gWorldMutex;  // root, profile and the process values below
std::string gRoot;
json gProfile = json::object();

std::recursive_mutex gStateMutex;
json gState = json::object();
struct Hooks {
    std::function<void()> save;
    std::function<void()> load;
};
std::vector<Hooks> gHooks;

std::mutex gTranscriptMutex;

std::string gProgramPath;
std::string gCommandLine;
bool gTopProgram = false;
uint32_t gPriorityClass = kNormalPriorityClass;
bool gShutdownPrivilege = false;

// The emulated clock in microseconds (its low 32 bits of milliseconds are the tick count), and
// the timer period a sleep is rounded up to.
std::atomic<uint64_t> gClockUs{0};
std::atomic<uint64_t> gTimerPeriodUs{1000};

std::string Dump(const json& value, int indent = -1) {
    // Texts of the program are ANSI, not UTF-8: never let one stop a record.
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

bool WriteWholeFile(const std::string& path, const std::string& text, std::string* error) {
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            if (error) *error = "cannot write " + temporary;
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        if (error) *error = "cannot write " + path + ": " + ec.message();
        return false;
    }
    return true;
}

std::string FolderOf(const std::string& windowsPath) {
    size_t slash = windowsPath.find_last_of("\\/");
    if (slash == std::string::npos || slash <= 2) return windowsPath.substr(0, 2) + "\\";
    return windowsPath.substr(0, slash);
}

// The world's values for a process that the profile's program stands for.
void ResetProcessValues(const json& profile) {
    const json& w = profile["windows"];
    std::string program = w["programPath"].get<std::string>();
    {
        std::lock_guard<std::mutex> lock(gWorldMutex);
        gProgramPath = program;
        gCommandLine = "\"" + program + "\"";
        gTopProgram = false;
        gPriorityClass = kNormalPriorityClass;
        gShutdownPrivilege = false;
    }
    gClockUs = w["tickCountStart"].get<uint64_t>() * 1000;
    gTimerPeriodUs = w["timerPeriodUs"].get<uint64_t>();
    SetExitCodeFile("");
    std::string cwd = w["currentDirectory"].is_string() ? w["currentDirectory"].get<std::string>()
                                                        : FolderOf(program);
    ResetCurrentDirectory("C:\\");
    ResolvedPath r;
    ResetCurrentDirectory(ResolveWindowsPath(cwd, &r) == 0 ? r.windows : std::string("C:\\"));
}

bool LoadState(const std::string& root, json* state, std::string* error) {
    std::string text;
    std::string path = root + "/state/state.json";
    if (!fs::exists(path)) {
        *state = json::object();
        return true;
    }
    if (!ReadTextFile(path, &text, error)) return false;
    try {
        *state = json::parse(text);
    } catch (const json::exception& e) {
        *error = path + ": " + e.what();
        return false;
    }
    return true;
}

bool Attach(const std::string& root, std::string* error) {
    std::string text;
    json given, profile, state;
    if (!ReadTextFile(root + "/machine.json", &text, error)) {
        *error = root + " is not an emulated world: " + *error;
        return false;
    }
    if (!CompleteProfile(text, &profile, error)) {
        *error = root + "/machine.json: " + *error;
        return false;
    }
    if (!LoadState(root, &state, error)) return false;
    {
        std::lock_guard<std::mutex> lock(gWorldMutex);
        gRoot = root;
        gProfile = profile;
    }
    ResetProcessValues(profile);
    {
        std::lock_guard<std::recursive_mutex> lock(gStateMutex);
        gState = std::move(state);
        for (const Hooks& h : gHooks)
            if (h.load) h.load();
    }
    return true;
}

}  // namespace

bool CreateWorld(const std::string& root, const std::string& profileJson, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    json profile;
    if (!CompleteProfile(profileJson, &profile, error)) return false;
    if (root.empty()) {
        *error = "no root folder given";
        return false;
    }
    if (WorldAttached()) DetachWorld();

    std::error_code ec;
    fs::path r(root);
    if (fs::exists(r, ec)) {
        if (!fs::is_directory(r, ec)) {
            *error = root + " exists and is not a folder";
            return false;
        }
        bool empty = fs::is_empty(r, ec);
        if (!empty && !fs::exists(r / kMarkerName, ec)) {
            *error = "refusing to clear " + root + ": it holds files but no emulated world";
            return false;
        }
        for (const auto& entry : fs::directory_iterator(r, ec)) fs::remove_all(entry.path(), ec);
    }
    fs::create_directories(r / "C", ec);
    fs::create_directories(r / "state", ec);
    fs::create_directories(r / "processes", ec);
    if (ec) {
        *error = "cannot lay out " + root + ": " + ec.message();
        return false;
    }
    if (!WriteWholeFile(root + "/" + kMarkerName, "1\n", error) ||
        !WriteWholeFile(root + "/machine.json", Dump(profile, 2) + "\n", error) ||
        !WriteWholeFile(root + "/state/state.json", "{}\n", error) ||
        !WriteWholeFile(root + "/transcript.jsonl", "", error))
        return false;
    if (!Attach(fs::absolute(r).lexically_normal().string(), error)) return false;
    {
        auto lock = LockState();
        if (!machine::InitializeFromProfile(error)) return false;
    }

    const json& w = profile["windows"];
    if (w["temp"].is_string()) {
        std::string temp = w["temp"].get<std::string>();
        // A TEMP on another drive or with odd characters is the profile's point: leave it missing.
        if (temp.size() >= 3 && (temp[0] == 'C' || temp[0] == 'c') && temp[1] == ':') MakeWindowsFolders(temp);
    }
    MakeWindowsFolders(FolderOf(w["programPath"].get<std::string>()));
    if (w["currentDirectory"].is_string()) MakeWindowsFolders(w["currentDirectory"].get<std::string>());
    // Files the notebook holds before the run (a program planted where one should not be, say).
    if (w["files"].is_object()) {
        for (auto it = w["files"].begin(); it != w["files"].end(); ++it) {
            MakeWindowsFolders(FolderOf(it.key()));
            ResolvedPath file;
            if (ResolveWindowsPath(it.key(), &file) != 0) {
                *error = "cannot place " + it.key();
                return false;
            }
            const std::string text = it.value().get<std::string>();
            if (!WriteWholeFile(file.host, text, error)) return false;
        }
    }
    // Directory links the user made beforehand (a junction at the working folder's path, say).
    for (auto it = w["links"].begin(); it != w["links"].end(); ++it) {
        MakeWindowsFolders(FolderOf(it.key()));
        MakeWindowsFolders(it.value().get<std::string>());
        if (MakeWindowsLink(it.key(), it.value().get<std::string>()) != 0) {
            *error = "cannot place the link " + it.key();
            return false;
        }
    }
    return true;
}

bool AttachWorld(const std::string& root, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (WorldAttached()) DetachWorld();
    std::error_code ec;
    return Attach(fs::absolute(root, ec).lexically_normal().string(), error);
}

bool AttachFromEnvironment(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    const char* root = std::getenv(kEnvRoot);
    if (root == nullptr || *root == '\0') {
        *error = std::string("not started by an emulated Windows (") + kEnvRoot + " is not set)";
        return false;
    }
    if (!AttachWorld(root, error)) return false;
    const char* program = std::getenv(kEnvProgram);
    const char* commandLine = std::getenv(kEnvCommandLine);
    const char* directory = std::getenv(kEnvDirectory);
    const char* exitFile = std::getenv(kEnvExitFile);
    {
        std::lock_guard<std::mutex> lock(gWorldMutex);
        if (program != nullptr) gProgramPath = program;
        gCommandLine = commandLine != nullptr ? commandLine : "\"" + gProgramPath + "\"";
    }
    if (directory != nullptr && ChangeCurrentDirectory(directory) != 0) {
        *error = std::string("the current directory ") + directory + " does not exist";
        DetachWorld();
        return false;
    }
    SetExitCodeFile(exitFile != nullptr ? exitFile : "");
    return true;
}

void FlushWorld() {
    std::string root = WorldRoot();
    if (root.empty()) return;
    std::lock_guard<std::recursive_mutex> lock(gStateMutex);
    for (const Hooks& h : gHooks)
        if (h.save) h.save();
    WriteWholeFile(root + "/state/state.json", Dump(gState, 2) + "\n", nullptr);
}

void ReloadState() {
    std::string root = WorldRoot();
    if (root.empty()) return;
    json state;
    std::string error;
    if (!LoadState(root, &state, &error)) return;
    std::lock_guard<std::recursive_mutex> lock(gStateMutex);
    gState = std::move(state);
    for (const Hooks& h : gHooks)
        if (h.load) h.load();
}

void DetachWorld() {
    if (!WorldAttached()) return;
    FlushWorld();
    std::lock_guard<std::mutex> lock(gWorldMutex);
    gRoot.clear();
    gProfile = json::object();
    std::lock_guard<std::recursive_mutex> stateLock(gStateMutex);
    gState = json::object();
}

bool WorldAttached() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return !gRoot.empty();
}

std::string WorldRoot() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return gRoot;
}

const json& Profile() { return gProfile; }

const json& ProfileValue(const std::string& pointer) {
    static const json kNull;
    json::json_pointer p(pointer);
    return gProfile.contains(p) ? gProfile.at(p) : kNull;
}

std::vector<json> Transcript() {
    std::vector<json> events;
    std::string root = WorldRoot();
    if (root.empty()) return events;
    std::lock_guard<std::mutex> lock(gTranscriptMutex);
    std::ifstream in(root + "/transcript.jsonl", std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        json event = json::parse(line, nullptr, false);
        if (!event.is_discarded()) events.push_back(std::move(event));
    }
    return events;
}

std::vector<json> TranscriptOf(const std::string& eventKind) {
    std::vector<json> events;
    for (json& e : Transcript())
        if (e.value("event", "") == eventKind) events.push_back(std::move(e));
    return events;
}

void Record(const json& event) {
    std::string root = WorldRoot();
    if (root.empty()) return;
    std::string line = Dump(event) + "\n";
    // Threads of this process take the mutex; other processes of the world the file lock.
    std::lock_guard<std::mutex> lock(gTranscriptMutex);
    int fd = ::open((root + "/transcript.jsonl").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ::flock(fd, LOCK_EX);
    for (size_t done = 0; done < line.size();) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

std::unique_lock<std::recursive_mutex> LockState() { return std::unique_lock<std::recursive_mutex>(gStateMutex); }

json& State() { return gState; }

std::string StateFilePath(const std::string& name) {
    std::string root = WorldRoot();
    return root.empty() ? std::string() : root + "/state/" + name;
}

void AddStateHooks(std::function<void()> save, std::function<void()> load) {
    std::lock_guard<std::recursive_mutex> lock(gStateMutex);
    gHooks.push_back(Hooks{std::move(save), std::move(load)});
}

std::string ProgramPath() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return gProgramPath;
}

std::string CommandLine() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return gCommandLine;
}

void SetCommandLine(const std::string& commandLine) {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    gCommandLine = commandLine;
}

void SetTopProgram(bool top) {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    gTopProgram = top;
}

bool IsTopProgram() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return gTopProgram;
}

uint32_t PriorityClass() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return gPriorityClass;
}

void SetPriorityClassValue(uint32_t priorityClass) {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    gPriorityClass = priorityClass;
}

bool ShutdownPrivilegeEnabled() {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    return gShutdownPrivilege;
}

void SetShutdownPrivilegeEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(gWorldMutex);
    gShutdownPrivilege = enabled;
}

uint32_t TickCount() { return static_cast<uint32_t>(gClockUs.load() / 1000); }

void Sleep(uint32_t milliseconds) {
    const uint64_t period = gTimerPeriodUs.load();
    const uint64_t asked = static_cast<uint64_t>(milliseconds) * 1000;
    // Sleep(0) only gives up the rest of the time slice: the clock does not move.
    const uint64_t periods = (asked + period - 1) / period;
    gClockUs += periods * period;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool ReadHostFile(const std::string& path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) return false;
    bytes->resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes->data()), size);
    return static_cast<bool>(in);
}

}  // namespace emu
