// notebook-emu: runs a packaged updater against an emulated notebook and reports what happened.
//
//   notebook-emu run --machine PROFILE --program FILE [--root DIR] [--json FILE]
//                    [--variant romshell|romshell-phx] [--timeout SECONDS] [-- OPTIONS...]
//   notebook-emu report --root DIR [--json FILE]
//
// `run` makes a fresh world from PROFILE (in DIR, or in a new folder under $TMPDIR), places FILE
// at the profile's program path and runs the emulated program (romshell or romshell-phx beside
// this executable, chosen by the unpacker marker inside FILE) with OPTIONS as its command line.
// When it has ended, the report is printed (and written as JSON with --json). `report` prints the
// report of a world an earlier run left. Exit code 0 when a report was made (the program's own
// result is in it), 2 for errors of the arguments, the profile or the program file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "package/format.h"
#include "tools/notebook-emu/report.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kUsageError = 2;
// The emulated program's face ends with this when it cannot start the program (bad arguments,
// bad profile, a root it may not clear).
constexpr int kFaceError = 125;
constexpr size_t kOutputKept = 16384;


int Fail(const std::string& message) {
    std::fprintf(stderr, "notebook-emu: %s\n", message.c_str());
    return kUsageError;
}

bool ReadFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *bytes = text.str();
    return true;
}

// The variant whose marker the program image carries: the part of the file in front of its
// package, or the whole file when it has none.
std::string VariantOf(const std::string& file, std::string* why) {
    size_t end = file.size();
    if (file.size() >= 64) {
        uint32_t offset = 0;
        std::memcpy(&offset, file.data() + kPackageOffsetPosition, 4);
        if (offset != 0 && offset <= file.size() &&
            file.compare(offset, 4, kPackageMagicText, sizeof kPackageMagicText) == 0) {
            end = offset;
        }
    }
    std::string image = file.substr(0, end);
    std::string found;
    for (const ProgramMarker& m : kProgramMarkers) {
        if (image.find(std::string(m.marker) + '\0') == std::string::npos) continue;
        if (!found.empty()) {
            *why = "carries the markers of both programs; choose one with --variant";
            return "";
        }
        found = m.program;
    }
    if (found.empty()) *why = "carries no unpacker marker; choose the program with --variant";
    return found;
}

std::string SelfFolder() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

std::string NewRootFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/notebook-emu-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return {};
    return buffer.data();
}

struct Ended {
    std::string how;  // "exited", "signal", "timeout"
    int status = 0;   // exit status or signal
};

// Runs argv with its output into outputPath, in a process group of its own, so that a run that
// does not end is stopped with every tool it started.
bool RunProgram(const std::vector<std::string>& args, const std::string& outputPath, int timeoutSeconds, Ended* ended,
                std::string* error) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The program must not mistake itself for a tool of another world.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ROMSHELL_EMU_", 13) != 0) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        *error = std::string("cannot start ") + args[0] + ": " + std::strerror(rc);
        return false;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            *error = std::string("waiting for the program: ") + std::strerror(errno);
            return false;
        }
        if (timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            ended->how = "timeout";
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Tools the program left running belong to the world that ends here.
    ::kill(-pid, SIGKILL);
    if (WIFSIGNALED(status)) {
        ended->how = "signal";
        ended->status = WTERMSIG(status);
    } else {
        ended->how = "exited";
        ended->status = WEXITSTATUS(status);
    }
    return true;
}

int PrintReport(const std::string& root, const std::string& jsonPath) {
    json report;
    std::string error;
    if (!emu::report::BuildReport(root, &report, &error)) return Fail(error);
    std::fputs(emu::report::FormatReport(report).c_str(), stdout);
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath, std::ios::trunc);
        out << report.dump(2) << "\n";
        if (!out) return Fail("cannot write " + jsonPath);
    }
    return 0;
}

int Run(const std::string& machine, const std::string& program, std::string root, const std::string& jsonPath,
        std::string variant, int timeoutSeconds, const std::vector<std::string>& options) {
    std::string file, why;
    if (!ReadFile(program, &file)) return Fail("cannot read " + program);
    if (variant.empty()) {
        variant = VariantOf(file, &why);
        if (variant.empty()) return Fail(program + " " + why);
    }
    std::string binary = SelfFolder() + "/" + variant;
    if (::access(binary.c_str(), X_OK) != 0) return Fail(binary + ": the emulated " + variant + " is not built beside notebook-emu");
    if (root.empty()) {
        root = NewRootFolder();
        if (root.empty()) return Fail("cannot make a folder for the emulated world");
    }
    std::error_code ec;
    root = fs::absolute(root, ec).lexically_normal().string();
    if (!root.empty() && root.back() == '/' && root.size() > 1) root.pop_back();

    // The program's output goes next to the root while the world is being made, then into it.
    std::string output = root + ".notebook-emu-output";
    std::vector<std::string> args = {binary, "--machine", machine, "--root", root, "--program", program};
    if (!options.empty()) {
        args.push_back("--");
        args.insert(args.end(), options.begin(), options.end());
    }
    Ended ended;
    std::string error;
    if (!RunProgram(args, output, timeoutSeconds, &ended, &error)) return Fail(error);
    std::string text;
    ReadFile(output, &text);
    fs::remove(output, ec);
    if (ended.how == "exited" && ended.status == kFaceError) return Fail(variant + " could not start:\n" + text);

    std::string joined;
    for (const std::string& o : options) joined += (joined.empty() ? "" : " ") + o;
    json run = {{"variant", variant},
                {"programFile", fs::absolute(program, ec).string()},
                {"machineFile", fs::absolute(machine, ec).string()},
                {"options", joined},
                {"ended", ended.how},
                {"timeoutSeconds", timeoutSeconds},
                {"output", text.size() > kOutputKept ? text.substr(text.size() - kOutputKept) : text}};
    if (ended.how == "exited") run["exitStatus"] = ended.status;
    if (ended.how == "signal") run["signal"] = ended.status;
    std::ofstream(root + "/" + emu::report::kRunFileName, std::ios::trunc) << run.dump(2) << "\n";
    return PrintReport(root, jsonPath);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs a packaged updater against an emulated notebook and reports what happened.", "notebook-emu"};
    app.require_subcommand(1);

    std::string machine, program, root, jsonPath, variant;
    int timeout = 300;
    std::vector<std::string> options;
    CLI::App* run = app.add_subcommand("run", "run a packaged program on an emulated notebook and report");
    run->add_option("--machine", machine, "machine profile (JSON), e.g. emu/machines/default.json")
        ->required()
        ->check(CLI::ExistingFile);
    run->add_option("--program", program, "the packaged program file (romshell.exe or romshell-phx.exe with its package)")
        ->required()
        ->check(CLI::ExistingFile);
    run->add_option("--root", root, "folder of the emulated world (default: a new folder under $TMPDIR)");
    run->add_option("--json", jsonPath, "also write the report as JSON to this file");
    run->add_option("--variant", variant, "the program to run, instead of the one the file's marker names")
        ->check(CLI::IsMember({"romshell", "romshell-phx"}));
    run->add_option("--timeout", timeout, "stop a program that has not ended after this many seconds (0: wait)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    run->add_option("options", options, "the program's command-line options, after --");

    std::string reportRoot, reportJson;
    CLI::App* report = app.add_subcommand("report", "report on the world an earlier run left");
    report->add_option("--root", reportRoot, "folder of the emulated world")->required()->check(CLI::ExistingDirectory);
    report->add_option("--json", reportJson, "also write the report as JSON to this file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }
    if (run->parsed()) return Run(machine, program, root, jsonPath, variant, timeout, options);
    return PrintReport(reportRoot, reportJson);
}
