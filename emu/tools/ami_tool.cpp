// The emulated AMI flash tool, placed in a package as "AFUWIN.exe" (32-bit Windows) and
// "afuwinx64.exe" (64-bit Windows). It stands in for the vendor's tool on the emulated notebook:
//
//   afuwin IMAGE [/p] [/b] [/n] [/e] [/r]        (afuwinx64 alike; switches in any case)
//
// run with the working folder as its current directory, where its driver must lie under the
// package's name: "amifldrv64.sys" for afuwinx64, "amifldrv32.sys" for afuwin ("amifldrv.vxd" on
// the 9x family). It makes no judgement of the image's version or part number: the program that
// starts it compares them. It reads IMAGE (format: emu/tools/rom_image.h) and, with /p, writes it
// over the whole flash part; the notebook then runs the image's BIOS: the image's part number in
// the "DEVEL" block and its version in the "AMIBIOS" block of the BIOS segment. Without /p it only
// checks the image. It ends with
//   0 after a write or a check;
//   2 when no image is named or it cannot be read;
//   3 when the image is not of the flash part's size;
//   4 when its driver is missing from the working folder;
//   5 when the image carries no "$FID" record naming it.
// Nothing is written in the last four cases. It records what it did in the world's transcript:
// {"event":"biosFlashTool", "tool", "commandLine", "switches", "outcome", "exitCode", "image",
// "running", "written"}. Profile knobs (tools.ami): "exitCode" ends it at once with that code
// (the vendor's refusals are -120, -110 and -109), "crash" makes it die of an access violation.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/hardware.h"
#include "emu/process.h"
#include "emu/tools/rom_image.h"
#include "emu/tools/tool_common.h"
#include "emu/world.h"

namespace {

using nlohmann::json;

constexpr const char* kEventKind = "biosFlashTool";
constexpr int32_t kExitUnreadable = 2;
constexpr int32_t kExitUnfit = 3;
constexpr int32_t kExitNoDriver = 4;
constexpr int32_t kExitNoRecord = 5;

// The program's name as the command line's first word gives it, upper-cased, without its folder
// and ".EXE".
std::string ToolName() {
    std::string line = emu::CommandLine();
    std::string first = line.substr(0, line.find(' '));
    size_t slash = first.find_last_of("\\/");
    if (slash != std::string::npos) first = first.substr(slash + 1);
    first = emu::tools::Upper(first);
    if (first.size() > 4 && first.substr(first.size() - 4) == ".EXE") first.resize(first.size() - 4);
    return first.empty() ? "AFUWIN" : first;
}

std::string DriverName(const std::string& tool) {
    if (tool == "AFUWINX64") return "amifldrv64.sys";
    return emu::ProfileValue("/windows/platform") == "9x" ? "amifldrv.vxd" : "amifldrv32.sys";
}

}  // namespace

int main(int argc, char** argv) {
    emu::tools::AttachOrExit("AFUWIN");
    const std::string tool = ToolName();
    emu::tools::ApplyKnobs(emu::tools::KnobsOf("ami"), kEventKind, tool);

    std::string imageName;
    json switches = json::array();
    bool program = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (!word.empty() && (word[0] == '/' || word[0] == '-')) {
            switches.push_back(word);
            if (emu::tools::Upper(word.substr(1)) == "P") program = true;
        } else if (imageName.empty()) {
            imageName = word;
        }
    }
    json event = {{"event", kEventKind}, {"tool", tool}, {"commandLine", emu::CommandLine()},
                  {"switches", switches}, {"image", {{"name", imageName}}}, {"written", false},
                  {"running", {{"partNumber", emu::RunningBiosIdentity().partNumber},
                               {"amiVersion", emu::RunningAmiVersion()}}}};
    auto end = [&](const std::string& outcome, int32_t code) {
        event["outcome"] = outcome;
        event["exitCode"] = code;
        emu::Record(event);
        emu::ExitTool(code);
    };

    std::vector<uint8_t> driver;
    if (!emu::tools::ReadWindowsFile(DriverName(tool), &driver)) end("driverMissing", kExitNoDriver);
    std::vector<uint8_t> image;
    if (imageName.empty() || !emu::tools::ReadWindowsFile(imageName, &image)) end("imageUnreadable", kExitUnreadable);
    event["image"]["size"] = image.size();
    const emu::rom::RomInfo info = emu::rom::ReadRomImage(image);
    if (info.hasRecord) {
        event["image"]["partNumber"] = info.partNumber;
        event["image"]["versionText"] = info.versionText;
    }
    if (image.size() != emu::FlashSize()) end("imageUnfit", kExitUnfit);
    if (!info.hasRecord || !info.version) end("noRecord", kExitNoRecord);
    if (!program) end("checkedOnly", 0);

    emu::WriteFlash(0, image);
    emu::BiosIdentity identity = emu::RunningBiosIdentity();
    identity.partNumber = info.partNumber;
    emu::SetBiosIdentity(identity);
    emu::SetRunningAmiVersion(static_cast<uint32_t>(*info.version));
    event["written"] = true;
    end("written", 0);
}
