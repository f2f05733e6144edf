// make-wph: writes a ".wph" BIOS image for the emulated notebook (format: emu/tools/wph_image.h).
//
//   make-wph -o FILE [--machine PROFILE [--newer]] [--model M] [--version V] [--part-number P]
//            [--date MM/DD/YY] [--size BYTES] [--tag T] [--escd-keep BYTES] [--attr INDEX=VALUE]...
//
// --machine takes the model, part number, version and flash part size of the notebook a machine
// profile describes; --newer then raises the version's leading two-digit number by one, so that
// the image is the next release for that notebook. Options given explicitly win. On success one
// JSON line describes the image (model, version, part number, platform key, sizes, number of records).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/profile.h"
#include "emu/tools/wph_image.h"

namespace {

using nlohmann::json;

int Fail(const std::string& message) {
    std::fprintf(stderr, "make-wph: %s\n", message.c_str());
    return 2;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    try {
        size_t used = 0;
        *value = std::stoull(text, &used, 0);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

// "07RK" -> "08RK": the leading two digits are the release number.
bool NextVersion(const std::string& version, std::string* next) {
    if (version.size() < 2 || version[0] < '0' || version[0] > '9' || version[1] < '0' || version[1] > '9') return false;
    int n = (version[0] - '0') * 10 + (version[1] - '0') + 1;
    if (n > 99) return false;
    *next = version;
    (*next)[0] = static_cast<char>('0' + n / 10);
    (*next)[1] = static_cast<char>('0' + n % 10);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes a .wph BIOS image for the emulated notebook.", "make-wph"};
    std::string output, machine, model, version, partNumber, date, tag;
    uint64_t size = 0, escdKeep = 0x8000;
    bool newer = false;
    std::vector<std::string> attributes;
    app.add_option("-o,--output", output, "the image file to write")->required();
    app.add_option("--machine", machine, "a machine profile: the image is made for its notebook")
        ->check(CLI::ExistingFile);
    app.add_flag("--newer", newer, "with --machine: the next version of the notebook's BIOS");
    app.add_option("--model", model, "model number, 4 or 5 characters (default R580)");
    app.add_option("--version", version, "BIOS version, 4 or 5 characters; characters 3-4 are the platform key (default 08RK)");
    app.add_option("--part-number", partNumber, "BIOS part number, 3 characters (default 047)");
    app.add_option("--date", date, "BIOS date MM/DD/YY (default 01/20/12)");
    app.add_option("--size", size, "ROM size: 524288, 1048576 or 2097152 (default: 2097152, or the profile's flash part)");
    app.add_option("--tag", tag, "the page tag that tells this image's blocks apart, up to 8 characters (default: the version)");
    app.add_option("--escd-keep", escdKeep, "bytes at the start of the ESCD block its record leaves out; 0: whole block")
        ->capture_default_str();
    app.add_option("--attr", attributes, "INDEX=VALUE: the attributes of record INDEX (0x22 write, 0x122 top, 0 left out)");
    CLI11_PARSE(app, argc, argv);

    emu::wph::ImageOptions o;
    if (!machine.empty()) {
        std::string text, error;
        json profile;
        if (!emu::ReadTextFile(machine, &text, &error) || !emu::CompleteProfile(text, &profile, &error))
            return Fail(machine + ": " + error);
        o.model = profile["bios"]["model"].get<std::string>();
        o.partNumber = profile["bios"]["partNumber"].get<std::string>();
        o.version = profile["bios"]["version"].get<std::string>();
        o.romSize = profile["flash"]["size"].get<uint32_t>();
        if (newer && !NextVersion(o.version, &o.version))
            return Fail("--newer: the version " + o.version + " does not begin with a two-digit release number below 99");
    } else if (newer) {
        return Fail("--newer needs --machine");
    }
    if (!model.empty()) o.model = model;
    if (!version.empty()) o.version = version;
    if (!partNumber.empty()) o.partNumber = partNumber;
    if (!date.empty()) o.date = date;
    if (size != 0) o.romSize = static_cast<uint32_t>(size);
    o.tag = tag;
    o.escdKeep = static_cast<uint32_t>(escdKeep);
    for (const std::string& a : attributes) {
        size_t eq = a.find('=');
        uint64_t index = 0, value = 0;
        if (eq == std::string::npos || !ParseNumber(a.substr(0, eq), &index) || !ParseNumber(a.substr(eq + 1), &value) ||
            value > 0xFFFF || index > 255)
            return Fail("--attr " + a + ": expected INDEX=VALUE, for example 31=0x22");
        o.attributes[static_cast<int>(index)] = static_cast<uint16_t>(value);
    }

    std::string error;
    std::vector<uint8_t> image = emu::wph::BuildImage(o, &error);
    if (image.empty()) return Fail(error);
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) return Fail("cannot write " + output);

    json description = {{"file", output},
                        {"model", o.model},
                        {"version", o.version},
                        {"partNumber", o.partNumber},
                        {"platformKey", o.version.substr(2, 2)},
                        {"date", o.date},
                        {"tag", o.tag.empty() ? o.version : o.tag},
                        {"romSize", o.romSize},
                        {"fileSize", image.size()},
                        {"records", emu::wph::DefaultRecords(o).size()}};
    std::printf("%s\n", description.dump().c_str());
    return 0;
}
