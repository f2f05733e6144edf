// notebook-emu: runs a packaged updater against an emulated notebook and reports what happened.
//
//   notebook-emu run --machine PROFILE --program FILE [--root DIR] [--json FILE]
//                    [--variant romshell|romshell-phx] [--timeout SECONDS] [--wine [--no-display]]
//                    [-- OPTIONS...]
//   notebook-emu report --root DIR [--json FILE]
//
// `run` makes a fresh world from PROFILE (in DIR, or in a new folder under $TMPDIR), places FILE
// at the profile's program path and runs the emulated program (romshell or romshell-phx beside
// this executable, chosen by the unpacker marker inside FILE) with OPTIONS as its command line.
// With --wine the file itself, the real Windows program, runs under Wine on the same emulated
// notebook instead (tools/notebook-emu/wine_run.h). When it has ended, the report is printed (and written as JSON with --json). `report` prints the
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
#include "tools/notebook-emu/spawn.h"
#include "tools/notebook-emu/wine_run.h"

extern char** environ;

namespace {

using notebook_emu::Ended;
using notebook_emu::RunProgram;

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
        std::string variant, int timeoutSeconds, const std::vector<std::string>& options, bool underWine, bool display) {
    std::string file, why;
    if (!ReadFile(program, &file)) return Fail("cannot read " + program);
    if (variant.empty()) {
        variant = VariantOf(file, &why);
        if (variant.empty()) return Fail(program + " " + why);
    }
    std::string binary = SelfFolder() + "/" + variant;
    if (!underWine && ::access(binary.c_str(), X_OK) != 0)
        return Fail(binary + ": the emulated " + variant + " is not built beside notebook-emu");
    if (root.empty()) {
        root = NewRootFolder();
        if (root.empty()) return Fail("cannot make a folder for the emulated world");
    }
    std::error_code ec;
    root = fs::absolute(root, ec).lexically_normal().string();
    if (!root.empty() && root.back() == '/' && root.size() > 1) root.pop_back();

    if (underWine) {
        notebook_emu::WineRun wine;
        wine.machineFile = fs::absolute(machine, ec).string();
        wine.programFile = fs::absolute(program, ec).string();
        wine.root = root;
        wine.variant = variant;
        wine.timeoutSeconds = timeoutSeconds;
        wine.options = options;
        wine.benchFolder = SelfFolder() + "/wine-bench";
        wine.toolFolder = SelfFolder();
        const char* prefixes = std::getenv("ROMSHELL_WINE_PREFIXES");
        wine.templateFolder = prefixes != nullptr && *prefixes != '\0' ? prefixes : SelfFolder() + "/../wine-prefixes";
        wine.display = display;
        json run;
        std::string error;
        if (::access((wine.benchFolder + "/bench-watch.exe").c_str(), R_OK) != 0)
            return Fail(wine.benchFolder + "/bench-watch.exe: the Wine bench is not built (MinGW-w64 missing?)");
        if (!notebook_emu::RunUnderWine(wine, &run, &error)) return Fail(error);
        std::ofstream(root + "/" + emu::report::kRunFileName, std::ios::trunc) << run.dump(2) << "\n";
        return PrintReport(root, jsonPath);
    }

    // The program's output goes next to the root while the world is being made, then into it.
    std::string output = root + ".notebook-emu-output";
    std::vector<std::string> args = {binary, "--machine", machine, "--root", root, "--program", program};
    if (!options.empty()) {
        args.push_back("--");
        args.insert(args.end(), options.begin(), options.end());
    }
    Ended ended;
    std::string error;
    if (!RunProgram(args, {}, output, timeoutSeconds, &ended, &error)) return Fail(error);
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
    bool underWine = false, noDisplay = false;
    run->add_flag("--wine", underWine, "run the real Windows program (the file itself) under Wine on the same notebook");
    run->add_flag("--no-display", noDisplay, "with --wine: no virtual display (message boxes return at once, dialogs fail)");
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
    if (run->parsed()) return Run(machine, program, root, jsonPath, variant, timeout, options, underWine, !noDisplay);
    return PrintReport(reportRoot, reportJson);
}
