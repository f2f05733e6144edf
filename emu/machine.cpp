// The emulated notebook's state: made from the profile, kept in the world's state (small values
// in state.json under "hardware", the flash part and the controller's RAM as files), and the
// records of port writes and device accesses.
#include "emu/machine.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "emu/hardware_profile.h"
#include "emu/winfs.h"
#include "emu/world.h"

namespace emu::machine {
namespace {

constexpr const char* kFlashFile = "flash.bin";
constexpr const char* kEcRamFile = "ec-ram.bin";
constexpr uint32_t kDnStarted = 0x8;
constexpr uint32_t kDnHasProblem = 0x400;
constexpr uint32_t kProblemDisabled = 0x16;

Machine gMachine;
bool gLoaded = false;
std::string gLoadedRoot;
std::chrono::steady_clock::time_point gAttachTime = std::chrono::steady_clock::now();

// Records of this process; `gWritten*` count what is already in hardware.jsonl.
std::vector<emu::PortWrite> gPortWrites;
std::vector<DeviceEvent> gDeviceEvents;
std::vector<std::string> gProtocolErrors;
uint64_t gPortReads = 0;
size_t gWrittenPorts = 0, gWrittenDevices = 0, gWrittenErrors = 0;

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

json KbcByteJson(bool present, uint8_t value, bool aux) {
    if (!present) return nullptr;
    return json{{"side", aux ? "auxiliary" : "keyboard"}, {"value", value}};
}

json BytesJson(const uint8_t* bytes, size_t n) { return json(std::vector<uint8_t>(bytes, bytes + n)); }

template <size_t N>
void LoadArray(const json& v, std::array<uint8_t, N>* out) {
    if (!v.is_array()) return;
    for (size_t i = 0; i < N && i < v.size(); ++i) (*out)[i] = v[i].get<uint8_t>();
}

// Devices as the profile gives them, with the status and problem a disabled device shows.
json DevicesFromProfile(const json& profileDevices) {
    json devices = json::array();
    for (json d : profileDevices) {
        uint32_t status = d["status"].get<uint32_t>();
        if (!d["enabled"].get<bool>()) {
            status = (status | kDnHasProblem) & ~kDnStarted;
            if (d["problem"].get<uint32_t>() == 0) d["problem"] = kProblemDisabled;
        }
        d["status"] = status;
        d["changes"] = 0;
        devices.push_back(d);
    }
    return devices;
}

void Save() {
    if (!gLoaded || gLoadedRoot != WorldRoot() || gLoadedRoot.empty()) return;
    Machine& m = gMachine;
    json h;
    h["kbc"] = {{"commandByte", m.commandByte},
                {"output", KbcByteJson(m.outputFull, m.output, m.outputAux)},
                {"pendingExchange", m.pendingExchange},
                {"returned", m.returned}};
    h["ec"] = {{"commands", m.ecCommands},
               {"powerOn", m.powerOn},
               {"logicalDevice", m.logicalDevice},
               {"device9Active", m.device9Active},
               {"device9Base", m.device9Base},
               {"mailbox", BytesJson(m.mailbox.data(), m.mailbox.size())}};
    h["cmos"] = {{"standard", BytesJson(m.cmos[0].data(), 128)}, {"extended", BytesJson(m.cmos[1].data(), 128)}};
    h["pm"] = BytesJson(m.pm.data(), m.pm.size());
    h["smiRequests"] = m.smiRequests;
    h["dmi"] = m.dmi;
    h["bios"] = m.bios;
    h["services"] = m.services;
    h["devices"] = m.devices;
    h["faults"] = m.faults;
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * m.overlay.size());
    for (uint8_t b : m.overlay) hex.append({kDigits[b >> 4], kDigits[b & 15]});
    h["overlay"] = {{"address", m.overlayAddress}, {"hex", hex}};
    State()["hardware"] = h;
    if (m.flashDirty) WriteBytes(StateFilePath(kFlashFile), m.flash);
    if (m.ecRamDirty) WriteBytes(StateFilePath(kEcRamFile), m.ecRam);
    m.flashDirty = m.ecRamDirty = false;

    // The records since the last flush, for the report.
    std::ofstream out(gLoadedRoot + "/hardware.jsonl", std::ios::app);
    for (; gWrittenPorts < gPortWrites.size(); ++gWrittenPorts) {
        const emu::PortWrite& w = gPortWrites[gWrittenPorts];
        out << json{{"portWrite", w.port}, {"width", w.width}, {"value", w.value}}.dump() << "\n";
    }
    for (; gWrittenDevices < gDeviceEvents.size(); ++gWrittenDevices) {
        const DeviceEvent& e = gDeviceEvents[gWrittenDevices];
        json j = {{"device", e.device}, {"what", e.what}, {"accepted", e.accepted}};
        if (e.what == "request") j.update({{"code", e.code}, {"inSize", e.inSize}, {"outSize", e.outSize}});
        if (!e.accepted) j.update({{"error", e.error}, {"reason", e.reason}});
        out << j.dump() << "\n";
    }
    for (; gWrittenErrors < gProtocolErrors.size(); ++gWrittenErrors)
        out << json{{"protocolError", gProtocolErrors[gWrittenErrors]}}.dump() << "\n";
}

// A fresh machine for the attached root; the records start again with it.
void Reset() {
    gMachine = Machine();
    gLoadedRoot = WorldRoot();
    gLoaded = true;
    gAttachTime = std::chrono::steady_clock::now();
    gPortWrites.clear();
    gDeviceEvents.clear();
    gProtocolErrors.clear();
    gPortReads = 0;
    gWrittenPorts = gWrittenDevices = gWrittenErrors = 0;
}

void Load() {
    Reset();
    if (gLoadedRoot.empty()) return;
    const json& state = State();
    if (!state.contains("hardware")) {
        // A root made before its machine existed: make the machine now.
        std::string ignored;
        InitializeFromProfile(&ignored);
        return;
    }
    Machine& m = gMachine;
    const json& h = state["hardware"];
    const json& kbc = h["kbc"];
    m.commandByte = kbc["commandByte"].get<uint8_t>();
    if (kbc["output"].is_object()) {
        m.outputFull = true;
        m.output = kbc["output"]["value"].get<uint8_t>();
        m.outputAux = kbc["output"]["side"] == "auxiliary";
    }
    m.pendingExchange = kbc["pendingExchange"];
    m.returned = kbc["returned"];
    const json& ec = h["ec"];
    m.ecCommands = ec["commands"];
    m.powerOn = ec["powerOn"].get<std::string>();
    m.logicalDevice = ec["logicalDevice"].get<uint8_t>();
    m.device9Active = ec["device9Active"].get<uint8_t>();
    m.device9Base = ec["device9Base"].get<uint16_t>();
    LoadArray(ec["mailbox"], &m.mailbox);
    LoadArray(h["cmos"]["standard"], &m.cmos[0]);
    LoadArray(h["cmos"]["extended"], &m.cmos[1]);
    LoadArray(h["pm"], &m.pm);
    m.smiRequests = h["smiRequests"];
    m.dmi = h["dmi"];
    if (h.contains("bios")) m.bios = h["bios"];
    m.services = h["services"];
    m.devices = h["devices"];
    m.faults = h["faults"];
    if (h.contains("overlay")) {
        m.overlayAddress = h["overlay"]["address"].get<uint64_t>();
        const std::string hex = h["overlay"]["hex"].get<std::string>();
        m.overlay.clear();
        for (size_t i = 0; i + 1 < hex.size(); i += 2) m.overlay.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    if (!emu::ReadHostFile(StateFilePath(kFlashFile), &m.flash)) m.flash.clear();
    std::vector<uint8_t> ram;
    if (emu::ReadHostFile(StateFilePath(kEcRamFile), &ram) && ram.size() == 0x10000) m.ecRam = ram;
    m.memoryDirty = true;
}

void EnsureHooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        AddStateHooks(Save, [] {
            // The state was read again (a child process changed the machine, or another world
            // was attached): take the machine from it on next use.
            gLoaded = false;
        });
    });
}

}  // namespace

std::string Hex(uint64_t value, int digits) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return b;
}

Machine& Current() {
    EnsureHooks();
    if (!gLoaded || gLoadedRoot != WorldRoot()) Load();
    return gMachine;
}

bool InitializeFromProfile(std::string* error) {
    EnsureHooks();
    Reset();
    Machine& m = gMachine;
    const json& p = Profile();
    m.dmi = p["dmi"];
    m.bios = {{"model", p["bios"]["model"]}, {"version", p["bios"]["version"]}, {"partNumber", p["bios"]["partNumber"]}};
    for (const char* k : {"entryPoint", "tableAddress"}) m.dmi.erase(k);
    m.faults = p["faults"];
    m.devices = DevicesFromProfile(p["devices"]);

    // The ADDMEM service as an earlier run left it.
    const json& addmem = p["services"]["addmem"];
    std::string state = addmem["state"].get<std::string>();
    if (state != "absent") {
        std::string image = addmem["imagePath"].get<std::string>();
        m.services["ADDMEM"] = {{"name", "ADDMEM"}, {"displayName", "ADDMEM"}, {"imagePath", image},
                                {"running", state == "running"}, {"marked", false}};
        if (state == "running") {
            // A running driver was loaded from a file that exists.
            size_t slash = image.rfind('\\');
            MakeWindowsFolders(image.substr(0, slash));
            std::ofstream(HostPathOf(image), std::ios::binary) << "MZ stand-in for the ADDMEM driver";
        }
    }

    for (const auto& [address, value] : p["ec"]["ram"].items()) {
        uint64_t a = std::stoull(address, nullptr, 16);
        m.ecRam[a & 0xFFFF] = value.get<uint8_t>();
    }
    m.ecRamDirty = true;
    InitializePorts(m, p);
    BuildLowMemory(m);

    const json& image = p["flash"]["image"];
    if (image.is_string()) {
        std::string path = image.get<std::string>();
        if (!emu::ReadHostFile(path, &m.flash)) {
            *error = "flash.image: cannot read " + path;
            return false;
        }
        if (m.flash.size() != 0x100000 && m.flash.size() != 0x200000) {
            *error = "flash.image: " + path + " holds " + std::to_string(m.flash.size()) +
                     " bytes; a flash part holds 1 MiB or 2 MiB";
            return false;
        }
    } else {
        m.flash = GenerateFlash(m, p);
    }
    m.flashDirty = true;
    FlushWorld();
    return true;
}

std::string BiosField(const Machine& m, const char* name) {
    if (m.bios.contains(name) && m.bios[name].is_string()) return m.bios[name].get<std::string>();
    const json& v = ProfileValue(std::string("/bios/") + name);
    return v.is_string() ? v.get<std::string>() : std::string();
}

uint32_t AmiVersion(const Machine& m) {
    if (m.bios.contains("amiVersion") && m.bios["amiVersion"].is_number_unsigned()) return m.bios["amiVersion"].get<uint32_t>();
    return ProfileValue("/bios/amiVersion").get<uint32_t>();
}

bool FaultOn(const Machine& m, const char* name) {
    return m.faults.contains(name) && m.faults[name].is_boolean() && m.faults[name].get<bool>();
}

void RecordPortWrite(uint16_t port, int width, uint32_t value) {
    gPortWrites.push_back(emu::PortWrite{port, static_cast<uint8_t>(width), value});
}

void CountPortRead() { ++gPortReads; }

void RecordDevice(const DeviceEvent& event) {
    DeviceEvent e = event;
    e.atMs = MillisecondsSinceAttach();
    gDeviceEvents.push_back(e);
}

void RecordProtocolError(const std::string& text) { gProtocolErrors.push_back(text); }

double MillisecondsSinceAttach() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gAttachTime).count();
}

}  // namespace emu::machine

namespace emu {

using machine::Current;
using machine::Machine;
using nlohmann::json;

std::vector<PortWrite> PortWrites() {
    auto lock = LockState();
    Current();
    return machine::gPortWrites;
}

std::vector<PortWrite> PortWritesTo(const std::vector<uint16_t>& ports) {
    std::vector<PortWrite> out;
    for (const PortWrite& w : PortWrites())
        for (uint16_t p : ports)
            if (w.port == p) {
                out.push_back(w);
                break;
            }
    return out;
}

std::vector<DeviceEvent> DeviceEvents() {
    auto lock = LockState();
    Current();
    return machine::gDeviceEvents;
}

static std::vector<DeviceEvent> EventsOf(const char* what) {
    std::vector<DeviceEvent> out;
    for (const DeviceEvent& e : DeviceEvents())
        if (e.what == what) out.push_back(e);
    return out;
}

std::vector<DeviceEvent> DeviceRequests() { return EventsOf("request"); }
std::vector<DeviceEvent> DeviceOpens() { return EventsOf("open"); }

int OpenDeviceHandles() {
    auto lock = LockState();
    return Current().openDevices;
}

std::vector<std::string> ProtocolErrors() {
    auto lock = LockState();
    Current();
    return machine::gProtocolErrors;
}

uint64_t PortReadCount() {
    auto lock = LockState();
    Current();
    return machine::gPortReads;
}

void ClearHardwareRecord() {
    auto lock = LockState();
    Current();
    machine::Save();  // what was recorded so far still reaches the report
    DiscardHardwareRecord();
}

void DiscardHardwareRecord() {
    auto lock = LockState();
    Current();
    machine::gPortWrites.clear();
    machine::gDeviceEvents.clear();
    machine::gProtocolErrors.clear();
    machine::gPortReads = 0;
    machine::gWrittenPorts = machine::gWrittenDevices = machine::gWrittenErrors = 0;
}

void SetFault(const std::string& name, const nlohmann::json& value) {
    // A misspelt knob would silently leave the fault off: refuse it where the test can see.
    if (!HardwareProfileDefaults()["faults"].contains(name))
        throw std::invalid_argument("no fault knob named \"" + name + "\" (emu/hardware.h lists them)");
    auto lock = LockState();
    Machine& m = Current();
    m.faults[name] = value;
    if (name == "dmiEntryPointMissing" || name == "dmiMissingTypes") m.memoryDirty = true;
}

nlohmann::json Fault(const std::string& name) {
    auto lock = LockState();
    const Machine& m = Current();
    return m.faults.contains(name) ? m.faults[name] : nlohmann::json();
}

uint32_t ReadPort(uint16_t port, int width) {
    auto lock = LockState();
    if (WorldRoot().empty()) return width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0xFFFFFFFF;
    return machine::PortRead(Current(), port, width);
}

void WritePort(uint16_t port, int width, uint32_t value) {
    auto lock = LockState();
    if (WorldRoot().empty()) return;
    machine::PortWrite(Current(), port, width, value);
}

void ReadPhysical(uint64_t address, uint8_t* out, size_t length) {
    auto lock = LockState();
    if (WorldRoot().empty()) {
        std::fill(out, out + length, 0xFF);
        return;
    }
    machine::MemoryRead(Current(), address, out, length);
}

void SetMemoryOverlay(uint64_t address, const std::vector<uint8_t>& bytes) {
    auto lock = LockState();
    if (WorldRoot().empty()) return;
    Machine& m = Current();
    m.overlayAddress = address;
    m.overlay = bytes;
    m.memoryDirty = true;
}

void WritePhysical(uint64_t address, const uint8_t* data, size_t length) {
    auto lock = LockState();
    if (WorldRoot().empty()) return;
    machine::MemoryWrite(Current(), address, data, length);
}

uint8_t EcRam(uint16_t address) {
    auto lock = LockState();
    return Current().ecRam[address];
}

void SetEcRam(uint16_t address, uint8_t value) {
    auto lock = LockState();
    Machine& m = Current();
    m.ecRam[address] = value;
    m.ecRamDirty = true;
}

std::vector<nlohmann::json> EcCommands() {
    auto lock = LockState();
    const json& c = Current().ecCommands;
    return std::vector<nlohmann::json>(c.begin(), c.end());
}

std::string PowerOnArming() {
    auto lock = LockState();
    return Current().powerOn;
}

KeyboardControllerState KeyboardController() {
    auto lock = LockState();
    const Machine& m = Current();
    KeyboardControllerState s;
    s.commandByte = m.commandByte;
    s.keyboardEnabled = (m.commandByte & 0x10) == 0;
    s.auxiliaryEnabled = (m.commandByte & 0x20) == 0;
    s.outputFull = m.outputFull;
    s.output = m.output;
    s.outputAuxiliary = m.outputAux;
    s.inExchange = m.inExchange;
    return s;
}

void PresentKbcByte(KbcSide side, uint8_t value) {
    auto lock = LockState();
    Machine& m = Current();
    m.outputFull = true;
    m.output = value;
    m.outputAux = side == KbcSide::Auxiliary;
}

void SetPendingExchangeByte(KbcSide side, uint8_t value) {
    auto lock = LockState();
    Current().pendingExchange = {{"side", side == KbcSide::Auxiliary ? "auxiliary" : "keyboard"}, {"value", value}};
}

std::vector<nlohmann::json> ReturnedBytes() {
    auto lock = LockState();
    const json& r = Current().returned;
    return std::vector<nlohmann::json>(r.begin(), r.end());
}

uint8_t Cmos(int bank, uint8_t index) {
    auto lock = LockState();
    return Current().cmos[bank & 1][index & 0x7F];
}

void SetCmos(int bank, uint8_t index, uint8_t value) {
    auto lock = LockState();
    Current().cmos[bank & 1][index & 0x7F] = value;
}

uint16_t SmiControlWord() {
    auto lock = LockState();
    const Machine& m = Current();
    return static_cast<uint16_t>(m.pm[0x30] | (m.pm[0x31] << 8));
}

bool GlobalSmiEnabled() { return (SmiControlWord() & 1) != 0; }

std::vector<nlohmann::json> SmiRequests() {
    auto lock = LockState();
    const json& r = Current().smiRequests;
    return std::vector<nlohmann::json>(r.begin(), r.end());
}

std::vector<uint8_t> FlashContents() {
    auto lock = LockState();
    return Current().flash;
}

void WriteFlash(uint32_t offset, const std::vector<uint8_t>& bytes) {
    auto lock = LockState();
    Machine& m = Current();
    for (size_t i = 0; i < bytes.size() && offset + i < m.flash.size(); ++i) m.flash[offset + i] = bytes[i];
    m.flashDirty = true;
}

uint32_t FlashSize() {
    auto lock = LockState();
    return static_cast<uint32_t>(Current().flash.size());
}

std::string DmiString(const std::string& name) {
    auto lock = LockState();
    const Machine& m = Current();
    return m.dmi.contains(name) ? m.dmi[name].get<std::string>() : std::string();
}

BiosIdentity RunningBiosIdentity() {
    auto lock = LockState();
    const Machine& m = Current();
    return {machine::BiosField(m, "model"), machine::BiosField(m, "version"), machine::BiosField(m, "partNumber")};
}

void SetBiosIdentity(const BiosIdentity& identity) {
    auto lock = LockState();
    Machine& m = Current();
    m.bios = {{"model", identity.model}, {"version", identity.version}, {"partNumber", identity.partNumber}};
    m.memoryDirty = true;
}

uint32_t RunningAmiVersion() {
    auto lock = LockState();
    return machine::AmiVersion(Current());
}

void SetRunningAmiVersion(uint32_t version) {
    auto lock = LockState();
    Machine& m = Current();
    m.bios["amiVersion"] = version;
    m.memoryDirty = true;
}

void SetDmiString(const std::string& name, const std::string& text) {
    auto lock = LockState();
    Machine& m = Current();
    m.dmi[name] = text;
    m.memoryDirty = true;
}

ServiceState Service(const std::string& name) {
    auto lock = LockState();
    const Machine& m = Current();
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ServiceState s;
    if (!m.services.contains(key)) return s;
    const json& v = m.services[key];
    s.exists = true;
    s.running = v["running"].get<bool>();
    s.markedForDelete = v["marked"].get<bool>();
    s.imagePath = v["imagePath"].get<std::string>();
    s.displayName = v["displayName"].get<std::string>();
    return s;
}

std::vector<PresentDeviceState> PresentDevices() {
    auto lock = LockState();
    std::vector<PresentDeviceState> out;
    for (const json& d : Current().devices) {
        PresentDeviceState s;
        s.className = d["class"].is_string() ? d["class"].get<std::string>() : "";
        s.description = d["description"].get<std::string>();
        s.status = d["status"].get<uint32_t>();
        s.problem = d["problem"].get<uint32_t>();
        s.enabled = s.problem != machine::kProblemDisabled;
        s.changes = d["changes"].get<int>();
        out.push_back(s);
    }
    return out;
}

}  // namespace emu
