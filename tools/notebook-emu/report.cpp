#include "tools/notebook-emu/report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "core/result_codes.h"
#include "emu/codepage.h"
#include "emu/hardware.h"
#include "emu/tools/rom_image.h"
#include "emu/tools/wph_image.h"
#include "emu/winfs.h"
#include "emu/world.h"
#include "res/string_table.h"

namespace emu::report {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The program's English texts.
const char* StringText(uint32_t id) {
    for (const EnglishString& s : kEnglishStrings)
        if (s.id == id) return s.text;
    return nullptr;
}

constexpr const char* kDmiNames[] = {"biosVendor", "biosVersion", "biosReleaseDate", "manufacturer", "product",
                                     "systemVersion", "serial", "biosFlag", "purchaseDate"};

// The progress window: its step lines (text control, mark control) and its progress text.
constexpr uint32_t kProgressDialog = 117;
constexpr uint32_t kDmiDialog = 116;
// The DMI settings dialog's edit fields.
constexpr struct {
    const char* name;
    const char* control;
} kDmiFields[] = {{"serial", "1017"}, {"flag", "1018"}, {"date", "1019"}};
constexpr struct {
    const char* line;
    const char* mark;
} kProgressSteps[] = {{"1013", "1011"}, {"1014", "1008"}, {"1015", "1009"}};
constexpr const char* kProgressText = "1010";
constexpr const char* kWorkingFolderName = "__Korvane_Update";
constexpr uint32_t kMegabyte = 0x100000;

std::string Hex(uint64_t v, int digits = 0) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return b;
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

std::string FolderOf(const std::string& windowsPath) {
    size_t slash = windowsPath.find_last_of('\\');
    if (slash == std::string::npos) return "";
    return slash == 2 ? windowsPath.substr(0, 3) : windowsPath.substr(0, slash);
}

std::vector<std::string> Lines(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t b : bytes) {
        if (b == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(b);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

json Get(const json& object, const char* key) { return object.is_object() && object.contains(key) ? object[key] : json(); }

std::string Text(const json& v) { return v.is_string() ? v.get<std::string>() : ""; }

// ---- sections ----

json ResultSection(const std::vector<json>& transcript) {
    const json* exit = nullptr;
    for (const json& e : transcript)
        if (e.value("event", "") == "exit") exit = &e;
    if (exit == nullptr || !(*exit)["code"].is_number()) return {{"ended", false}};
    json r = DescribeResult((*exit)["code"].get<uint32_t>());
    r["ended"] = true;
    // A driver that Windows would not start (the last one refused): what it was and why.
    for (const json& e : transcript)
        if (e.value("event", "") == "service" && e.value("call", "") == "StartService" && e.contains("why"))
            r["driverNotStarted"] = {{"imagePath", e.value("imagePath", "")}, {"why", e["why"]}};
    return r;
}

json MessageBoxSection(const std::vector<json>& transcript) {
    json boxes = json::array();
    for (const json& e : transcript) {
        if (e.value("event", "") != "messageBox") continue;
        uint32_t style = e.value("style", 0u);
        int answer = e.value("answer", 0);
        static const char* const kAnswers[] = {"", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
        boxes.push_back({{"style", style},
                         {"styleText", DescribeStyle(style)},
                         {"caption", e.value("caption", "")},
                         {"text", e.value("text", "")},
                         {"answer", answer >= 1 && answer <= 7 ? kAnswers[answer] : std::to_string(answer)},
                         {"owned", e.value("owner", false)}});
    }
    return boxes;
}

json ProgressSection() {
    json windows;
    {
        auto lock = LockState();
        windows = Get(State(), "windows");
    }
    const json* progress = nullptr;
    if (windows.is_array())
        for (const json& w : windows)
            if (w.value("dialog", 0u) == kProgressDialog) progress = &w;
    if (progress == nullptr) return {{"shown", false}};
    const json controls = Get(*progress, "controls");
    json steps = json::array();
    for (const auto& s : kProgressSteps) {
        json line = Get(controls, s.line), mark = Get(controls, s.mark);
        steps.push_back({{"line", Text(Get(line, "text"))}, {"mark", Get(mark, "mark").is_string() ? Get(mark, "mark") : json("none")}});
    }
    json drawing = Get(*progress, "drawing");
    return {{"shown", true},
            {"closed", Get(*progress, "closed").is_boolean() && (*progress)["closed"].get<bool>()},
            {"state", Get(*progress, "state")},
            {"steps", steps},
            {"progressText", Text(Get(Get(controls, kProgressText), "text"))},
            {"spinner", drawing.is_object() ? json{{"frames", Get(drawing, "count")}, {"stopped", Get(drawing, "stopped")}}
                                            : json()}};
}

// The DMI settings dialog: whether it appeared, the texts its fields held when it closed, and the
// attempts the person made (the buttons pressed, in order).
json DmiDialogSection(const std::vector<json>& transcript) {
    json windows;
    {
        auto lock = LockState();
        windows = Get(State(), "windows");
    }
    const json* dialog = nullptr;
    if (windows.is_array())
        for (const json& w : windows)
            if (w.value("dialog", 0u) == kDmiDialog) dialog = &w;
    if (dialog == nullptr) return {{"shown", false}};
    json fields = json::object();
    const json controls = Get(*dialog, "controls");
    for (const auto& f : kDmiFields) fields[f.name] = Text(Get(Get(controls, f.control), "text"));
    json presses = json::array();
    for (const json& e : transcript)
        if (e.value("event", "") == "window" && e.value("action", "") == "pressed" && e["window"] == (*dialog)["window"])
            presses.push_back(e["button"]);
    return {{"shown", true}, {"title", Get(*dialog, "title")}, {"fields", fields}, {"presses", presses}};
}

// The folders a run writes its debug log to: where it started, TEMP, the working folder's startup
// folder (current until the working folder is prepared), the working folder.
json DebugLogSection(const json& profile, const std::string& workDir) {
    std::vector<std::string> folders;
    const json& w = profile["windows"];
    std::string start = w["currentDirectory"].is_string() ? w["currentDirectory"].get<std::string>()
                                                           : FolderOf(w["programPath"].get<std::string>());
    folders.push_back(start);
    const std::string temp = w["temp"].is_string() ? w["temp"].get<std::string>() : "C:\\";
    folders.push_back(temp);
    folders.push_back(Join(Join(temp, kWorkingFolderName), "Startup"));
    if (!workDir.empty()) folders.push_back(workDir);
    json logs = json::array();
    std::vector<std::string> seen;
    for (const std::string& f : folders) {
        std::string path = Join(f, "DebugLog.txt");
        std::string host = HostPathOf(path);
        if (host.empty() || std::find(seen.begin(), seen.end(), host) != seen.end()) continue;
        seen.push_back(host);
        std::vector<uint8_t> bytes;
        if (!emu::ReadHostFile(host, &bytes)) continue;
        logs.push_back({{"path", path}, {"lines", Lines(bytes)}});
    }
    return logs;
}

json ToolsSection(const std::vector<json>& transcript) {
    json runs = json::array();
    for (const json& e : transcript) {
        if (e.value("event", "") != "process") continue;
        json r = {{"commandLine", e.value("commandLine", "")}, {"directory", e.value("directory", "")},
                  {"program", e.value("program", "")}, {"started", e.value("started", false)}};
        if (r["started"].get<bool>()) {
            uint32_t code = e.value("exitCode", 0u);
            r["exitCode"] = code;
            r["exitCodeSigned"] = static_cast<int32_t>(code);
        } else {
            r["error"] = e.value("error", 0u);
        }
        runs.push_back(r);
    }
    json section = {{"runs", runs}};
    for (const char* kind : {"biosFlashTool", "micomFlashTool"}) {
        json all = json::array();
        for (const json& e : transcript)
            if (e.value("event", "") == kind) all.push_back(e);
        section[kind] = all;
    }
    return section;
}

// Which image's block each 64 KiB block of the part holds, from the page tags.
json FlashContentsByBlock(const std::vector<uint8_t>& flash) {
    json blocks = json::array();
    for (size_t at = 0; at + wph::kBlockSize <= flash.size(); at += wph::kBlockSize) {
        std::map<std::pair<std::string, int>, int> pages;
        for (size_t p = 0; p < wph::kBlockSize; p += wph::kPageSize) {
            wph::PageTag t = wph::ReadPageTag(&flash[at + p]);
            if (t.valid) ++pages[{t.tag, t.block}];
        }
        json holds = json::array();
        for (const auto& [key, count] : pages) holds.push_back({{"image", key.first}, {"imageBlock", key.second}, {"pages", count}});
        blocks.push_back({{"block", at / wph::kBlockSize}, {"holds", holds}});
    }
    return blocks;
}

json FlashSection(const json& tools) {
    std::vector<uint8_t> flash = FlashContents();
    json section = {{"size", flash.size()}, {"contents", FlashContentsByBlock(flash)}};
    if (flash.size() >= kMegabyte)
        section["topMegabyteCrc32"] = wph::Crc32(flash.data() + flash.size() - kMegabyte, kMegabyte);
    const json& flashes = tools["biosFlashTool"];
    json written = json::array(), leftOut = json::array();
    if (!flashes.empty() && flashes.back().contains("blocks")) {
        for (const json& b : flashes.back()["blocks"]) (b.value("written", false) ? written : leftOut).push_back(b);
    }
    section["written"] = written;
    section["leftOut"] = leftOut;
    return section;
}

json BiosIdentitySection(const json& profile) {
    std::vector<uint8_t> segment(0x10000);
    ReadPhysical(0xF0000, segment.data(), segment.size());
    wph::ImageInfo now = wph::ReadSegmentIdentity(segment);
    const json& b = profile["bios"];
    json section = {{"before", {{"vendor", b["vendor"]}, {"model", b["model"]}, {"version", b["version"]}, {"partNumber", b["partNumber"]}}},
                    {"after", {{"model", now.longModel.empty() ? now.model : now.longModel},
                               {"version", now.version},
                               {"partNumber", now.partNumber}}}};
    // An AMI BIOS also names its decimal version in the "AMIBIOS" block.
    if (b["vendor"] == "ami") {
        section["before"]["amiVersion"] = b["amiVersion"];
        std::optional<uint32_t> ami = emu::rom::ReadAmiSegmentVersion(segment);
        section["after"]["amiVersion"] = ami ? json(*ami) : json(nullptr);
    }
    return section;
}

json DmiSection(const json& profile) {
    json before = json::object(), after = json::object(), changed = json::array();
    for (const char* name : kDmiNames) {
        before[name] = Text(Get(profile["dmi"], name));
        after[name] = DmiString(name);
        if (before[name] != after[name]) changed.push_back(name);
    }
    return {{"before", before}, {"after", after}, {"changed", changed}};
}

json ControllerSection(const json& profile) {
    const json& ec = profile["ec"];
    json chip = {{"0x2E", ec["chipId2E"]}, {"0x6C2", ec["chipId6C2"]}};
    auto newer = [](const json& id) { return id.is_number() && (id.get<int>() == 0x4D || id.get<int>() == 0x85); };
    bool isNewer = newer(ec["chipId2E"]) || newer(ec["chipId6C2"]);
    uint8_t before = 0;
    if (ec["ram"].contains("0xE887")) before = ec["ram"]["0xE887"].get<uint8_t>();
    uint8_t after = EcRam(0xE887);
    std::string arming = PowerOnArming();
    json armed;
    if (arming == "mailbox") {
        armed = {{"armed", true}, {"how", "command 0xDC through the mailbox"}};
    } else if (arming == "kbc") {
        armed = {{"armed", true}, {"how", "command 0xDC through the keyboard controller"}};
    } else if ((after & 1) != 0 && (before & 1) == 0) {
        armed = {{"armed", true}, {"how", "0xE887 bit 0"}};
    } else {
        armed = {{"armed", false}, {"how", (after & 1) != 0 ? "0xE887 bit 0 was set before the run" : ""}};
    }
    json micom;
    {
        auto lock = LockState();
        micom = Get(State(), "micom");
    }
    return {{"kind", isNewer ? "newer" : "legacy"},
            {"chipIds", chip},
            {"mailbox", {{"active", ec["device9Active"]}, {"base", ec["device9Base"]}}},
            {"powerOn", armed},
            {"ramE887", {{"before", before}, {"after", after}}},
            {"commands", EcCommands()},
            {"micomImage", micom}};
}

json CmosSection(const json& profile, const json& tools) {
    bool standardZero = true, extendedZero = true;
    for (int i = 0x20; i < 0x80; ++i) standardZero = standardZero && Cmos(0, static_cast<uint8_t>(i)) == 0;
    for (int i = 0; i < 0x80; ++i) extendedZero = extendedZero && Cmos(1, static_cast<uint8_t>(i)) == 0;
    bool byTool = false;
    for (const json& e : tools["biosFlashTool"]) byTool = byTool || e.value("cmosCleared", false);
    return {{"cleared", standardZero && extendedZero},
            {"standard20to7FZero", standardZero},
            {"extendedZero", extendedZero},
            {"fillBefore", profile["cmos"]["fill"]},
            {"clearedByFlashTool", byTool}};
}

json SmiSection(const json& profile) {
    const json& pci = profile["pci"];
    return {{"enabled", GlobalSmiEnabled()},
            {"controlWord", SmiControlWord()},
            {"controlWordBefore", pci["smiControl"]},
            {"pmBase", pci["pmBase"]}};
}

// Why a class installer that was asked to change a device did not: its error, as SetupAPI names it.
constexpr struct {
    uint32_t error;
    const char* name;
    const char* why;
} kInstallerRefusals[] = {
    {0xE0000235u, "ERROR_IN_WOW64", "the class installer is not run for a 32-bit program on 64-bit Windows"},
};

json InputSection(const std::vector<json>& transcript) {
    // What the device installer did with each device the program asked to change.
    std::map<uint32_t, std::vector<const json*>> asked;
    for (const json& e : transcript)
        if (e.value("event", "") == "deviceState") asked[e.value("index", 0u)].push_back(&e);

    json mice = json::array();
    bool allOn = true;
    bool heldOff = false;
    json stayedOn = nullptr;
    const std::vector<PresentDeviceState> devices = PresentDevices();
    for (uint32_t index = 0; index < devices.size(); ++index) {
        const PresentDeviceState& d = devices[index];
        std::string cls = d.className;
        std::transform(cls.begin(), cls.end(), cls.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (cls.rfind("mouse", 0) != 0) continue;
        json mouse = {{"description", d.description}, {"enabled", d.enabled}, {"changes", d.changes}};
        for (const json* e : asked[index]) {
            if (!e->value("enable", true) && e->value("result", "") == "changed") heldOff = true;
            if (e->value("result", "") != "installerRefused") continue;
            const uint32_t error = e->value("error", 0u);
            json refusal = {{"error", error}, {"hex", Hex(error, 8)}};
            for (const auto& r : kInstallerRefusals)
                if (r.error == error) refusal.update({{"name", r.name}, {"why", r.why}});
            if (!e->value("enable", true)) {
                mouse["notDisabledBecause"] = refusal;
                if (stayedOn.is_null()) stayedOn = refusal;
            }
        }
        mice.push_back(mouse);
        allOn = allOn && d.enabled;
    }
    KeyboardControllerState k = KeyboardController();
    allOn = allOn && k.keyboardEnabled && k.auxiliaryEnabled;
    // As each flash tool found them when it started.
    json whileTools = json::array();
    for (const json& e : transcript) {
        if (e.value("event", "") != "inputDevicesWhileTool") continue;
        whileTools.push_back({{"tool", e.value("tool", "")},
                              {"keyboardInterface", e.value("keyboardInterface", true)},
                              {"auxiliaryInterface", e.value("auxiliaryInterface", true)},
                              {"miceEnabled", e.value("miceEnabled", json::array())}});
    }
    json section = {{"mouseDevices", mice},
                    {"keyboardInterface", k.keyboardEnabled},
                    {"auxiliaryInterface", k.auxiliaryEnabled},
                    {"allOn", allOn},
                    {"miceHeldOff", heldOff},
                    {"whileTools", whileTools}};
    // The program asked for the mice to be disabled and the device installer would not.
    if (!stayedOn.is_null()) section["miceStayedOnBecause"] = stayedOn;
    return section;
}

json SwitchOffSection(const std::vector<json>& transcript) {
    const json* last = nullptr;
    for (const json& e : transcript)
        if (e.value("event", "") == "shutdown") last = &e;
    if (last == nullptr) return {{"switchedOff", false}};
    return {{"switchedOff", last->value("accepted", false)},
            {"flags", last->value("flags", 0u)},
            {"privilegeEnabled", last->value("privilegeEnabled", false)},
            {"accepted", last->value("accepted", false)}};
}

json WorkingFolderSection(const std::string& workDir) {
    if (workDir.empty()) return {{"path", nullptr}, {"exists", false}, {"files", json::array()}};
    std::string host = HostPathOf(workDir);
    std::error_code ec;
    json files = json::array();
    bool exists = !host.empty() && fs::is_directory(host, ec);
    json readRom;
    if (exists) {
        std::vector<fs::directory_entry> entries;
        for (const auto& entry : fs::directory_iterator(host, ec)) entries.push_back(entry);
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
        for (const auto& entry : entries) {
            std::string name = entry.path().filename().string();
            bool folder = entry.is_directory(ec);
            files.push_back({{"name", name}, {"size", folder ? 0 : entry.file_size(ec)}, {"folder", folder}});
            if (name == "ReadRomFile.bin") {
                std::vector<uint8_t> bytes, flash = FlashContents();
                emu::ReadHostFile(entry.path().string(), &bytes);
                bool equal = flash.size() >= kMegabyte && bytes.size() == kMegabyte &&
                             std::equal(bytes.begin(), bytes.end(), flash.end() - kMegabyte);
                readRom = {{"size", bytes.size()}, {"crc32", wph::Crc32(bytes)}, {"equalsTopMegabyteOfFlashWindow", equal}};
            }
        }
    }
    json section = {{"path", workDir}, {"exists", exists}, {"files", files}};
    if (!readRom.is_null()) section["readRomFile"] = readRom;
    return section;
}

// The access driver's service as the run left it, and whether the run made it.
json AccessServiceSection(const json& profile, const std::vector<json>& transcript) {
    bool created = false, deleted = false, deletedBeforeSwitchOff = false;
    std::vector<std::string> images;
    for (const json& e : transcript) {
        const bool service = e.value("event", "") == "service" && e.value("error", 1u) == 0;
        if (service && e.value("call", "") == "CreateService") {
            created = true;
            deleted = false;
            images.push_back(e.value("imagePath", ""));
        }
        if (service && e.value("call", "") == "DeleteService") deleted = true;
        if (e.value("event", "") == "shutdown" && !deletedBeforeSwitchOff) deletedBeforeSwitchOff = deleted;
    }
    const ServiceState s = Service("ADDMEM");
    json section = {{"before", profile["services"]["addmem"]["state"]}, {"createdByRun", created},
                    {"registered", s.exists}, {"running", s.running}, {"markedForDelete", s.markedForDelete}};
    // Under Wine the prefix's service manager, not the emulated one, held the service.
    for (const json& e : transcript)
        if (e.value("event", "") == "serviceRegistry") section["registered"] = e.value("registered", false);
    if (s.exists) section["imagePath"] = s.imagePath;
    section["deletedBeforeSwitchOff"] = deletedBeforeSwitchOff;
    // The driver files the run registered that are still on the disk.
    json left = json::array();
    for (const std::string& image : images) {
        ResolvedPath r;
        if (ResolveWindowsPath(image, &r, false, false) == 0 && r.exists) left.push_back(image);
    }
    section["driverFilesLeft"] = left;
    return section;
}

// What the profile's second program of the user did, and whether anything it planted was run or
// loaded.
json AttacksSection(const std::vector<json>& transcript) {
    json attempts = json::array(), used = json::array();
    for (const json& e : transcript) {
        if (e.value("event", "") != "attack") continue;
        if (e.value("outcome", "") == "used") {
            used.push_back({{"path", e.value("path", "")}, {"by", e.value("by", "")}});
        } else {
            attempts.push_back({{"moment", e.value("moment", "")}, {"path", e.value("path", "")},
                                {"outcome", e.value("outcome", "")}, {"error", e.value("error", 0u)}});
        }
    }
    return {{"attempts", attempts}, {"plantedUsed", used}};
}

json NotesSection(const std::vector<json>& transcript, const std::string& root) {
    json protocol = json::array(), unsupported = json::array(), stderrLines = json::array();
    std::ifstream in(root + "/hardware.jsonl");
    for (std::string line; std::getline(in, line);) {
        json j = json::parse(line, nullptr, false);
        if (j.is_object() && j.contains("protocolError")) protocol.push_back(j["protocolError"]);
    }
    for (const json& e : transcript) {
        std::string kind = e.value("event", "");
        if (kind == "unsupported") unsupported.push_back(e.value("call", ""));
        if (kind == "stderr") stderrLines.push_back(e.value("text", ""));
    }
    return {{"protocolErrors", protocol}, {"unsupportedCalls", unsupported}, {"standardError", stderrLines}};
}

// ---- text ----

std::string Indent(const std::string& text, const std::string& pad) {
    std::string out;
    std::string line;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out += line.empty() ? "\n" : pad + line + "\n";
            line.clear();
        } else {
            line += text[i];
        }
    }
    return out;
}

std::string Quote(const json& v) { return "\"" + Text(v) + "\""; }

std::string OnOff(bool on) { return on ? "on" : "off"; }

// What an emulated tool's outcome means.
std::string OutcomeText(const std::string& outcome) {
    static const struct {
        const char* outcome;
        const char* text;
    } kOutcomes[] = {
        {"written", "wrote the image"},
        {"checkedOnly", "checked the image and wrote nothing (no /P)"},
        {"otherModel", "refused the image: another model or part number"},
        {"notNewer", "refused the image: not newer than the running BIOS"},
        {"olderDate", "refused the image: dated before the running BIOS"},
        {"imageUnfit", "refused the image: it does not fit the flash part"},
        {"imageUnreadable", "could not read its image"},
        {"imageEmpty", "refused an empty image"},
        {"taken", "took the image into the controller"},
        {"exitCodeKnob", "ended at once with the exit code the profile sets"},
        {"crashed", "crashed, as the profile sets"},
    };
    for (const auto& o : kOutcomes)
        if (outcome == o.outcome) return o.text;
    return outcome;
}

// "0-7, 9-30" from a sorted list of numbers.
std::string Ranges(const std::vector<int>& numbers) {
    std::string out;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
        if (!out.empty()) out += ", ";
        out += std::to_string(numbers[i]);
        if (j > i) out += "-" + std::to_string(numbers[j]);
        i = j + 1;
    }
    return out.empty() ? "none" : out;
}

void FormatFlash(std::ostringstream& o, const json& flash) {
    o << "Flash part (" << flash.value("size", 0u) / 1024 << " KiB)\n";
    std::vector<int> written, leftOut;
    std::map<uint32_t, std::vector<int>> byAttributes;
    for (const json& b : flash["written"]) {
        written.push_back(b["record"].get<int>());
        byAttributes[b["attributes"].get<uint32_t>()].push_back(b["record"].get<int>());
    }
    for (const json& b : flash["leftOut"]) leftOut.push_back(b["record"].get<int>());
    if (written.empty() && leftOut.empty()) {
        o << "  the flash tool wrote nothing\n";
    } else {
        o << "  records written: " << Ranges(written);
        for (const auto& [attributes, records] : byAttributes) o << "; " << Hex(attributes) << " on " << Ranges(records);
        o << "\n  records left out: " << Ranges(leftOut) << "\n";
        for (const json& b : flash["written"])
            if (b["length"].get<uint32_t>() != wph::kBlockSize || b["imageOffset"].get<uint32_t>() % wph::kBlockSize != 0)
                o << "  record " << b["record"].get<int>() << " covers " << Hex(b["length"].get<uint32_t>()) << " bytes from image offset "
                  << Hex(b["imageOffset"].get<uint32_t>()) << "\n";
    }
    // The contents, in runs of blocks that hold the same image's matching blocks.
    std::string currentImage;
    std::vector<int> run;
    auto flush = [&]() {
        if (run.empty()) return;
        o << "  blocks " << Ranges(run) << ": " << (currentImage.empty() ? "no tagged image's pages" : "image " + currentImage) << "\n";
        run.clear();
    };
    for (const json& block : flash["contents"]) {
        int index = block["block"].get<int>();
        const json& holds = block["holds"];
        std::string what;
        if (holds.size() == 1 && holds[0]["imageBlock"].get<int>() == index && holds[0]["pages"].get<int>() == 16) {
            what = holds[0]["image"].get<std::string>();
        } else if (!holds.empty()) {
            flush();
            currentImage.clear();
            o << "  block " << index << ":";
            for (const json& h : holds)
                o << " image " << h["image"].get<std::string>() << " block " << h["imageBlock"].get<int>() << " ("
                  << h["pages"].get<int>() << " of 16 pages)";
            o << "\n";
            continue;
        }
        if (what != currentImage) {
            flush();
            currentImage = what;
        }
        run.push_back(index);
    }
    flush();
}

}  // namespace

json DescribeResult(uint32_t code) {
    json r = {{"code", code}, {"hex", Hex(code, 8)}};
    if (code == kResultOk) {
        r["name"] = "Success";
        return r;
    }
    for (const ResultRow& row : kResultTable) {
        if (row.code != code) continue;
        r["name"] = row.name;
        if (row.captionId != 0) {
            r["caption"] = StringText(row.captionId);
            r["text"] = StringText(row.textId);
        }
        return r;
    }
    r["name"] = nullptr;
    return r;
}

std::string DescribeStyle(uint32_t style) {
    static const char* const kIcons[] = {"no icon", "error icon", "question icon", "warning icon", "information icon"};
    static const char* const kButtons[] = {"OK", "OK and Cancel", "Abort, Retry and Ignore", "Yes, No and Cancel",
                                           "Yes and No", "Retry and Cancel", "Cancel, Try Again and Continue"};
    uint32_t icon = (style >> 4) & 0xF, buttons = style & 0xF;
    std::string out = icon < 5 ? kIcons[icon] : "icon " + Hex(icon << 4);
    out += "; ";
    out += buttons < 7 ? kButtons[buttons] : "buttons " + Hex(buttons);
    return out;
}

bool BuildReport(const std::string& root, json* report, std::string* error) {
    if (!AttachWorld(root, error)) return false;
    json profile = Profile();
    std::vector<json> transcript = Transcript();

    json run;
    std::ifstream runFile(root + "/" + kRunFileName);
    if (runFile) run = json::parse(runFile, nullptr, false);
    if (run.is_discarded() || !run.is_object()) run = json::object();
    run["root"] = WorldRoot();
    run["machine"] = profile.value("description", "");
    // The system's language: which library the program takes and the code page of its texts.
    if (profile["windows"]["langId"].is_number_unsigned()) {
        const uint16_t langId = static_cast<uint16_t>(profile["windows"]["langId"].get<uint32_t>());
        run["language"] = {{"langId", Hex(langId, 4)}, {"ansiCodePage", emu::AnsiCodePageOf(langId)}};
    }
    for (const json& e : transcript)
        if (e.value("event", "") == "start") {
            run["programPath"] = e.value("program", "");
            run["commandLine"] = e.value("commandLine", "");
        }

    std::string workDir;
    if (profile["windows"]["temp"].is_string()) workDir = Join(profile["windows"]["temp"].get<std::string>(), kWorkingFolderName);

    json tools = ToolsSection(transcript);
    json r;
    r["run"] = run;
    r["result"] = ResultSection(transcript);
    r["messageBoxes"] = MessageBoxSection(transcript);
    // The text as the person saw it (the table's texts are formats), when its box was shown. In
    // another language the box carries the library's texts: the failure's box is the last error
    // box of the run, and the program's English stays beside it.
    if (r["result"].contains("caption")) {
        bool seen = false;
        for (const json& box : r["messageBoxes"])
            if (box["caption"] == r["result"]["caption"]) {
                r["result"]["text"] = box["text"];
                seen = true;
            }
        for (auto box = r["messageBoxes"].rbegin(); !seen && box != r["messageBoxes"].rend(); ++box) {
            if ((*box)["style"] != 0x10) continue;
            r["result"]["englishCaption"] = r["result"]["caption"];
            r["result"]["caption"] = (*box)["caption"];
            r["result"]["text"] = (*box)["text"];
            seen = true;
        }
    }
    r["progressWindow"] = ProgressSection();
    r["dmiDialog"] = DmiDialogSection(transcript);
    r["debugLogs"] = DebugLogSection(profile, workDir);
    r["tools"] = tools;
    r["flash"] = FlashSection(tools);
    r["biosIdentity"] = BiosIdentitySection(profile);
    r["dmi"] = DmiSection(profile);
    r["controller"] = ControllerSection(profile);
    r["cmos"] = CmosSection(profile, tools);
    r["smi"] = SmiSection(profile);
    r["inputDevices"] = InputSection(transcript);
    r["switchOff"] = SwitchOffSection(transcript);
    r["workingFolder"] = WorkingFolderSection(workDir);
    r["accessService"] = AccessServiceSection(profile, transcript);
    r["attacks"] = AttacksSection(transcript);
    r["notes"] = NotesSection(transcript, WorldRoot());
    DetachWorld();
    *report = std::move(r);
    return true;
}

std::string FormatReport(const json& r) {
    std::ostringstream o;
    const json& run = r["run"];
    o << Text(Get(run, "variant")) << (Text(Get(run, "variant")).empty() ? "" : " ") << "on \"" << Text(Get(run, "machine"))
      << "\"\n";
    if (run.contains("commandLine")) o << "  command line: " << Text(run["commandLine"]) << "\n";
    if (run.contains("language"))
        o << "  system language: " << Text(run["language"]["langId"]) << ", ANSI code page "
          << run["language"]["ansiCodePage"].dump() << "\n";
    o << "  world: " << Text(Get(run, "root")) << "\n";
    if (Text(Get(run, "ended")) == "timeout")
        o << "  THE PROGRAM DID NOT END within " << Get(run, "timeoutSeconds").dump() << " s and was stopped\n";
    else if (Text(Get(run, "ended")) == "signal")
        o << "  THE PROGRAM DIED of signal " << Get(run, "signal").dump() << "\n";

    const json& result = r["result"];
    o << "\nResult: ";
    if (!result.value("ended", false)) {
        o << "the program ended without an exit code\n";
    } else {
        o << Text(result["hex"]) << " " << (result["name"].is_string() ? Text(result["name"]) : "(not a result code)");
        if (result.contains("caption")) o << " - " << Quote(result["caption"]);
        if (result.contains("englishCaption")) o << " (" << Quote(result["englishCaption"]) << " in English)";
        o << "\n";
        if (result.contains("text")) o << Indent(Text(result["text"]), "    ");
        if (result.contains("driverNotStarted"))
            o << "  Windows did not start the access driver " << Text(result["driverNotStarted"]["imagePath"]) << ": "
              << Text(result["driverNotStarted"]["why"]) << "\n";
    }

    o << "\nMessage boxes:" << (r["messageBoxes"].empty() ? " none\n" : "\n");
    int n = 0;
    for (const json& b : r["messageBoxes"]) {
        o << "  " << ++n << ". " << Quote(b["caption"]) << " (" << Text(b["styleText"]) << ") answered " << Text(b["answer"]) << "\n";
        o << Indent(Text(b["text"]), "       ");
    }

    const json& p = r["progressWindow"];
    o << "\nProgress window: ";
    if (!p.value("shown", false)) {
        o << "never shown\n";
    } else {
        o << (p.value("closed", false) ? "closed" : "open at the end") << "\n";
        for (const json& s : p["steps"]) o << "  [" << Text(s["mark"]) << "] " << Text(s["line"]) << "\n";
        o << "  text: " << Quote(p["progressText"]) << "\n";
    }

    const json& d = r["dmiDialog"];
    if (d.value("shown", false)) {
        o << "\nDMI settings dialog: pressed";
        for (const json& b : d["presses"]) o << " " << Quote(b);
        o << "\n";
        for (const auto& f : kDmiFields) o << "  " << f.name << ": " << Quote(d["fields"][f.name]) << "\n";
    }

    o << "\nDebug log:";
    if (r["debugLogs"].empty()) o << " none written\n";
    else o << "\n";
    for (const json& log : r["debugLogs"]) {
        o << "  " << Text(log["path"]) << "\n";
        for (const json& line : log["lines"]) o << "    " << Text(line) << "\n";
    }

    o << "\nTools:" << (r["tools"]["runs"].empty() ? " none run\n" : "\n");
    for (const json& t : r["tools"]["runs"]) {
        o << "  " << Text(t["commandLine"]) << "\n";
        if (t.value("started", false))
            o << "    exit code " << t["exitCodeSigned"].get<int32_t>() << " (" << Hex(t["exitCode"].get<uint32_t>(), 8) << ")\n";
        else
            o << "    could not be started: error " << t.value("error", 0u) << "\n";
    }
    for (const char* kind : {"biosFlashTool", "micomFlashTool"})
        for (const json& e : r["tools"][kind]) {
            o << "  " << Text(e["tool"]) << ": " << OutcomeText(Text(e["outcome"]));
            if (e.contains("image") && e["image"].contains("version"))
                o << " (image " << Text(e["image"]["model"]) << " " << Text(e["image"]["version"]) << " part "
                  << Text(e["image"]["partNumber"]) << "; running " << Text(e["running"]["model"]) << " "
                  << Text(e["running"]["version"]) << " part " << Text(e["running"]["partNumber"]) << ")";
            else if (e.contains("image") && e["image"].contains("crc32"))
                o << " (" << Text(e["image"]["name"]) << ", " << e["image"]["size"].get<uint64_t>() << " bytes, CRC-32 "
                  << Hex(e["image"]["crc32"].get<uint32_t>(), 8) << ")";
            o << "\n";
        }

    o << "\n";
    FormatFlash(o, r["flash"]);

    const json& id = r["biosIdentity"];
    o << "\nBIOS: model " << Text(id["before"]["model"]) << " version " << Text(id["before"]["version"]) << " part "
      << Text(id["before"]["partNumber"]) << " -> model " << Text(id["after"]["model"]) << " version "
      << Text(id["after"]["version"]) << " part " << Text(id["after"]["partNumber"]) << "\n";

    const json& dmi = r["dmi"];
    o << "\nDMI strings" << (dmi["changed"].empty() ? " (unchanged)" : "") << ":\n";
    for (const char* name : kDmiNames) {
        o << "  " << name << std::string(16 - std::string(name).size(), ' ') << Quote(dmi["before"][name]);
        if (dmi["before"][name] != dmi["after"][name]) o << " -> " << Quote(dmi["after"][name]);
        o << "\n";
    }

    const json& c = r["controller"];
    o << "\nController: " << Text(c["kind"]) << " kind";
    for (const auto& [port, idValue] : c["chipIds"].items())
        if (idValue.is_number()) o << ", chip " << Hex(idValue.get<uint32_t>(), 2) << " at " << port;
    if (c["mailbox"]["active"].get<bool>()) o << ", mailbox at " << Hex(c["mailbox"]["base"].get<uint32_t>(), 4);
    o << "\n  automatic power-on: "
      << (c["powerOn"]["armed"].get<bool>() ? "armed by " + Text(c["powerOn"]["how"]) : "not armed")
      << (!c["powerOn"]["armed"].get<bool>() && !Text(c["powerOn"]["how"]).empty() ? " (" + Text(c["powerOn"]["how"]) + ")" : "")
      << "\n  RAM 0xE887: " << Hex(c["ramE887"]["before"].get<uint32_t>(), 2) << " -> " << Hex(c["ramE887"]["after"].get<uint32_t>(), 2)
      << "\n  MICOM image taken: ";
    if (c["micomImage"].is_object())
        o << Text(c["micomImage"]["name"]) << ", " << c["micomImage"]["size"].get<uint64_t>() << " bytes, CRC-32 "
          << Hex(c["micomImage"]["crc32"].get<uint32_t>(), 8)
          << (Text(c["micomImage"]["label"]).empty() ? "" : " (" + Text(c["micomImage"]["label"]) + ")") << "\n";
    else
        o << "none\n";

    o << "\nCMOS: " << (r["cmos"]["cleared"].get<bool>() ? "cleared" : "not cleared")
      << (r["cmos"]["clearedByFlashTool"].get<bool>() ? " (the flash tool was told to clear it)" : "") << "\n";
    o << "SMI: " << (r["smi"]["enabled"].get<bool>() ? "enabled" : "NOT enabled") << " (control word "
      << Hex(r["smi"]["controlWord"].get<uint32_t>(), 4) << ", power-management base register "
      << Hex(r["smi"]["pmBase"].get<uint64_t>(), 8) << ")\n";

    const json& in = r["inputDevices"];
    o << "Input devices: " << (in["allOn"].get<bool>() ? "all on" : "NOT ALL ON") << " (keyboard interface "
      << OnOff(in["keyboardInterface"].get<bool>()) << ", auxiliary interface " << OnOff(in["auxiliaryInterface"].get<bool>());
    for (const json& m : in["mouseDevices"]) o << ", " << Text(m["description"]) << " " << OnOff(m["enabled"].get<bool>());
    o << ")\n";
    if (in.contains("miceStayedOnBecause")) {
        const json& why = in["miceStayedOnBecause"];
        o << "  the mice stayed on during the update: "
          << (why.contains("why") ? Text(why["why"]) + " (" + Text(why["name"]) + ", " : "the class installer failed (")
          << Text(why["hex"]) << ")\n";
    }

    const json& off = r["switchOff"];
    o << "Switch-off: ";
    if (off["switchedOff"].get<bool>()) o << "yes, flags " << Hex(off["flags"].get<uint32_t>()) << "\n";
    else if (off.contains("flags")) o << "asked for (flags " << Hex(off["flags"].get<uint32_t>()) << ") but refused\n";
    else o << "no\n";

    const json& wf = r["workingFolder"];
    o << "\nWorking folder: ";
    if (!wf["exists"].get<bool>()) {
        o << (wf["path"].is_string() ? Text(wf["path"]) + " (not made)" : "none (no TEMP)") << "\n";
    } else {
        o << Text(wf["path"]) << (wf["files"].empty() ? " (empty)" : "") << "\n";
        for (const json& f : wf["files"])
            o << "  " << Text(f["name"]) << (f["folder"].get<bool>() ? "\\" : "  " + std::to_string(f["size"].get<uint64_t>()) + " bytes")
              << "\n";
        if (wf.contains("readRomFile"))
            o << "  ReadRomFile.bin " << (wf["readRomFile"]["equalsTopMegabyteOfFlashWindow"].get<bool>() ? "equals" : "DIFFERS FROM")
              << " the top megabyte of the flash window\n";
    }

    const json& service = r["accessService"];
    o << "\nADDMEM service: " << Text(service["before"]) << " before the run, "
      << (service["createdByRun"].get<bool>() ? "created by it" : "not created by it") << "; afterwards "
      << (!service["registered"].get<bool>() ? "not registered"
          : service["markedForDelete"].get<bool>() ? "marked for deletion"
          : service["running"].get<bool>() ? "running" : "registered, stopped")
      << "\n";
    for (const json& f : service["driverFilesLeft"]) o << "  driver file left behind: " << Text(f) << "\n";
    const json& attacks = r["attacks"];
    for (const json& a : attacks["attempts"])
        o << "Attack (" << Text(a["moment"]) << "): write " << Text(a["path"]) << " as the user: " << Text(a["outcome"])
          << (a["outcome"] == "refused" ? " (error " + std::to_string(a["error"].get<uint32_t>()) + ")" : "") << "\n";
    for (const json& u : attacks["plantedUsed"])
        o << "PLANTED FILE USED: " << Text(u["path"]) << " by " << Text(u["by"]) << "\n";
    if (!attacks["attempts"].empty() && attacks["plantedUsed"].empty()) o << "No planted file was run or loaded.\n";

    const json& notes = r["notes"];
    for (const json& e : notes["protocolErrors"]) o << "Protocol error: " << Text(e) << "\n";
    for (const json& e : notes["unsupportedCalls"]) o << "Not modelled by the emulated Windows: " << Text(e) << "\n";
    for (const json& e : notes["standardError"]) o << "Standard error: " << Text(e) << "\n";
    // What the program printed matters when it did not end by itself (a crash, a sanitizer's report).
    if (!result.value("ended", false) && run.contains("output") && !Text(run["output"]).empty())
        o << "\nThe program's own output:\n" << Indent(Text(run["output"]), "  ");
    return o.str();
}

}  // namespace emu::report
