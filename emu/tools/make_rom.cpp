// make-rom: writes a ".rom" AMI BIOS image for the emulated notebook (format: emu/tools/rom_image.h).
//
//   make-rom -o FILE [--part-number P] [--version N] [--size BYTES] [--fid-offset N] [--decoys N]
//            [--no-record] [--tag T]
//
// The image is the flash part's whole contents: 0xFF but for the tag at its start and the "$FID"
// record naming the part number and the decimal version (--decoys puts records of another kind in
// front of it; --no-record leaves it out). On success one JSON line describes the image.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emu/tools/rom_image.h"

int main(int argc, char** argv) {
    CLI::App app{"make-rom: writes an AMI BIOS image for the emulated notebook"};
    std::string output;
    emu::rom::RomLayout layout;
    bool noRecord = false;
    app.add_option("-o,--output", output, "the image file")->required();
    app.add_option("--part-number", layout.partNumber, "3 characters")->check([](const std::string& p) {
        return p.size() == 3 ? std::string() : std::string("the part number has 3 characters");
    });
    app.add_option("--version", layout.version, "decimal version")->check(CLI::Range(0u, 99999999u));
    app.add_option("--size", layout.size, "image size")->check(CLI::IsMember({0x100000u, 0x200000u}));
    app.add_option("--fid-offset", layout.fidOffset, "where the record lies");
    app.add_option("--decoys", layout.decoys, "records of another kind in front of it")->check(CLI::Range(0, 16));
    app.add_option("--tag", layout.tag, "text at the image's start");
    app.add_flag("--no-record", noRecord, "no \"$FID\" record");
    CLI11_PARSE(app, argc, argv);
    layout.record = !noRecord;
    if (static_cast<uint64_t>(layout.fidOffset) + 64 > layout.size ||
        static_cast<uint64_t>(layout.decoys) * 64 > layout.fidOffset) {
        std::fprintf(stderr, "make-rom: the records do not fit the image\n");
        return 2;
    }

    std::vector<uint8_t> image = emu::rom::MakeRomImage(layout);
    std::ofstream out(output, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) {
        std::fprintf(stderr, "make-rom: %s: cannot write\n", output.c_str());
        return 2;
    }
    nlohmann::json d = {{"file", output}, {"size", image.size()}, {"record", layout.record}, {"tag", layout.tag}};
    if (layout.record) d.update({{"partNumber", layout.partNumber}, {"version", layout.version}, {"fidOffset", layout.fidOffset}});
    std::printf("%s\n", d.dump().c_str());
    return 0;
}
