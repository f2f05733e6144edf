#include "tools/notebook-emu/bench_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "emu/codepage.h"
#include "emu/devices.h"
#include "emu/process.h"
#include "emu/winerror.h"
#include "emu/window.h"
#include "emu/winsys.h"
#include "emu/world.h"

extern char** environ;

namespace bench {
namespace {

using nlohmann::json;

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;
constexpr uint32_t kStatusInvalidParameter = 0xC000000Du;
constexpr uint32_t kStatusInvalidHandle = 0xC0000008u;
constexpr uint32_t kStatusInvalidDeviceRequest = 0xC0000010u;
constexpr uint32_t kStatusAccessDenied = 0xC0000022u;
constexpr uint32_t kStatusNoSuchFile = 0xC000000Fu;

struct ErrorStatus {
    uint32_t error;
    uint32_t status;
};
// Each status is the one Wine maps back to the same error for the caller of DeviceIoControl.
constexpr ErrorStatus kStatuses[] = {
    {emu::winerr::kSuccess, kStatusSuccess},
    {emu::winerr::kInvalidParameter, kStatusInvalidParameter},
    {emu::winerr::kGenFailure, kStatusUnsuccessful},
    {emu::winerr::kInvalidFunction, kStatusInvalidDeviceRequest},
    {emu::winerr::kInvalidHandle, kStatusInvalidHandle},
    {emu::winerr::kAccessDenied, kStatusAccessDenied},
    {emu::winerr::kFileNotFound, kStatusNoSuchFile},
};

struct ToolRow {
    ToolKind kind;
    const char* linuxName;
};
constexpr ToolRow kTools[] = {
    {ToolKind::Phoenix, "emu-swinflash"},
    {ToolKind::Micom, "emu-winup"},
    {ToolKind::Ami, "emu-afuwin"},
};

bool ReadAll(int fd, void* bytes, size_t length) {
    auto* p = static_cast<uint8_t*>(bytes);
    while (length > 0) {
        ssize_t n = ::recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadWords(int fd, uint32_t* words, size_t count) {
    uint8_t bytes[64];
    if (count * 4 > sizeof bytes || !ReadAll(fd, bytes, count * 4)) return false;
    for (size_t i = 0; i < count; ++i)
        words[i] = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                   static_cast<uint32_t>(bytes[4 * i + 2]) << 16 | static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
    return true;
}

void PutWord(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool WriteWord(int fd, uint32_t v) {
    std::vector<uint8_t> bytes;
    PutWord(&bytes, v);
    return WriteAll(fd, bytes.data(), bytes.size());
}

// A text of a frame, refused when longer than any text the clients send.
bool ReadText(int fd, uint32_t length, std::string* text) {
    if (length > kLargestText) return false;
    text->assign(length, '\0');
    return length == 0 || ReadAll(fd, text->data(), length);
}

bool ReadExitFile(const std::string& path, uint32_t* code) {
    std::ifstream in(path);
    unsigned long long value = 0;
    if (!(in >> value) || value > 0xFFFFFFFFull) return false;
    *code = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

uint32_t StatusOfError(uint32_t windowsError) {
    for (const ErrorStatus& row : kStatuses)
        if (row.error == windowsError) return row.status;
    return kStatusUnsuccessful;
}

std::string LinuxToolName(uint32_t kind) {
    for (const ToolRow& row : kTools)
        if (static_cast<uint32_t>(row.kind) == kind) return row.linuxName;
    return "";
}

uint32_t DeviceRequest(uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out) {
    // The driver under Wine is the ADDMEM device itself: it exists once Wine has started it.
    emu::OpenDevice device;
    device.kind = emu::DeviceKind::Addmem;
    device.access = 0xC0000000u;
    device.name = "ADDMEM";
    // ADDMEM records carry no pointers into the caller's memory.
    emu::CallerMemory noMemory = [](uint32_t, size_t) -> uint8_t* { return nullptr; };
    uint32_t error = emu::DeviceControl(device, code, in, outSize, out, noMemory);
    if (out->size() > outSize) out->resize(outSize);
    return StatusOfError(error);
}

uint32_t RunTool(const std::string& toolFolder, uint32_t kind, const std::string& commandLine,
                 const std::string& directory, const std::string& program) {
    auto record = [&](bool started, uint32_t value) {
        json e = {{"event", "process"}, {"commandLine", commandLine}, {"directory", directory},
                  {"program", program}, {"started", started}};
        e[started ? "exitCode" : "error"] = value;
        emu::Record(e);
    };
    std::string name = LinuxToolName(kind);
    std::string host = emu::HostPathOf(directory);
    std::string binary = toolFolder + "/" + name;
    if (name.empty() || host.empty() || ::access(binary.c_str(), X_OK) != 0) {
        // The Windows side started; what it stands for cannot run: a tool that cannot do its work.
        record(true, 1);
        return 1;
    }
    static std::atomic<int> counter{0};
    std::string exitFile = emu::WorldRoot() + "/processes/bench-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1)) + ".exit";
    ::unlink(exitFile.c_str());

    std::vector<std::string> args = emu::SplitCommandLine(commandLine);
    if (args.empty()) args.push_back(binary);
    args[0] = binary;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ROMSHELL_EMU_", 13) != 0) env.push_back(*e);
    env.push_back(std::string(emu::kEnvRoot) + "=" + emu::WorldRoot());
    env.push_back(std::string(emu::kEnvCommandLine) + "=" + commandLine);
    env.push_back(std::string(emu::kEnvDirectory) + "=" + directory);
    env.push_back(std::string(emu::kEnvProgram) + "=" + program);
    env.push_back(std::string(emu::kEnvExitFile) + "=" + exitFile);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    // The tool reads the machine as the program has left it, and changes it on its own.
    emu::FlushWorld();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, host.c_str());
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        record(true, 1);
        return 1;
    }
    // A flash tool is waited for to its end, as the program waits for it.
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    uint32_t code = 0;
    if (!(WIFEXITED(status) && ReadExitFile(exitFile, &code))) code = emu::ExitCodeOfWaitStatus(status);
    ::unlink(exitFile.c_str());
    emu::ReloadState();
    record(true, code);
    return code;
}

struct Server {
    std::string toolFolder;
    int listener = -1;
    std::thread acceptor;
    std::mutex mutex;
    std::vector<int> connections;
    std::vector<std::thread> threads;
    std::atomic<bool> stopping{false};
    std::atomic<bool> exited{false};
    std::atomic<uint32_t> exitCode{0};
};

namespace {

bool ServeDevice(int fd) {
    uint32_t h[3];
    if (!ReadWords(fd, h, 3)) return false;
    uint32_t code = h[0], inLength = h[1], outSize = h[2];
    if (inLength > kLargestTransfer || outSize > kLargestTransfer) return false;
    std::vector<uint8_t> in(inLength);
    if (inLength > 0 && !ReadAll(fd, in.data(), inLength)) return false;
    std::vector<uint8_t> out;
    uint32_t status = DeviceRequest(code, in, outSize, &out);
    std::vector<uint8_t> reply;
    PutWord(&reply, status);
    PutWord(&reply, static_cast<uint32_t>(out.size()));
    reply.insert(reply.end(), out.begin(), out.end());
    return WriteAll(fd, reply.data(), reply.size());
}

bool ServeTool(Server* server, int fd) {
    uint32_t h[4];
    std::string commandLine, directory, program;
    if (!ReadWords(fd, h, 4) || !ReadText(fd, h[1], &commandLine) || !ReadText(fd, h[2], &directory) ||
        !ReadText(fd, h[3], &program))
        return false;
    return WriteWord(fd, RunTool(server->toolFolder, h[0], commandLine, directory, program));
}

bool ServeBox(int fd) {
    uint32_t h[4];
    std::string caption, text;
    if (!ReadWords(fd, h, 4) || !ReadText(fd, h[2], &caption) || !ReadText(fd, h[3], &text)) return false;
    // The watcher reads the box with the "A" functions: its texts come in the system's code page.
    const uint32_t codePage = emu::AnsiCodePage();
    return WriteWord(fd, static_cast<uint32_t>(emu::ShowMessageBox(h[0] != 0, emu::CodePageToUtf8(text, codePage),
                                                                   emu::CodePageToUtf8(caption, codePage), h[1])));
}

// The record of a window the watcher reports, in the machine's state as the emulated window
// system keeps its windows; made from fresh when it is new. Called with the state locked.
json* BenchWindow(uint32_t handle, json fresh) {
    json& windows = emu::State()["windows"];
    if (!windows.is_array()) windows = json::array();
    for (json& w : windows)
        if (w.value("benchHandle", 0u) == handle) return &w;
    fresh["benchHandle"] = handle;
    windows.push_back(std::move(fresh));
    return &windows.back();
}

// The watcher's view of the progress window: kept as the emulated window system keeps its
// windows in the machine's state, so that the report reads both the same way.
bool ServeWindow(int fd) {
    constexpr uint32_t kProgressDialog = 117;
    constexpr uint32_t kMostControls = 64;
    uint32_t h[3];
    if (!ReadWords(fd, h, 3) || h[2] > kMostControls) return false;
    json controls = json::object();
    for (uint32_t i = 0; i < h[2]; ++i) {
        uint32_t c[2];
        std::string text;
        if (!ReadWords(fd, c, 2) || !ReadText(fd, c[1], &text)) return false;
        controls[std::to_string(c[0])] = {{"text", emu::CodePageToUtf8(text, emu::AnsiCodePage())}};
    }
    {
        auto lock = emu::LockState();
        json* window = BenchWindow(h[0], {{"dialog", kProgressDialog}, {"closed", false}, {"controls", json::object()}});
        if (h[1] != 0) (*window)["closed"] = true;
        for (auto it = controls.begin(); it != controls.end(); ++it) (*window)["controls"][it.key()] = it.value();
    }
    return WriteWord(fd, 0);
}

// The DMI settings dialog as the watcher sees it: kept in the machine's state as the emulated
// window system keeps it, then the profile's next attempt on it, for the watcher to type and press.
bool ServeDialog(int fd) {
    constexpr uint32_t kDmiDialog = 116;
    constexpr uint32_t kFields[] = {1017, 1018, 1019};
    const uint32_t codePage = emu::AnsiCodePage();
    uint32_t h[2];
    std::string title;
    if (!ReadWords(fd, h, 2) || !ReadText(fd, h[1], &title)) return false;
    json controls = json::object();
    for (uint32_t control : kFields) {
        uint32_t length = 0;
        std::string text;
        if (!ReadWords(fd, &length, 1) || !ReadText(fd, length, &text)) return false;
        controls[std::to_string(control)] = {{"text", emu::CodePageToUtf8(text, codePage)}};
    }
    emu::DialogAttempt attempt;
    const bool taken = emu::TakeBenchDialogAttempt(h[0], &attempt);
    {
        auto lock = emu::LockState();
        json* window = BenchWindow(h[0], {{"window", h[0]}, {"dialog", kDmiDialog}, {"closed", false}});
        (*window)["title"] = emu::CodePageToUtf8(title, codePage);
        (*window)["controls"] = controls;
        for (const auto& [control, text] : attempt.typed) (*window)["controls"][std::to_string(control)] = {{"text", text}};
    }
    std::vector<uint8_t> reply;
    uint32_t press = 0;
    if (taken) {
        press = attempt.press == emu::DialogAttempt::Press::Ok       ? 1
                : attempt.press == emu::DialogAttempt::Press::Cancel ? 2
                                                                     : 3;
    }
    PutWord(&reply, press);
    PutWord(&reply, taken ? static_cast<uint32_t>(attempt.typed.size()) : 0);
    if (taken) {
        for (const auto& [control, text] : attempt.typed) {
            const std::string typed = emu::Utf8ToCodePage(text, codePage);
            PutWord(&reply, static_cast<uint32_t>(control));
            PutWord(&reply, static_cast<uint32_t>(typed.size()));
            reply.insert(reply.end(), typed.begin(), typed.end());
        }
    }
    return WriteAll(fd, reply.data(), reply.size());
}

bool ServeExit(Server* server, int fd) {
    uint32_t code = 0;
    if (!ReadWords(fd, &code, 1)) return false;
    emu::Record({{"event", "exit"}, {"code", code}});
    server->exitCode = code;
    server->exited = true;
    return WriteWord(fd, 0);
}

void Serve(Server* server, int fd) {
    for (;;) {
        uint32_t magic = 0;
        if (!ReadWords(fd, &magic, 1)) break;
        bool ok = false;
        switch (magic) {
            case kDeviceMagic: ok = ServeDevice(fd); break;
            case kToolMagic: ok = ServeTool(server, fd); break;
            case kBoxMagic: ok = ServeBox(fd); break;
            case kWindowMagic: ok = ServeWindow(fd); break;
            case kDialogMagic: ok = ServeDialog(fd); break;
            case kExitMagic: ok = ServeExit(server, fd); break;
            default: break;  // a frame of nobody's: the connection cannot be followed
        }
        if (!ok) break;
    }
    ::shutdown(fd, SHUT_RDWR);
}

void Accept(Server* server) {
    for (;;) {
        int fd = ::accept(server->listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (server->stopping) {
            ::close(fd);
            break;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(server->mutex);
        server->connections.push_back(fd);
        server->threads.emplace_back(Serve, server, fd);
    }
}

}  // namespace

Server* StartServer(const std::string& toolFolder, uint16_t* port, std::string* error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // nothing off this machine may reach the notebook
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    auto* server = new Server;
    server->toolFolder = toolFolder;
    server->listener = fd;
    *port = ntohs(address.sin_port);
    server->acceptor = std::thread(Accept, server);
    return server;
}

bool ProgramExited(Server* server, uint32_t* code) {
    if (!server->exited) return false;
    *code = server->exitCode;
    return true;
}

void StopServer(Server* server) {
    if (server == nullptr) return;
    server->stopping = true;
    ::shutdown(server->listener, SHUT_RDWR);
    server->acceptor.join();
    ::close(server->listener);
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        for (int fd : server->connections) ::shutdown(fd, SHUT_RDWR);
        threads.swap(server->threads);
    }
    for (std::thread& t : threads) t.join();
    for (int fd : server->connections) ::close(fd);
    delete server;
}

}  // namespace bench
