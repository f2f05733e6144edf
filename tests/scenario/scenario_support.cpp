#include "tests/scenario/scenario_support.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/notebook-emu/spawn.h"

namespace scenario {

namespace fs = std::filesystem;

std::string Machine(const std::string& name) { return std::string(ROMSHELL_SOURCE_DIR) + "/emu/machines/" + name + ".json"; }

std::string Package(const std::string& name) { return std::string(SCENARIO_PACKAGES) + "/" + name + ".exe"; }

Run RunNotebookEmu(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = {NOTEBOOK_EMU};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return RunCommand(args);
}

Run RunCommand(const std::vector<std::string>& args) {
    Run run;
    fs::create_directories(SCENARIO_WORLDS);
    std::string outputFile = std::string(SCENARIO_WORLDS) + "/command-" + std::to_string(::getpid()) + ".out";
    // Whatever world the test process may belong to is not the one notebook-emu makes: the
    // world's variables stay behind.
    notebook_emu::Ended ended;
    std::string error;
    if (!notebook_emu::RunProgram(args, {}, outputFile, 0, &ended, &error)) {
        run.output = "cannot start " + args[0] + ": " + error;
        return run;
    }
    run.status = ended.how == "exited" ? ended.status : 128 + ended.status;
    std::ifstream in(outputFile);
    std::ostringstream ss;
    ss << in.rdbuf();
    run.output = ss.str();
    fs::remove(outputFile);
    return run;
}

namespace {

Run RunOnProfile(const std::string& world, const std::string& profilePath, const std::string& package,
                 const std::vector<std::string>& options) {
    std::string root = std::string(SCENARIO_WORLDS) + "/" + world;
    std::string json = root + ".json";
    std::error_code ec;
    fs::remove(json, ec);
    std::vector<std::string> args = {"run",    "--machine", profilePath, "--program", Package(package),
                                     "--root", root,        "--json",    json,        "--timeout", "240"};
    if (!options.empty()) {
        args.push_back("--");
        args.insert(args.end(), options.begin(), options.end());
    }
    Run run = RunNotebookEmu(args);
    std::ifstream in(json);
    if (in) run.report = nlohmann::json::parse(in, nullptr, false);
    if (run.report.is_discarded()) run.report = nullptr;
    return run;
}

}  // namespace

Run RunScenario(const std::string& world, const std::string& machine, const std::string& package,
                const std::vector<std::string>& options) {
    return RunOnProfile(world, Machine(machine), package, options);
}

Run RunPatchedScenario(const std::string& world, const std::string& machine, const nlohmann::json& patch,
                       const std::string& package, const std::vector<std::string>& options) {
    Run run;
    std::ifstream in(Machine(machine));
    nlohmann::json profile = nlohmann::json::parse(in, nullptr, false);
    if (profile.is_discarded()) {
        run.output = Machine(machine) + " is no JSON";
        return run;
    }
    profile.merge_patch(patch);
    fs::create_directories(SCENARIO_WORLDS);
    std::string path = std::string(SCENARIO_WORLDS) + "/" + world + "-machine.json";
    std::ofstream(path) << profile.dump(2);
    return RunOnProfile(world, path, package, options);
}

uint32_t ResultCode(const nlohmann::json& report) {
    const nlohmann::json& r = report["result"];
    return r.value("ended", false) ? r["code"].get<uint32_t>() : 0xFFFFFFFFu;
}

std::vector<std::string> Captions(const nlohmann::json& report) {
    std::vector<std::string> out;
    for (const nlohmann::json& b : report["messageBoxes"]) out.push_back(b["caption"].get<std::string>());
    return out;
}

std::vector<std::string> ToolCommands(const nlohmann::json& report) {
    std::vector<std::string> out;
    for (const nlohmann::json& t : report["tools"]["runs"]) {
        std::string c = t["commandLine"].get<std::string>();
        size_t slash = c.find_last_of('\\', c.find(' '));
        out.push_back(slash == std::string::npos ? c : c.substr(slash + 1));
    }
    return out;
}

std::vector<std::string> WorkingFolderFiles(const nlohmann::json& report) {
    std::vector<std::string> out;
    for (const nlohmann::json& f : report["workingFolder"]["files"])
        if (!f.value("folder", false)) out.push_back(f["name"].get<std::string>());
    return out;
}

}  // namespace scenario
