#include "tests/scenario/scenario_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace scenario {

namespace fs = std::filesystem;

std::string Machine(const std::string& name) { return std::string(ROMSHELL_SOURCE_DIR) + "/emu/machines/" + name + ".json"; }

std::string Package(const std::string& name) { return std::string(SCENARIO_PACKAGES) + "/" + name + ".exe"; }

Run RunNotebookEmu(const std::vector<std::string>& arguments) {
    Run run;
    fs::create_directories(SCENARIO_WORLDS);
    std::string outputFile = std::string(SCENARIO_WORLDS) + "/notebook-emu-" + std::to_string(::getpid()) + ".out";
    std::vector<std::string> args = {NOTEBOOK_EMU};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Whatever world the test process may belong to is not the one notebook-emu makes.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ROMSHELL_EMU_", 13) != 0) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        run.output = std::string("cannot start notebook-emu: ") + std::strerror(rc);
        return run;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    for (const nlohmann::json& f : report["workingFolder"]["files"]) out.push_back(f["name"].get<std::string>());
    return out;
}

}  // namespace scenario
