#include "tools/notebook-emu/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace notebook_emu {

bool RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment,
                const std::string& outputPath, int timeoutSeconds, Ended* ended, std::string* error) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The program must not mistake itself for a tool of another world.
    std::vector<std::string> env;
    auto overridden = [&](const char* entry) {
        for (const std::string& x : extraEnvironment) {
            size_t eq = x.find('=');
            if (eq != std::string::npos && std::strncmp(entry, x.c_str(), eq + 1) == 0) return true;
        }
        return false;
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ROMSHELL_EMU_", 13) != 0 && !overridden(*e)) env.push_back(*e);
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
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

}  // namespace notebook_emu
