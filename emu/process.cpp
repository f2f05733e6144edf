#include "emu/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "emu/program.h"
#include "emu/winerror.h"
#include "emu/winfs.h"
#include "emu/world.h"

extern char** environ;

namespace emu {

struct ChildProcess {
    pid_t pid = 0;
    std::string commandLine;
    std::string directory;  // Windows
    std::string program;    // Windows
    std::string exitFile;   // host
    std::string root;       // the world it was started in
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    uint32_t exitCode = winerr::kStillActive;
};

namespace {

std::mutex gExitFileMutex;
std::string gExitFile;
std::atomic<unsigned> gChildCounter{0};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string FolderOf(const std::string& windowsPath) {
    size_t slash = windowsPath.find_last_of("\\/");
    if (slash == std::string::npos) return CurrentDirectory();
    if (slash <= 2 && windowsPath.size() > 1 && windowsPath[1] == ':') return windowsPath.substr(0, 2) + "\\";
    return windowsPath.substr(0, slash);
}

// The program file a candidate name stands for: ".exe" added when its last component has no
// extension; a bare name is looked for beside this process's program, then in the current
// directory.
bool LocateProgram(std::string name, ResolvedPath* found) {
    if (name.empty()) return false;
    size_t slash = name.find_last_of("\\/");
    std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    if (last.find('.') == std::string::npos) name += ".exe";
    std::vector<std::string> tries;
    if (name.find_first_of("\\/:") != std::string::npos) {
        tries.push_back(name);
    } else {
        tries.push_back(FolderOf(ProgramPath()) + "\\" + name);
        tries.push_back(name);
    }
    for (const std::string& t : tries) {
        ResolvedPath r;
        if (ResolveWindowsPath(t, &r) == 0 && r.exists && !r.isDirectory) {
            *found = r;
            return true;
        }
    }
    return false;
}

std::vector<std::string> ProgramCandidates(const std::string& commandLine) {
    std::vector<std::string> candidates;
    size_t start = 0;
    while (start < commandLine.size() && IsBlank(commandLine[start])) ++start;
    std::string text = commandLine.substr(start);
    if (!text.empty() && text[0] == '"') {
        size_t close = text.find('"', 1);
        candidates.push_back(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        return candidates;
    }
    // An unquoted name may hold blanks: Windows tries the text up to each blank in turn.
    for (size_t i = 0; i < text.size(); ++i)
        if (IsBlank(text[i]) && i > 0 && !IsBlank(text[i - 1])) candidates.push_back(text.substr(0, i));
    if (!text.empty() && !IsBlank(text.back())) candidates.push_back(text);
    return candidates;
}

void RecordProcess(const std::string& commandLine, const std::string& directory, const std::string& program,
                   bool started, uint32_t exitCodeOrError) {
    nlohmann::json e = {{"event", "process"},   {"commandLine", commandLine}, {"directory", directory},
                        {"program", program},   {"started", started}};
    if (started)
        e["exitCode"] = exitCodeOrError;
    else
        e["error"] = exitCodeOrError;
    Record(e);
}

bool ReadExitFile(const std::string& path, uint32_t* code) {
    std::ifstream in(path);
    unsigned long long value = 0;
    if (!(in >> value) || value > 0xFFFFFFFFull) return false;
    *code = static_cast<uint32_t>(value);
    return true;
}

void Reap(ChildHandle child) {
    int status = 0;
    while (::waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
    }
    uint32_t code = 0;
    // A tool that handed over its full code is believed only when it ended normally.
    if (!(WIFEXITED(status) && ReadExitFile(child->exitFile, &code))) code = ExitCodeOfWaitStatus(status);
    ::unlink(child->exitFile.c_str());
    // The child has changed the machine: what it flushed is now the state. (A process that
    // outlived its world, in tests, must not touch the next one.)
    if (WorldRoot() == child->root) {
        ReloadState();
        RecordProcess(child->commandLine, child->directory, child->program, true, code);
    }
    std::lock_guard<std::mutex> lock(child->mutex);
    child->exitCode = code;
    child->done = true;
    child->ended.notify_all();
}

}  // namespace

uint32_t ExitCodeOfWaitStatus(int status) {
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    if (!WIFSIGNALED(status)) return 1;
    switch (WTERMSIG(status)) {
        case SIGSEGV: case SIGBUS: return winerr::kStatusAccessViolation;
        case SIGILL: return winerr::kStatusIllegalInstruction;
        case SIGFPE: return winerr::kStatusIntegerDivideByZero;
        case SIGABRT: return winerr::kStatusStackBufferOverrun;
        case SIGINT: return winerr::kStatusControlCExit;
        default: return 1;  // ended from outside, as TerminateProcess(process, 1)
    }
}

std::string ArgumentsOf(const std::string& commandLine) {
    size_t i = 0;
    if (i < commandLine.size() && commandLine[i] == '"') {
        ++i;
        while (i < commandLine.size() && commandLine[i] != '"') ++i;
        if (i < commandLine.size()) ++i;
    } else {
        while (i < commandLine.size() && static_cast<unsigned char>(commandLine[i]) > ' ') ++i;
    }
    while (i < commandLine.size() && static_cast<unsigned char>(commandLine[i]) <= ' ') ++i;
    return commandLine.substr(i);
}

std::vector<std::string> SplitCommandLine(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            size_t n = 0;
            while (i < text.size() && text[i] == '\\') ++n, ++i;
            if (i < text.size() && text[i] == '"') {
                word.append(n / 2, '\\');
                if (n % 2 == 1) {
                    word += '"';
                } else {
                    quoted = !quoted;
                }
            } else {
                word.append(n, '\\');
                --i;
            }
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (IsBlank(c) && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

uint32_t StartProcess(const std::string& application, const std::string& commandLine, const std::string& directory,
                      ChildHandle* child) {
    child->reset();
    FireAttacks("beforeTool");
    std::string cwd = directory.empty() ? CurrentDirectory() : directory;
    ResolvedPath dir;
    uint32_t error = ResolveWindowsPath(cwd, &dir);
    if (error == 0 && (!dir.exists || !dir.isDirectory)) error = winerr::kDirectory;
    ResolvedPath program;
    if (error == 0 && !application.empty()) {
        if (ResolveWindowsPath(application, &program) != 0 || !program.exists || program.isDirectory) {
            error = winerr::kFileNotFound;
        }
    } else if (error == 0) {
        error = winerr::kFileNotFound;
        for (const std::string& candidate : ProgramCandidates(commandLine))
            if (LocateProgram(candidate, &program)) {
                error = 0;
                break;
            }
    }
    if (error != 0) {
        RecordProcess(commandLine, dir.windows.empty() ? cwd : dir.windows, "", false, error);
        return error;
    }

    if (HoldsPlantedText(program.host)) RecordPlantedUse(program.windows, "CreateProcess");
    // Windows runs any file that holds a program; the host needs the execute bit for it.
    struct stat st;
    if (::stat(program.host.c_str(), &st) == 0)
        ::chmod(program.host.c_str(), st.st_mode | S_IXUSR | ((st.st_mode & S_IRGRP) ? S_IXGRP : 0) |
                                          ((st.st_mode & S_IROTH) ? S_IXOTH : 0));

    auto c = std::make_shared<ChildProcess>();
    c->commandLine = commandLine;
    c->directory = dir.windows;
    c->program = program.windows;
    c->root = WorldRoot();
    c->exitFile = WorldRoot() + "/processes/" + std::to_string(::getpid()) + "-" +
                  std::to_string(gChildCounter.fetch_add(1)) + ".exit";
    ::unlink(c->exitFile.c_str());

    std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty()) args.push_back(program.host);
    args[0] = program.host;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ROMSHELL_EMU_", 13) != 0) env.push_back(*e);
    env.push_back(std::string(kEnvRoot) + "=" + WorldRoot());
    env.push_back(std::string(kEnvCommandLine) + "=" + commandLine);
    env.push_back(std::string(kEnvDirectory) + "=" + dir.windows);
    env.push_back(std::string(kEnvProgram) + "=" + program.windows);
    env.push_back(std::string(kEnvExitFile) + "=" + c->exitFile);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Whatever the child reads of the machine must be what this process has made of it.
    FlushWorld();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.host.c_str());
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, program.host.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = rc == ENOEXEC ? winerr::kBadExeFormat
              : rc == ENOENT  ? winerr::kFileNotFound
              : rc == EACCES  ? winerr::kAccessDenied
                              : winerr::kBadExeFormat;
        RecordProcess(commandLine, dir.windows, program.windows, false, error);
        return error;
    }
    c->pid = pid;
    std::thread(Reap, c).detach();
    *child = c;
    return 0;
}

bool WaitProcess(const ChildHandle& child, uint32_t milliseconds) {
    if (!child) return false;
    std::unique_lock<std::mutex> lock(child->mutex);
    if (milliseconds == kWaitForever) {
        child->ended.wait(lock, [&] { return child->done; });
        return true;
    }
    return child->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return child->done; });
}

bool ProcessExitCode(const ChildHandle& child, uint32_t* exitCode) {
    if (!child) return false;
    std::lock_guard<std::mutex> lock(child->mutex);
    *exitCode = child->exitCode;
    return child->done;
}

void SetExitCodeFile(const std::string& hostPath) {
    std::lock_guard<std::mutex> lock(gExitFileMutex);
    gExitFile = hostPath;
}

void EndProcess(uint32_t code, bool recordExit) {
    if (recordExit) Record({{"event", "exit"}, {"code", code}});
    std::string exitFile;
    {
        std::lock_guard<std::mutex> lock(gExitFileMutex);
        exitFile = gExitFile;
    }
    if (!exitFile.empty()) {
        std::ofstream out(exitFile, std::ios::trunc);
        out << code << "\n";
    }
    FlushWorld();
    if (IsTopProgram()) PrintRunSummary(code);
    std::fflush(nullptr);
    // As ExitProcess: the other threads end here, without running anything more of the program.
    ::_exit(static_cast<int>(code & 0xFF));
}

void ExitTool(int32_t code) { EndProcess(static_cast<uint32_t>(code), false); }

}  // namespace emu
