// The service control manager of the emulated Windows (kernel driver services such as
// "ADDMEM") and the present devices of the device installer. Service calls and device state
// changes go into the transcript:
//   {"event":"service","call":"CreateService","name":"ADDMEM","imagePath":"...","error":0}
//   {"event":"deviceState","index":0,"class":"Mouse","description":"...","enable":false,"result":"changed"}
// "result" is "changed", "unchanged" (the installer ran and changed nothing), "refused" (the
// installer parameters were refused) or "installerRefused" (the installer was not run; "error"
// holds its error). A start refused because the image is no kernel driver for this Windows'
// processor has error 193 and the reason in "why".
#include <cctype>
#include <map>

#include "emu/devices.h"
#include "emu/machine.h"
#include "emu/winerror.h"
#include "emu/winfs.h"
#include "emu/world.h"
#include "pe/pe_resources.h"

namespace emu {
namespace {

using machine::Machine;
using nlohmann::json;

constexpr uint32_t kDnStarted = 0x8;
constexpr uint32_t kDnDisableable = 0x2000;
constexpr uint32_t kDnHasProblem = 0x400;
constexpr uint32_t kProblemDisabled = 0x16;
constexpr uint32_t kProblemHardwareDisabled = 0x1D;

// Handles to each service held by this process.
std::map<std::string, int> gServiceHandles;

std::string Key(const std::string& name) {
    std::string k = name;
    for (char& c : k) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return k;
}

uint32_t Report(const char* call, const std::string& name, uint32_t error, const std::string& imagePath = "",
                const std::string& why = "") {
    json e = {{"event", "service"}, {"call", call}, {"error", error}};
    if (!name.empty()) e["name"] = name;
    if (!imagePath.empty()) e["imagePath"] = imagePath;
    if (!why.empty()) e["why"] = why;
    Record(e);
    return error;
}

bool IsNt() { return ProfileValue("/windows/platform") == "nt"; }

// Why Windows would refuse to load the file as a kernel driver, or "" when it is one: a PE image
// of the native subsystem for the processor of the running Windows (x64 when it runs 32-bit
// programs under WOW64, else i386).
std::string NotADriverOfThisWindows(const std::string& hostPath) {
    pe::Image image;
    std::string error;
    if (!pe::LoadImage(hostPath, &image, &error)) return "not a Windows image (" + error + ")";
    constexpr uint16_t kSubsystemNative = 1;
    if (image.subsystem != kSubsystemNative) return "not a kernel driver (subsystem " + std::to_string(image.subsystem) + ")";
    const bool x64 = ProfileValue("/windows/wow64").get<bool>();
    const uint16_t wanted = x64 ? pe::kMachineAmd64 : pe::kMachineI386;
    if (image.machine == wanted) return "";
    const char* built = image.machine == pe::kMachineI386 ? "a 32-bit (i386)"
                        : image.machine == pe::kMachineAmd64 ? "a 64-bit (x64)" : "another processor's";
    return std::string(built) + " driver; this " + (x64 ? "64-bit" : "32-bit") + " Windows loads only " +
           (x64 ? "x64" : "i386") + " drivers";
}

// A service marked for deletion goes once nothing holds it: no handle and not running.
void DeleteIfUnused(Machine& m, const std::string& key) {
    if (!m.services.contains(key)) return;
    json& s = m.services[key];
    if (s["marked"].get<bool>() && !s["running"].get<bool>() && gServiceHandles[key] <= 0) m.services.erase(key);
}

}  // namespace

uint32_t ScmOpen() {
    auto lock = LockState();
    if (WorldRoot().empty()) return winerr::kCallNotImplemented;
    if (!IsNt()) return Report("OpenSCManager", "", winerr::kCallNotImplemented);
    Machine& m = machine::Current();
    return Report("OpenSCManager", "", machine::FaultOn(m, "scmAccessDenied") ? winerr::kAccessDenied : 0);
}

uint32_t ScmOpenService(const std::string& name, std::string* key) {
    auto lock = LockState();
    Machine& m = machine::Current();
    *key = Key(name);
    if (!m.services.contains(*key)) return Report("OpenService", name, winerr::kServiceDoesNotExist);
    return Report("OpenService", name, 0);
}

uint32_t ScmCreateKernelDriver(const std::string& name, const std::string& displayName, const std::string& imagePath,
                               std::string* key) {
    auto lock = LockState();
    Machine& m = machine::Current();
    *key = Key(name);
    if (name.empty() || name.size() > 256 || name.find_first_of("/\\") != std::string::npos)
        return Report("CreateService", name, winerr::kInvalidName, imagePath);
    if (m.services.contains(*key))
        return Report("CreateService", name,
                      m.services[*key]["marked"].get<bool>() ? winerr::kServiceMarkedForDelete : winerr::kServiceExists,
                      imagePath);
    m.services[*key] = {{"name", name}, {"displayName", displayName}, {"imagePath", imagePath},
                        {"running", false}, {"marked", false}};
    return Report("CreateService", name, 0, imagePath);
}

uint32_t ScmStart(const std::string& key) {
    auto lock = LockState();
    Machine& m = machine::Current();
    if (!m.services.contains(key)) return Report("StartService", key, winerr::kServiceDoesNotExist);
    json& s = m.services[key];
    std::string name = s["name"].get<std::string>();
    if (s["marked"].get<bool>()) return Report("StartService", name, winerr::kServiceMarkedForDelete);
    if (s["running"].get<bool>()) return Report("StartService", name, winerr::kServiceAlreadyRunning);
    FireAttacks("serviceStart");
    ResolvedPath image;
    std::string path = s["imagePath"].get<std::string>();
    if (ResolveWindowsPath(path, &image, false, false) != 0 || !image.exists || image.isDirectory)
        return Report("StartService", name, winerr::kFileNotFound, path);
    if (HoldsPlantedText(image.host)) RecordPlantedUse(path, "StartService");
    if (const std::string why = NotADriverOfThisWindows(image.host); !why.empty())
        return Report("StartService", name, winerr::kBadExeFormat, path, why);
    if (machine::FaultOn(m, "serviceStartFails")) return Report("StartService", name, winerr::kDriverBlocked, path);
    s["running"] = true;
    return Report("StartService", name, 0, path);
}

uint32_t ScmStop(const std::string& key) {
    auto lock = LockState();
    Machine& m = machine::Current();
    if (!m.services.contains(key)) return Report("StopService", key, winerr::kServiceDoesNotExist);
    json& s = m.services[key];
    std::string name = s["name"].get<std::string>();
    if (!s["running"].get<bool>()) return Report("StopService", name, winerr::kServiceNotActive);
    s["running"] = false;
    return Report("StopService", name, 0);
}

uint32_t ScmDelete(const std::string& key) {
    auto lock = LockState();
    Machine& m = machine::Current();
    if (!m.services.contains(key)) return Report("DeleteService", key, winerr::kServiceDoesNotExist);
    json& s = m.services[key];
    std::string name = s["name"].get<std::string>();
    if (s["marked"].get<bool>()) return Report("DeleteService", name, winerr::kServiceMarkedForDelete);
    s["marked"] = true;
    return Report("DeleteService", name, 0);
}

void ScmHandleOpened(const std::string& key) {
    auto lock = LockState();
    ++gServiceHandles[key];
}

void ScmHandleClosed(const std::string& key) {
    auto lock = LockState();
    --gServiceHandles[key];
    DeleteIfUnused(machine::Current(), key);
}

uint32_t PresentDeviceCount() {
    auto lock = LockState();
    if (WorldRoot().empty()) return 0;
    return static_cast<uint32_t>(machine::Current().devices.size());
}

bool PresentDeviceClass(uint32_t index, bool* hasClass, std::string* className) {
    auto lock = LockState();
    const json& devices = machine::Current().devices;
    if (index >= devices.size()) return false;
    const json& c = devices[index]["class"];
    *hasClass = c.is_string();
    *className = c.is_string() ? c.get<std::string>() : std::string();
    return true;
}

uint32_t PresentDeviceStatus(uint32_t index, uint32_t* status, uint32_t* problem) {
    auto lock = LockState();
    const json& devices = machine::Current().devices;
    if (index >= devices.size()) return winerr::kInvalidParameter;
    const json& d = devices[index];
    if (d["statusFails"].get<bool>()) return winerr::kGenFailure;
    *status = d["status"].get<uint32_t>();
    *problem = d["problem"].get<uint32_t>();
    return 0;
}

bool PresentDeviceChange(uint32_t index, bool enable, uint32_t* installerError) {
    auto lock = LockState();
    *installerError = 0;
    Machine& m = machine::Current();
    if (index >= m.devices.size()) return false;
    json& d = m.devices[index];
    std::string change = d["change"].get<std::string>();
    json event = {{"event", "deviceState"}, {"index", index},         {"class", d["class"]},
                  {"description", d["description"]}, {"enable", enable}};
    if (change == "refused") {
        event["result"] = "refused";
        Record(event);
        return false;
    }
    // SetupDiCallClassInstaller refuses a 32-bit caller on 64-bit Windows: the device installer
    // of a WOW64 process does not change devices, whatever the device.
    if (ProfileValue("/windows/wow64").get<bool>()) {
        *installerError = winerr::kInWow64;
        event["result"] = "installerRefused";
        event["error"] = winerr::kInWow64;
        Record(event);
        return true;
    }
    uint32_t status = d["status"].get<uint32_t>();
    uint32_t problem = d["problem"].get<uint32_t>();
    // The class installer cannot change a device that is not disableable, one the hardware has
    // disabled, or one whose installer fails; the caller is not told.
    bool changes = change == "accepts" && (status & kDnDisableable) && problem != kProblemHardwareDisabled &&
                   (problem == kProblemDisabled) == enable;
    if (changes) {
        if (enable) {
            d["status"] = (status | kDnStarted) & ~kDnHasProblem;
            d["problem"] = 0;
        } else {
            d["status"] = (status | kDnHasProblem) & ~kDnStarted;
            d["problem"] = kProblemDisabled;
        }
        d["changes"] = d["changes"].get<int>() + 1;
    }
    event["result"] = changes ? "changed" : "unchanged";
    Record(event);
    return true;
}

}  // namespace emu
