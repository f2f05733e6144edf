// The emulated MICOM flash tool, placed in a package as "WinUpV01_10.exe":
//
//   WinUpV01_10 IMAGE [/FORCE] [/SERIAL] [/A]
//
// run with the working folder as its current directory. It takes IMAGE into the embedded
// controller and ends with 0. The controller keeps what it took in the machine's state
// (state "micom": name, size, CRC-32, the label an image made for the emulated notebook carries
// on its first line "MICOM:<label>", the switches) and the transcript records the run
// ({"event":"micomFlashTool", "outcome", "exitCode", "image"}).
//   - no image name, or a file that cannot be read: exit 2, nothing taken;
//   - an empty file: exit 3, nothing taken.
// Profile knobs (tools.micom): "exitCode" ends it at once with that code, "crash" makes it die of
// an access violation.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/process.h"
#include "emu/tools/tool_common.h"
#include "emu/tools/wph_image.h"
#include "emu/world.h"

namespace {

using nlohmann::json;

constexpr const char* kToolName = "WinUpV01_10";
constexpr const char* kEventKind = "micomFlashTool";
constexpr int32_t kExitUnreadable = 2;
constexpr int32_t kExitEmpty = 3;

std::string LabelOf(const std::vector<uint8_t>& image) {
    static const std::string kPrefix = "MICOM:";
    if (image.size() < kPrefix.size() || std::string(image.begin(), image.begin() + 6) != kPrefix) return "";
    std::string label;
    for (size_t i = kPrefix.size(); i < image.size() && i < 80; ++i) {
        char c = static_cast<char>(image[i]);
        if (c == '\r' || c == '\n' || c == '\0') break;
        label += c;
    }
    return label;
}

}  // namespace

int main(int argc, char** argv) {
    emu::tools::AttachOrExit(kToolName);
    emu::tools::ApplyKnobs(emu::tools::KnobsOf("micom"), kEventKind, kToolName);

    std::string imageName;
    json switches = json::array();
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (!word.empty() && (word[0] == '/' || word[0] == '-'))
            switches.push_back(emu::tools::Upper(word));
        else if (imageName.empty())
            imageName = word;
    }
    json event = {{"event", kEventKind},
                  {"tool", kToolName},
                  {"commandLine", emu::CommandLine()},
                  {"switches", switches},
                  {"image", {{"name", imageName}}}};
    auto end = [&](const std::string& outcome, int32_t code) {
        event["outcome"] = outcome;
        event["exitCode"] = code;
        emu::Record(event);
        emu::ExitTool(code);
    };

    std::vector<uint8_t> image;
    if (imageName.empty() || !emu::tools::ReadWindowsFile(imageName, &image)) end("imageUnreadable", kExitUnreadable);
    if (image.empty()) end("imageEmpty", kExitEmpty);

    json taken = {{"name", imageName},
                  {"size", image.size()},
                  {"crc32", emu::wph::Crc32(image)},
                  {"label", LabelOf(image)},
                  {"switches", switches}};
    event["image"] = taken;
    {
        auto lock = emu::LockState();
        emu::State()["micom"] = taken;
    }
    end("taken", 0);
}
