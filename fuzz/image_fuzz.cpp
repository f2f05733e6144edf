// libFuzzer target: arbitrary bytes as the BIOS image "bios.wph", scanned for its identity and
// its flash block table on an emulated notebook.
//
// Input: byte 0 chooses the run (bit 0 BreakEscd, bit 1 MarkLastFlashBlock, bit 2 a DMI-only run,
// bit 3 an image of a megabyte or more, bit 4 the first part placed to end where the identity
// scan ends, bit 5 the identity read on an image with a trailer too), byte 1 the DMI block's index, bytes 2-3 the length of the first part. The first
// part starts the image, which 0xFF fills up to the place of the trailer (half a megabyte in,
// or one megabyte for a large image); the rest of the input follows there. Without a rest the
// image of a small run is the first part alone.
//
// Besides the sanitizers' findings, the target fails when marking changes the file's size, changes
// anything when it had nothing to do or found no trailer, reports a marked block it was not asked
// for, or writes anything but whole records; and when the identity read takes other fields than
// the first identity block's.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/context.h"
#include "core/run_options.h"
#include "bios/image.h"
#include "emu/world.h"
#include "fuzz/fuzz_world.h"
#include "os/os.h"

namespace {

constexpr const char* kTarget = "image_fuzz";
constexpr const char* kImage = "bios.wph";
constexpr size_t kSmallTrailer = 0x80000, kLargeTrailer = 0x100000;
constexpr size_t kSmallScanEnd = 0x7FFD8, kLargeScanEnd = 0xFFFD8;

std::string gImagePath;  // host path of bios.wph

std::string ReadImage() {
    std::ifstream in(gImagePath, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The first position below the scan's end where text stands with room for its block.
size_t FirstBlock(const std::string& image, const char* text, size_t blockEnd, size_t scanEnd) {
    const size_t n = std::strlen(text);
    for (size_t p = image.find(text); p != std::string::npos && p < scanEnd; p = image.find(text, p + 1))
        if (p + (blockEnd > n ? blockEnd : n) <= image.size()) return p;
    return std::string::npos;
}

// The field as the identity read keeps it: up to 4 characters, ending at a zero byte.
std::string Field(const std::string& image, size_t at) {
    std::string f = image.substr(at, 4);
    return f.substr(0, f.find('\0'));
}

template <size_t N>
void ExpectTerminated(const char (&field)[N], const char* name) {
    if (strnlen(field, N) == N) fuzz::Fail(kTarget, std::string(name) + " is not terminated within its buffer");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!fuzz::MakeWorld(kTarget, "default")) std::abort();
    gImagePath = emu::HostPathOf(kImage);  // in the current directory, the program's folder
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t options = data[0];
    const bool large = (options & 8) != 0;
    const size_t trailer = large ? kLargeTrailer : kSmallTrailer;
    const size_t scanEnd = large ? kLargeScanEnd : kSmallScanEnd;
    const uint8_t* rest = data + 4;
    const size_t restSize = size - 4;
    const size_t firstSize = std::min<size_t>(data[2] | (data[3] << 8), restSize);

    const std::string first(reinterpret_cast<const char*>(rest), firstSize);
    const std::string second(reinterpret_cast<const char*>(rest) + firstSize, restSize - firstSize);
    std::string image;
    if (second.empty() && !large) {
        image = first;
    } else {
        image.assign(trailer, '\xFF');
        const size_t at = (options & 16) != 0 ? scanEnd + 40 - firstSize : 0;
        image.replace(at, firstSize, first);
        image += second;
    }
    std::ofstream(gImagePath, std::ios::binary | std::ios::trunc).write(image.data(), static_cast<std::streamsize>(image.size()));

    ResetUpdateContext();
    if ((options & 4) != 0) {
        ctx.runOptions = DmiOnly;
    } else {
        if ((options & 1) != 0) ctx.runOptions |= BreakEscd;
        if ((options & 2) != 0) ctx.runOptions |= MarkLastFlashBlock;
    }
    ctx.dmiBlockIndex = data[1];

    // The identity scan looks at every position of the first (half) megabyte: on a padded image
    // it is the slow part, so the input asks for it there.
    if (image.size() < trailer || (options & 32) != 0) {
        ReadImageIdentity(kImage);
        ExpectTerminated(ctx.newModel, "newModel");
        ExpectTerminated(ctx.newVersion, "newVersion");
        ExpectTerminated(ctx.newPartNumber, "newPartNumber");
        const size_t identity = FirstBlock(image, "DiaG@", 29, scanEnd);
        const std::string model = identity == std::string::npos ? "" : Field(image, identity + 12);
        const std::string version = identity == std::string::npos ? "" : Field(image, identity + 25);
        if (model != ctx.newModel || version != ctx.newVersion)
            fuzz::Fail(kTarget, "the identity read took other fields than the first block's");
    }

    const int marked = MarkFlashBlocks();
    const std::string after = ReadImage();
    if (after.size() != image.size()) fuzz::Fail(kTarget, "marking changed the image's size");
    if (marked != 0 && (ctx.runOptions & MarkLastFlashBlock) == 0) fuzz::Fail(kTarget, "a last block marked unasked");
    const bool trailerThere = image.size() > trailer && image.find("ZFLPF", trailer) != std::string::npos &&
                              image.find("ZQDS", trailer) != std::string::npos;
    if ((ctx.runOptions == 0 || !trailerThere) && after != image) fuzz::Fail(kTarget, "the image changed without a reason");
    // Marking rewrites records of the table, which holds at most 255 of 16 bytes before its end.
    size_t changed = 0;
    for (size_t i = 0; i < image.size(); ++i) changed += image[i] != after[i];
    if (changed > 16 * 256) fuzz::Fail(kTarget, "marking changed more bytes than a table holds");

    os::DeleteFile(kImage);
    return 0;
}
