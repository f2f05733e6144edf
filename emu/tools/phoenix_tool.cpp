// The emulated Phoenix flash tool, placed in a package as "SWinFlash_32.exe" and
// "SWinFlash_64.exe". It stands in for the vendor's tool on the emulated notebook:
//
//   SWinFlash IMAGE [/P] [/C] [/BBL] [/MODE=n] [/DO0:flag] [/DO1:date] [/DSS:serial]
//
// run with the working folder as its current directory. It reads IMAGE there and judges it
// against the running BIOS, which it reads from the notebook's BIOS segment (F0000):
//   - another model, or another BIOS part number: exit -120, the image left as "newSys.bin";
//   - a version that is not above the running one (the version texts compared character by
//     character, "08RK" above "07RK"): exit -110, "newSys.bin" left;
//   - a newer version whose BIOS date ("BCPSYS") lies before the running BIOS's release date
//     (DMI type 0): exit -109, "newSys.bin" left;
//   - an image that does not fit the flash part (ROM contents of another size, no flash trailer,
//     a block table that is not ended or names blocks outside the part): exit -2, nothing written;
//   - no image name, or a file that cannot be read: exit -1.
// Otherwise it saves the flash part's old contents as "bios.bak" and, with /P, writes every
// block whose record has the attributes 0x22 or 0x122 (0 leaves a block out; other values are
// left out too and named in the log). Without /P it only checks the image. /C clears CMOS (bytes
// 0x10-0x7F of the standard bank and the whole extended bank); /BBL is accepted and recorded:
// the top block's 0x122 is written with or without it. /MODE=1, 2 or 3 writes the DMI values
// that follow (/DO0: the BIOS flag, /DO1: the purchase date, /DSS: the system serial, each only
// when given; a value may hold blanks, as the program appends values without quotes: words up to
// the next switch belong to it). After a write the notebook's BIOS is the image's: the version
// and release date in its DMI type 0 strings and the identification blocks of its BIOS segment.
//
// It writes its own log "PHLASH.LOG" into the working folder and records what it did in the
// world's transcript: {"event":"biosFlashTool", "outcome", "exitCode", "image", "running",
// "blocks": [{"record", "imageOffset", "flashAddress", "length", "attributes", "written"}], ...}.
// Profile knobs (tools.phoenix): "exitCode" ends it at once with that code, "crash" makes it die
// of an access violation.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/hardware.h"
#include "emu/process.h"
#include "emu/tools/tool_common.h"
#include "emu/tools/wph_image.h"
#include "emu/world.h"

namespace {

using nlohmann::json;
using emu::wph::FlashRecord;
using emu::wph::ImageInfo;

constexpr const char* kToolName = "SWinFlash";
constexpr const char* kEventKind = "biosFlashTool";
constexpr const char* kLogName = "PHLASH.LOG";
constexpr int32_t kExitUnreadable = -1;
constexpr int32_t kExitUnfit = -2;
constexpr int32_t kExitOtherModel = -120;
constexpr int32_t kExitNotNewer = -110;
constexpr int32_t kExitOlderDate = -109;

struct Arguments {
    std::string image;
    bool program = false, clearCmos = false, bootBlock = false;
    bool hasMode = false;
    std::string mode;
    std::vector<std::string> switches;
    // DMI values by switch ("DO0", "DO1", "DSS"), present only when given.
    json dmi = json::object();
    std::vector<std::string> unknown;
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments a;
    std::string* value = nullptr;  // the DMI value that further plain words continue
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        bool isSwitch = !word.empty() && (word[0] == '/' || word[0] == '-');
        if (!isSwitch) {
            if (value != nullptr) {
                *value += " " + word;
            } else if (a.image.empty()) {
                a.image = word;
            } else {
                a.unknown.push_back(word);
            }
            continue;
        }
        value = nullptr;
        a.switches.push_back(word);
        std::string name = emu::tools::Upper(word.substr(1));
        if (name == "P") {
            a.program = true;
        } else if (name == "C") {
            a.clearCmos = true;
        } else if (name == "BBL") {
            a.bootBlock = true;
        } else if (emu::tools::StartsWithNoCase(name, "MODE=")) {
            a.hasMode = true;
            a.mode = word.substr(6);
        } else if (name.rfind("DO0:", 0) == 0 || name.rfind("DO1:", 0) == 0 || name.rfind("DSS:", 0) == 0) {
            std::string key = name.substr(0, 3);
            a.dmi[key] = word.substr(5);
            value = a.dmi[key].get_ptr<std::string*>();
        } else {
            a.unknown.push_back(word);
        }
    }
    return a;
}

std::vector<uint8_t> BiosSegment() {
    std::vector<uint8_t> segment(0x10000);
    emu::ReadPhysical(0xF0000, segment.data(), segment.size());
    return segment;
}

json IdentityJson(const ImageInfo& i) {
    return {{"model", i.longModel.empty() ? i.model : i.longModel},
            {"version", i.version},
            {"partNumber", i.partNumber},
            {"date", i.date}};
}

// "MM/DD/YY" or "MM/DD/YYYY" as YYYYMMDD; 0 when the text is no such date.
int DateKey(const std::string& d) {
    auto digits = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (i >= d.size() || d[i] < '0' || d[i] > '9') return -1;
            v = v * 10 + (d[i] - '0');
        }
        return v;
    };
    if (d.size() < 8 || d[2] != '/' || d[5] != '/') return 0;
    int month = digits(0, 2), day = digits(3, 2);
    int year = d.size() >= 10 ? digits(6, 4) : digits(6, 2);
    if (month < 0 || day < 0 || year < 0) return 0;
    if (d.size() < 10 || d[8] < '0' || d[8] > '9') year += 2000;
    return year * 10000 + month * 100 + day;
}

class Run {
  public:
    explicit Run(const Arguments& a) : args_(a) {
        event_ = {{"event", kEventKind},
                  {"tool", kToolName},
                  {"commandLine", emu::CommandLine()},
                  {"switches", a.switches},
                  {"image", {{"name", a.image}}}};
        Log("Phoenix WinFlash (emulated) started: " + emu::CommandLine());
    }

    void Log(const std::string& line) { emu::tools::AppendWindowsText(kLogName, line + "\r\n"); }

    [[noreturn]] void End(const std::string& outcome, int32_t code) {
        event_["outcome"] = outcome;
        event_["exitCode"] = code;
        Log("Exit code " + std::to_string(code) + " (" + outcome + ")");
        emu::Record(event_);
        emu::ExitTool(code);
    }

    [[noreturn]] void Refuse(const std::vector<uint8_t>& image, const std::string& outcome, int32_t code,
                             const std::string& why) {
        Log(why);
        emu::tools::WriteWindowsFile("newSys.bin", image);
        End(outcome, code);
    }

    [[noreturn]] void Go() {
        if (!args_.unknown.empty()) {
            std::string words;
            for (const std::string& w : args_.unknown) words += " " + w;
            Log("Ignored:" + words);
        }
        std::vector<uint8_t> image;
        if (args_.image.empty() || !emu::tools::ReadWindowsFile(args_.image, &image)) {
            Log(args_.image.empty() ? "No image file given" : "Cannot read " + args_.image);
            End("imageUnreadable", kExitUnreadable);
        }
        const uint32_t partSize = emu::FlashSize();
        ImageInfo info = emu::wph::ReadImage(image, partSize);
        ImageInfo running = emu::wph::ReadSegmentIdentity(BiosSegment());
        event_["image"].update(IdentityJson(info));
        event_["image"]["size"] = image.size();
        event_["running"] = IdentityJson(running);
        Log("Image " + args_.image + ": model " + info.model + ", version " + info.version + ", part number " +
            info.partNumber + ", date " + info.date);
        Log("Running BIOS: model " + running.model + ", version " + running.version + ", part number " +
            running.partNumber);

        if (!info.hasDiag || !info.hasDevel) {
            Log("The image carries no BIOS identification");
            End("imageUnfit", kExitUnfit);
        }
        bool sameModel = info.model == running.model &&
                         (info.longModel.empty() || running.longModel.empty() || info.longModel == running.longModel);
        if (!sameModel || info.partNumber != running.partNumber)
            Refuse(image, "otherModel", kExitOtherModel,
                   "The image is for model " + info.model + " (" + info.partNumber + "), this system is " +
                       running.model + " (" + running.partNumber + ")");
        if (!(info.version > running.version))
            Refuse(image, "notNewer", kExitNotNewer,
                   "The image's version " + info.version + " is not newer than " + running.version);
        std::string releaseDate = emu::DmiString("biosReleaseDate");
        int imageDate = DateKey(info.date), runningDate = DateKey(releaseDate);
        if (imageDate != 0 && runningDate != 0 && imageDate < runningDate)
            Refuse(image, "olderDate", kExitOlderDate,
                   "The image's date " + info.date + " lies before the running BIOS's " + releaseDate);

        std::string unfit = CheckLayout(image, info, partSize);
        if (!unfit.empty()) {
            Log(unfit);
            End("imageUnfit", kExitUnfit);
        }

        std::vector<uint8_t> old = emu::FlashContents();
        emu::tools::WriteWindowsFile("bios.bak", old);
        Log("Saved the flash part (" + std::to_string(old.size()) + " bytes) as bios.bak");
        if (!args_.program) {
            Log("No /P: the image was checked, nothing written");
            End("checkedOnly", 0);
        }
        WriteBlocks(image, info, partSize);
        if (args_.clearCmos) ClearCmos();
        if (args_.bootBlock) Log("/BBL: boot block update requested");
        ApplyDmi();
        TakeIdentity(info, running);
        End("written", 0);
    }

  private:
    // Everything that must hold before anything is written.
    std::string CheckLayout(const std::vector<uint8_t>& image, const ImageInfo& info, uint32_t partSize) {
        if (image.size() <= partSize || !info.hasTrailer)
            return "The image does not fit the flash part of " + std::to_string(partSize) + " bytes (no flash trailer behind it)";
        if (!info.tableEnded) return "The flash block table has no end record";
        if (info.records.empty()) return "The flash block table is empty";
        const uint64_t base = emu::wph::kFourGiB - partSize;
        for (size_t i = 0; i < info.records.size(); ++i) {
            const FlashRecord& r = info.records[i];
            if (!Writes(r)) continue;
            if (r.length == 0 || static_cast<uint64_t>(r.imageOffset) + r.length > partSize ||
                r.flashAddress < base || static_cast<uint64_t>(r.flashAddress) + r.length > emu::wph::kFourGiB)
                return "Record " + std::to_string(i) + " names bytes outside the flash part";
        }
        return "";
    }

    static bool Writes(const FlashRecord& r) {
        return r.attributes == emu::wph::kWriteBlock || r.attributes == emu::wph::kTopBlock;
    }

    void WriteBlocks(const std::vector<uint8_t>& image, const ImageInfo& info, uint32_t partSize) {
        const uint64_t base = emu::wph::kFourGiB - partSize;
        json blocks = json::array();
        int written = 0;
        for (size_t i = 0; i < info.records.size(); ++i) {
            const FlashRecord& r = info.records[i];
            bool write = Writes(r);
            if (write) {
                std::vector<uint8_t> bytes(image.begin() + r.imageOffset, image.begin() + r.imageOffset + r.length);
                emu::WriteFlash(static_cast<uint32_t>(r.flashAddress - base), bytes);
                ++written;
            } else if (r.attributes != 0) {
                Log("Record " + std::to_string(i) + ": attributes " + Hex(r.attributes) +
                    " not known, block left out");
            }
            blocks.push_back({{"record", i},
                              {"length", r.length},
                              {"imageOffset", r.imageOffset},
                              {"flashAddress", r.flashAddress},
                              {"attributes", r.attributes},
                              {"written", write}});
        }
        event_["blocks"] = blocks;
        Log("Wrote " + std::to_string(written) + " of " + std::to_string(info.records.size()) + " blocks");
    }

    void ClearCmos() {
        for (int i = 0x10; i < 0x80; ++i) emu::SetCmos(0, static_cast<uint8_t>(i), 0);
        for (int i = 0; i < 0x80; ++i) emu::SetCmos(1, static_cast<uint8_t>(i), 0);
        event_["cmosCleared"] = true;
        Log("/C: CMOS cleared");
    }

    void ApplyDmi() {
        if (!args_.hasMode) {
            if (!args_.dmi.empty()) Log("DMI values without /MODE= are ignored");
            return;
        }
        json dmi = {{"mode", args_.mode}};
        if (args_.mode != "1" && args_.mode != "2" && args_.mode != "3") {
            Log("/MODE=" + args_.mode + ": no such DMI mode, DMI left alone");
            dmi["written"] = false;
            event_["dmi"] = dmi;
            return;
        }
        static const struct {
            const char* key;
            const char* name;
        } kTargets[] = {{"DO0", "biosFlag"}, {"DO1", "purchaseDate"}, {"DSS", "serial"}};
        for (const auto& t : kTargets) {
            if (!args_.dmi.contains(t.key)) continue;
            std::string text = args_.dmi[t.key].get<std::string>();
            dmi[t.name] = {{"before", emu::DmiString(t.name)}, {"after", text}};
            emu::SetDmiString(t.name, text);
            Log(std::string("DMI ") + t.name + " = \"" + text + "\"");
        }
        dmi["written"] = true;
        event_["dmi"] = dmi;
    }

    // The notebook now runs the image's BIOS: its DMI type 0 version and date follow.
    void TakeIdentity(const ImageInfo& info, const ImageInfo& running) {
        std::string version = emu::DmiString("biosVersion");
        size_t at = running.version.empty() ? std::string::npos : version.find(running.version);
        if (at != std::string::npos) {
            version.replace(at, running.version.size(), info.version);
            emu::SetDmiString("biosVersion", version);
        }
        if (DateKey(info.date) != 0)
            emu::SetDmiString("biosReleaseDate", info.date.substr(0, 6) + "20" + info.date.substr(6, 2));
        TakeSegmentIdentity(info);
    }

    void TakeSegmentIdentity(const ImageInfo& info);

    static std::string Hex(uint32_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%X", v);
        return b;
    }

    const Arguments& args_;
    json event_;
};

void Run::TakeSegmentIdentity(const ImageInfo& info) {
    emu::SetBiosIdentity({info.longModel.empty() ? info.model : info.longModel, info.version, info.partNumber});
    Log("The running BIOS is now " + info.model + " " + info.version + " (" + info.partNumber + ")");
}

}  // namespace

int main(int argc, char** argv) {
    emu::tools::AttachOrExit(kToolName);
    emu::tools::ApplyKnobs(emu::tools::KnobsOf("phoenix"), kEventKind, kToolName);
    Arguments args = ParseArguments(argc, argv);
    Run(args).Go();
}
