#include "tools/notebook-emu/wine_run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "emu/world.h"
#include "tools/notebook-emu/bench_server.h"
#include "tools/notebook-emu/spawn.h"

namespace notebook_emu {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Making a prefix runs Wine's first-use set-up; it takes about a minute, more on a busy machine.
constexpr int kPrefixSetupSeconds = 600;
constexpr int kWineserverSeconds = 60;
// Folders of the shared prefix's drive C: that the world's drive C: shows as they are.
const char* const kSharedFolders[] = {"windows", "Program Files", "Program Files (x86)", "ProgramData"};
// The calls of the program whose arguments and results the relay trace is to show.
constexpr const char* kRelayedCalls =
    "user32.ExitWindowsEx;kernel32.CreateProcessA;kernelbase.CreateProcessA;"
    "advapi32.CreateServiceA;sechost.CreateServiceA;advapi32.DeleteService;sechost.DeleteService";

struct VersionName {
    int major, minor;
    const char* name;
};
constexpr VersionName kVersions[] = {
    {10, 0, "win10"}, {6, 3, "win81"}, {6, 2, "win8"}, {6, 1, "win7"},
    {6, 0, "vista"},  {5, 2, "win2003"}, {5, 1, "winxp"},
};
constexpr VersionName kVersions9x[] = {{4, 10, "win98"}, {4, 90, "winme"}, {4, 0, "win95"}};

struct LocaleRow {
    unsigned languageId;
    const char* locale;
};
constexpr LocaleRow kLocales[] = {
    {0x0409, "en_US.UTF-8"}, {0x0809, "en_GB.UTF-8"}, {0x040C, "fr_FR.UTF-8"}, {0x0407, "de_DE.UTF-8"},
    {0x0807, "de_CH.UTF-8"}, {0x0419, "ru_RU.UTF-8"}, {0x0404, "zh_TW.UTF-8"}, {0x0804, "zh_CN.UTF-8"},
    {0x1004, "zh_SG.UTF-8"}, {0x1404, "zh_MO.UTF-8"}, {0x0412, "ko_KR.UTF-8"}, {0x0816, "pt_PT.UTF-8"},
    {0x0416, "pt_BR.UTF-8"}, {0x0C0A, "es_ES.UTF-8"}, {0x040A, "es_ES.UTF-8"}, {0x0411, "ja_JP.UTF-8"},
};

std::string RegistryText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

bool AppendFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text << "\n";
    return static_cast<bool>(out);
}

// The prefix of one bitness, made once and then only read: a lock keeps parallel runs from
// making it twice.
bool EnsureTemplate(const std::string& folder, const std::string& arch, std::string* error) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::string prefix = folder + "/" + arch;
    std::string lockPath = folder + "/" + arch + ".lock";
    int lock = ::open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        *error = "cannot lock " + lockPath;
        if (lock >= 0) ::close(lock);
        return false;
    }
    bool ok = fs::exists(prefix + "/system.reg") && fs::exists(prefix + "/.bench-ready");
    if (!ok) {
        fs::remove_all(prefix, ec);
        fs::create_directories(prefix, ec);
        std::vector<std::string> env = {"WINEPREFIX=" + prefix, "WINEARCH=" + arch, "WINEDEBUG=-all",
                                        "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d"};
        Ended ended;
        std::string log = folder + "/" + arch + ".log";
        RunProgram({"/usr/bin/env", "wineboot", "-i"}, env, log, kPrefixSetupSeconds, &ended, error);
        RunProgram({"/usr/bin/env", "wineserver", "-w"}, env, log + ".server", kWineserverSeconds, &ended, error);
        ok = fs::exists(prefix + "/system.reg") && WriteText(prefix + "/.bench-ready", "made by notebook-emu");
        if (!ok) *error = "wineboot could not make the Wine prefix " + prefix + " (see " + log + ")";
    }
    ::close(lock);
    return ok;
}

// The run's own prefix: the shared prefix's registry, the world's drive C:.
bool MakeRunPrefix(const std::string& shared, const std::string& prefix, const std::string& root, std::string* error) {
    std::error_code ec;
    fs::create_directories(prefix + "/dosdevices", ec);
    for (const char* file : {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"}) {
        if (fs::exists(shared + "/" + file) &&
            !fs::copy_file(shared + "/" + file, prefix + "/" + file, fs::copy_options::overwrite_existing, ec)) {
            *error = "cannot copy " + shared + "/" + file;
            return false;
        }
    }
    fs::create_directory_symlink(root + "/C", prefix + "/dosdevices/c:", ec);
    fs::create_directory_symlink("/", prefix + "/dosdevices/z:", ec);
    for (const char* folder : kSharedFolders) {
        fs::path source = fs::path(shared) / "drive_c" / folder;
        if (fs::exists(source)) fs::create_directory_symlink(source, fs::path(root) / "C" / folder, ec);
    }
    if (!fs::exists(prefix + "/dosdevices/c:/windows")) {
        *error = "cannot lay out the Wine prefix " + prefix;
        return false;
    }
    return true;
}

// The power supply Linux would show for the profile's power status: Wine reads it from there.
void MakePowerSupply(const json& power, const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    int ac = power["acLine"].is_boolean() ? (power["acLine"].get<bool>() ? 1 : 0) : power["acLine"].get<int>();
    int battery = power["batteryPercent"].get<int>();
    if (ac == 0 || ac == 1) {
        fs::create_directories(folder / "AC", ec);
        WriteText(folder / "AC" / "type", "Mains");
        WriteText(folder / "AC" / "online", std::to_string(ac));
    }
    if (battery >= 0 && battery <= 100) {
        fs::path b = folder / "BAT0";
        fs::create_directories(b, ec);
        constexpr long kFull = 4000000;  // µAh
        WriteText(b / "type", "Battery");
        WriteText(b / "present", "1");
        WriteText(b / "status", ac == 1 ? "Charging" : "Discharging");
        WriteText(b / "voltage_now", "11100000");
        WriteText(b / "charge_full", std::to_string(kFull));
        WriteText(b / "charge_now", std::to_string(kFull * battery / 100));
        WriteText(b / "current_now", "1000000");
        WriteText(b / "capacity", std::to_string(battery));
    }
}

std::string FolderOf(const std::string& windowsPath) {
    size_t slash = windowsPath.find_last_of('\\');
    if (slash == std::string::npos) return "";
    return slash == 2 ? windowsPath.substr(0, 3) : windowsPath.substr(0, slash);
}

// One argument of a relay line: a number, or a pointer with the string it points to.
struct RelayArgument {
    std::string text;
    bool hasString = false;
    uint64_t value = 0;
};

// The text of a C-escaped string of Wine's debug output, from just after its opening quote.
std::string Unescape(const std::string& s, size_t* at) {
    std::string out;
    size_t i = *at;
    while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            switch (c) {
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'x':
                    if (i + 2 < s.size()) {
                        out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                        i += 2;
                    }
                    break;
                default: out += c; break;
            }
        } else {
            out += s[i];
        }
        ++i;
    }
    *at = i + 1;
    return out;
}

std::vector<RelayArgument> RelayArguments(const std::string& line, size_t open) {
    std::vector<RelayArgument> args;
    size_t i = open + 1;
    RelayArgument a;
    std::string number;
    while (i < line.size()) {
        char c = line[i];
        if (c == '"') {
            ++i;
            a.text = Unescape(line, &i);
            a.hasString = true;
            continue;
        }
        if (c == ',' || c == ')') {
            a.value = number.empty() ? 0 : std::stoull(number, nullptr, 16);
            args.push_back(a);
            a = RelayArgument();
            number.clear();
            if (c == ')') break;
        } else if (std::isxdigit(static_cast<unsigned char>(c)) && !a.hasString) {
            number += c;
        }
        ++i;
    }
    return args;
}

}  // namespace

std::string WineVersionName(int major, int minor, bool nt) {
    const VersionName* first = nt ? std::begin(kVersions) : std::begin(kVersions9x);
    const VersionName* last = nt ? std::end(kVersions) : std::end(kVersions9x);
    for (const VersionName* v = first; v != last; ++v)
        if (v->major == major && v->minor == minor) return v->name;
    return "";
}

std::string LocaleOfLanguage(unsigned languageId) {
    for (const LocaleRow& row : kLocales)
        if (row.languageId == languageId) return row.locale;
    return "";
}

std::vector<json> RelayEvents(const std::string& trace) {
    std::vector<json> events;
    std::map<std::string, std::pair<std::string, std::vector<RelayArgument>>> pending;  // by thread
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string thread = line.substr(0, colon);
        std::string rest = line.substr(colon + 1);
        if (rest.rfind("Call ", 0) == 0) {
            size_t open = rest.find('(');
            if (open == std::string::npos) continue;
            std::string name = rest.substr(5, open - 5);
            size_t dot = name.find('.');
            std::string function = dot == std::string::npos ? name : name.substr(dot + 1);
            if (function != "ExitWindowsEx" && function != "CreateProcessA" && function != "CreateServiceA" &&
                function != "DeleteService")
                continue;
            pending[thread] = {function, RelayArguments(rest, open)};
        } else if (rest.rfind("Ret ", 0) == 0) {
            auto it = pending.find(thread);
            size_t at = rest.find("retval=");
            if (it == pending.end() || at == std::string::npos) continue;
            uint64_t result = std::stoull(rest.substr(at + 7, 8), nullptr, 16);
            const std::string& function = it->second.first;
            const std::vector<RelayArgument>& args = it->second.second;
            if (function == "ExitWindowsEx" && !args.empty()) {
                events.push_back({{"event", "shutdown"}, {"flags", args[0].value}, {"accepted", result != 0}});
            } else if (function == "CreateServiceA" && args.size() >= 8) {
                // The service calls as the emulated service manager records them.
                events.push_back({{"event", "service"}, {"call", "CreateService"}, {"name", args[1].text},
                                  {"imagePath", args[7].text}, {"error", result != 0 ? 0u : 1u}});
            } else if (function == "DeleteService") {
                events.push_back({{"event", "service"}, {"call", "DeleteService"}, {"error", result != 0 ? 0u : 1u}});
            } else if (function == "CreateProcessA" && result == 0 && args.size() >= 8) {
                events.push_back({{"event", "process"}, {"commandLine", args[1].text}, {"directory", args[7].text},
                                  {"program", ""}, {"started", false}, {"error", 0}});
            }
            pending.erase(it);
        }
    }
    return events;
}

bool RunUnderWine(const WineRun& wine, json* run, std::string* error) {
    std::string profileText;
    {
        std::ifstream in(wine.machineFile, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in) {
            *error = "cannot read " + wine.machineFile;
            return false;
        }
        profileText = text.str();
    }
    if (!emu::CreateWorld(wine.root, profileText, error)) {
        *error = wine.machineFile + ": " + *error;
        return false;
    }
    std::error_code ec;
    std::string programHost = emu::HostPathOf(emu::ProgramPath());
    if (programHost.empty() || !fs::copy_file(wine.programFile, programHost, fs::copy_options::overwrite_existing, ec)) {
        *error = "cannot place the program file at " + emu::ProgramPath();
        return false;
    }
    const json& w = emu::Profile()["windows"];
    bool nt = w["platform"] == "nt";
    std::string arch = w["wow64"].get<bool>() ? "win64" : "win32";
    std::string version = WineVersionName(w["major"].get<int>(), w["minor"].get<int>(), nt);
    if (version.empty()) {
        *error = "Wine cannot claim Windows " + std::to_string(w["major"].get<int>()) + "." +
                 std::to_string(w["minor"].get<int>());
        return false;
    }
    unsigned languageId = w["langId"].is_string() ? std::stoul(w["langId"].get<std::string>(), nullptr, 0)
                                                  : w["langId"].get<unsigned>();
    std::string locale = LocaleOfLanguage(languageId);
    if (locale.empty()) {
        *error = "no Linux locale gives Wine the language id " + std::to_string(languageId);
        return false;
    }
    if (!EnsureTemplate(wine.templateFolder, arch, error)) return false;
    std::string prefix = wine.root + "/wine-prefix";
    if (!MakeRunPrefix(wine.templateFolder + "/" + arch, prefix, wine.root, error)) return false;

    uint16_t port = 0;
    bench::Server* server = bench::StartServer(wine.toolFolder, &port, error);
    if (server == nullptr) return false;

    char portHex[16];
    std::snprintf(portHex, sizeof portHex, "%08x", port);
    // The driver runs in a 32-bit process: on 64-bit Windows it sees the 32-bit view of Software.
    std::string system;
    for (const char* view : {"Software", "Software\\\\Wow6432Node"})
        system += "\n[" + std::string(view) + "\\\\Romshell\\\\NotebookEmu] 0\n\"Port\"=dword:" + portHex + "\n";
    std::string user = "\n[Software\\\\Wine] 0\n\"Version\"=\"" + version + "\"\n" +
                       "\n[Software\\\\Wine\\\\Debug] 0\n\"RelayInclude\"=\"" + kRelayedCalls + "\"\n";
    // For pictures, Wine draws the windows' frames and captions itself: the virtual display has
    // no window manager to draw them.
    const char* capture = std::getenv("ROMSHELL_BENCH_CAPTURE");
    // The faces the CJK systems' dialogs and font links ask for are taken from Debian's
    // fonts-wqy-microhei, which has the Latin letters and the glyphs of all three scripts.
    if (capture != nullptr && *capture != '\0') {
        user += "\n[Software\\\\Wine\\\\X11 Driver] 0\n\"Managed\"=\"N\"\n";
        user += "\n[Software\\\\Wine\\\\Fonts\\\\Replacements] 0\n";
        for (const char* face : {"PMingLiU", "MingLiU", "SimSun", "NSimSun", "Gulim", "GulimChe", "Batang", "Dotum",
                                 "MS UI Gothic", "MS Gothic"})
            user += "\"" + std::string(face) + "\"=\"WenQuanYi Micro Hei\"\n";
    }
    if (w["temp"].is_string()) {
        std::string temp = RegistryText(w["temp"].get<std::string>());
        user += "\n[Environment] 0\n\"TEMP\"=\"" + temp + "\"\n\"TMP\"=\"" + temp + "\"\n";
    }
    // A service already running when the program starts: the bench's driver for the prefix's
    // processor at the profile's image path (on the world's own drive C:, outside the folders it
    // shares with the template prefix), registered as an automatic kernel driver service, which
    // Wine's service manager starts as the prefix comes up. The watcher waits for its device
    // before it starts the program.
    const json& addmem = emu::Profile()["services"]["addmem"];
    const bool serviceRunning = addmem["state"] == "running" && addmem["imagePath"].is_string();
    if (serviceRunning) {
        const std::string imagePath = addmem["imagePath"].get<std::string>();
        const std::string host = emu::HostPathOf(imagePath);
        const std::string driver = (fs::path(wine.benchFolder).parent_path() / "wine-tools" /
                                    (arch == "win64" ? "AddMem64.sys" : "AddMem.sys")).string();
        fs::create_directories(fs::path(host).parent_path(), ec);
        if (host.empty() || !fs::copy_file(driver, host, fs::copy_options::overwrite_existing, ec)) {
            *error = "cannot place the running service's driver " + driver + " at " + imagePath;
            bench::StopServer(server);
            return false;
        }
        system += "\n[System\\\\CurrentControlSet\\\\Services\\\\ADDMEM] 0\n\"DisplayName\"=\"ADDMEM\"\n"
                  "\"ErrorControl\"=dword:00000001\n\"ImagePath\"=str(2):\"" + RegistryText(imagePath) + "\"\n"
                  "\"Start\"=dword:00000002\n\"Type\"=dword:00000001\n";
    }
    AppendFile(prefix + "/system.reg", system);
    AppendFile(prefix + "/user.reg", user);
    MakePowerSupply(emu::Profile()["power"], wine.root + "/power-supply");

    std::string joined;
    for (const std::string& o : wine.options) joined += (joined.empty() ? "" : " ") + o;
    std::string commandLine = "\"" + emu::ProgramPath() + "\"" + (joined.empty() ? "" : " " + joined);
    std::string directory = w["currentDirectory"].is_string() ? w["currentDirectory"].get<std::string>()
                                                              : FolderOf(emu::ProgramPath());
    emu::SetCommandLine(commandLine);
    emu::Record({{"event", "start"}, {"program", emu::ProgramPath()}, {"commandLine", commandLine}});
    emu::FlushWorld();

    // ROMSHELL_BENCH_WINEDEBUG adds Wine's debug channels for a person finding out why a run fails.
    const char* moreChannels = std::getenv("ROMSHELL_BENCH_WINEDEBUG");
    std::string channels = std::string("-all,+relay") + (moreChannels != nullptr && *moreChannels != '\0' ? std::string(",") + moreChannels : "");
    std::vector<std::string> env = {"WINEPREFIX=" + prefix,
                                    "WINEDEBUG=" + channels,
                                    "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d",
                                    "LANG=" + locale,
                                    "LC_ALL=" + locale,
                                    "ROMSHELL_BENCH_PORT=" + std::to_string(port),
                                    "ROMSHELL_BENCH_COMMAND=" + commandLine,
                                    "ROMSHELL_BENCH_DIRECTORY=" + directory};
    if (serviceRunning) env.push_back("ROMSHELL_BENCH_WAIT_DEVICE=1");
    // ROMSHELL_BENCH_CAPTURE (a folder of this machine) has the watcher capture the program's
    // windows there, for pictures; Wine's drive Z: is this machine's root.
    if (capture != nullptr && *capture != '\0') {
        std::string folder = "Z:" + fs::absolute(capture, ec).string();
        for (char& c : folder)
            if (c == '/') c = '\\';
        env.push_back("ROMSHELL_BENCH_CAPTURE=" + folder);
    }
    // The power supply is presented in a mount namespace of the run's own, so that nothing else
    // on the machine sees it; without the right to make one the machine's own is seen.
    std::vector<std::string> args = {
        "/usr/bin/unshare", "-m", "/bin/sh", "-c",
        "mount --bind \"$1\" /sys/class/power_supply 2>/dev/null || "
        "echo 'notebook-emu: the power supply of the profile cannot be presented' >&2; shift; exec \"$@\"",
        "sh", wine.root + "/power-supply"};
    if (wine.display) {
        args.insert(args.end(), {"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24 -nolisten tcp"});
    } else {
        env.push_back("DISPLAY=");
    }
    args.insert(args.end(), {"/usr/bin/wine", wine.benchFolder + "/bench-watch.exe"});
    std::string output = wine.root + "/wine-output.txt";
    Ended ended;
    bool started = RunProgram(args, env, output, wine.timeoutSeconds, &ended, error);
    // Every Wine process of the run's prefix ends with it: the driver stays loaded until then.
    Ended stopped;
    std::string ignored;
    RunProgram({"/usr/bin/env", "wineserver", "-k"}, {"WINEPREFIX=" + prefix}, output + ".server",
               kWineserverSeconds, &stopped, &ignored);
    uint32_t code = 0;
    bool exited = bench::ProgramExited(server, &code);
    bench::StopServer(server);
    if (!started) return false;

    std::string trace;
    {
        std::ifstream in(output, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        trace = text.str();
    }
    for (const json& e : RelayEvents(trace)) emu::Record(e);
    // Whether the prefix's service manager still has the ADDMEM service once Wine has ended: its
    // registry, written back when the server stopped, holds every service registered.
    {
        std::ifstream in(prefix + "/system.reg", std::ios::binary);
        std::string line;
        bool registered = false;
        while (std::getline(in, line)) {
            std::string upper = line;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (upper.rfind("[SYSTEM\\\\CURRENTCONTROLSET\\\\SERVICES\\\\ADDMEM]", 0) == 0) registered = true;
        }
        emu::Record({{"event", "serviceRegistry"}, {"name", "ADDMEM"}, {"registered", registered}});
    }
    // Wine's relay lines are the bench's, not the program's: the output kept is the rest.
    std::string kept;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line))
        if (line.find(":Call ") == std::string::npos && line.find(":Ret ") == std::string::npos) kept += line + "\n";
    emu::FlushWorld();
    emu::DetachWorld();

    *run = {{"variant", wine.variant},
            {"under", "wine"},
            {"programFile", fs::absolute(wine.programFile, ec).string()},
            {"machineFile", fs::absolute(wine.machineFile, ec).string()},
            {"options", joined},
            {"ended", ended.how == "timeout" ? "timeout" : exited ? "exited" : ended.how},
            {"timeoutSeconds", wine.timeoutSeconds},
            {"wine", {{"version", version}, {"prefix", arch}, {"locale", locale}, {"display", wine.display}}},
            {"output", kept.size() > 16384 ? kept.substr(kept.size() - 16384) : kept}};
    if (exited) run->operator[]("exitCode") = code;
    if (ended.how == "exited") (*run)["exitStatus"] = ended.status;
    return true;
}

}  // namespace notebook_emu
