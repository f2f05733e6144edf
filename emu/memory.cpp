// Physical memory of the notebook: RAM below 0xA0000, the legacy BIOS segment at 0xF0000 built
// from the profile (DMI entry point and structure table, the identification blocks, the software
// SMI record), and the flash part's window at the top of the 4 GiB space. And the BIOS's software
// SMI handler, which answers requests in a RAM buffer.
#include <algorithm>
#include <cstring>

#include "emu/machine.h"
#include "emu/world.h"

namespace emu::machine {
namespace {

constexpr uint64_t kRamEnd = 0xA0000;
constexpr uint64_t kSegment = 0xF0000;
constexpr uint64_t kLowEnd = 0x100000;
constexpr uint64_t kFourGiB = 0x100000000ull;

// Where the identification blocks lie in the F0000 segment. Any places would do; these are
// spread out and not aligned, since the BIOS promises no alignment for them.
constexpr uint32_t kDevelOffset = 0x1231;
constexpr uint32_t kDiagOffset = 0x2345;
constexpr uint32_t kSwSmiOffset = 0x3457;
constexpr uint32_t kAmiBlockOffset = 0x4563;
constexpr uint32_t kAmiVersionMarkerOffset = 0x4600;  // on a 16-byte boundary, after the "AMIBIOS" block
// Where the AMI image record lies in a generated flash part.
constexpr uint32_t kFidOffset = 0x10000;

const json& Prof(const char* pointer) { return ProfileValue(pointer); }

void Put(std::vector<uint8_t>& mem, uint64_t at, const void* bytes, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < n && at + i < mem.size(); ++i) mem[at + i] = b[i];
}

void PutText(std::vector<uint8_t>& mem, uint64_t at, const std::string& text) { Put(mem, at, text.data(), text.size()); }

// One DMI structure in the published format: the formatted area, then its strings, each ended
// by a zero byte, and a final zero byte (two zero bytes when there are no strings). Empty strings
// cannot be written in a string set: their field holds 0 (no string) instead.
struct Structure {
    std::vector<uint8_t> formatted;
    std::vector<std::string> strings;
    // Sets the string field at `offset` to the next string number, or 0 for an empty text.
    void AddString(size_t offset, const std::string& text) {
        if (text.empty()) {
            formatted[offset] = 0;
            return;
        }
        strings.push_back(text);
        formatted[offset] = static_cast<uint8_t>(strings.size());
    }
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out = formatted;
        for (const std::string& s : strings) {
            out.insert(out.end(), s.begin(), s.end());
            out.push_back(0);
        }
        if (strings.empty()) out.push_back(0);
        out.push_back(0);
        return out;
    }
};

Structure NewStructure(uint8_t type, uint8_t length, uint16_t handle) {
    Structure s;
    s.formatted.assign(length, 0);
    s.formatted[0] = type;
    s.formatted[1] = length;
    s.formatted[2] = static_cast<uint8_t>(handle);
    s.formatted[3] = static_cast<uint8_t>(handle >> 8);
    return s;
}

std::string Dmi(const Machine& m, const char* name) {
    return m.dmi.contains(name) ? m.dmi[name].get<std::string>() : std::string();
}

// The structure table: BIOS (0), system (1), chassis (3), system boot (32, no strings), OEM
// strings (11), end of table (127).
std::vector<uint8_t> DmiTable(const Machine& m, uint16_t* count) {
    std::vector<Structure> all;
    uint32_t flashSize = static_cast<uint32_t>(m.flash.empty() ? Prof("/flash/size").get<uint32_t>() : m.flash.size());

    Structure bios = NewStructure(0, 0x12, 0);
    bios.AddString(4, Dmi(m, "biosVendor"));
    bios.AddString(5, Dmi(m, "biosVersion"));
    bios.formatted[6] = 0x00;  // starting segment 0xE800
    bios.formatted[7] = 0xE8;
    bios.AddString(8, Dmi(m, "biosReleaseDate"));
    bios.formatted[9] = static_cast<uint8_t>(flashSize / 0x10000 - 1);
    bios.formatted[10] = 0x90;  // characteristics: ISA, PCI, flash-upgradable, shadowing
    bios.formatted[11] = 0x1A;
    all.push_back(bios);

    Structure system = NewStructure(1, 0x19, 1);
    system.AddString(4, Dmi(m, "manufacturer"));
    system.AddString(5, Dmi(m, "product"));
    system.AddString(6, Dmi(m, "systemVersion"));
    system.AddString(7, Dmi(m, "serial"));
    for (int i = 8; i < 24; ++i) system.formatted[i] = static_cast<uint8_t>(0x11 * (i - 7));
    system.formatted[24] = 6;  // woken by the power switch
    all.push_back(system);

    Structure chassis = NewStructure(3, 0x09, 2);
    chassis.AddString(4, Dmi(m, "manufacturer"));
    chassis.formatted[5] = 0x0A;  // notebook
    chassis.AddString(6, "N/A");
    chassis.AddString(7, "None");
    chassis.AddString(8, "No Asset Tag");
    all.push_back(chassis);

    all.push_back(NewStructure(32, 0x0B, 3));

    Structure oem = NewStructure(11, 0x05, 4);
    oem.formatted[4] = 2;
    // OEM strings are counted, not referenced: an empty one still takes its place, as a blank.
    for (const char* name : {"biosFlag", "purchaseDate"}) {
        std::string s = Dmi(m, name);
        oem.strings.push_back(s.empty() ? " " : s);
    }
    all.push_back(oem);

    all.push_back(NewStructure(127, 0x04, 5));

    std::vector<uint8_t> table;
    *count = 0;
    const json& missing = m.faults.contains("dmiMissingTypes") ? m.faults["dmiMissingTypes"] : json::array();
    for (const Structure& s : all) {
        if (std::find(missing.begin(), missing.end(), json(s.formatted[0])) != missing.end()) continue;
        std::vector<uint8_t> b = s.Bytes();
        table.insert(table.end(), b.begin(), b.end());
        ++*count;
    }
    return table;
}

// The 4-character model: the last four characters (a shorter text as it is).
std::string ModelAnswer(const std::string& model) {
    return model.size() > 4 ? model.substr(model.size() - 4) : model;
}

std::string Digits8(uint32_t n) {
    char b[16];
    std::snprintf(b, sizeof b, "%08u", n);
    return b;
}

void BuildSegment(Machine& m, std::vector<uint8_t>& mem) {
    std::fill(mem.begin() + kSegment, mem.begin() + kLowEnd, 0xFF);
    // The identity comes from the profile (checked) or from a flash tool; whatever its lengths,
    // each field takes only its own bytes of the blocks.
    const std::string model = BiosField(m, "model").substr(0, 5);
    const std::string version = BiosField(m, "version").substr(0, 5);
    const std::string part = BiosField(m, "partNumber").substr(0, 3);

    // "DEVEL": part number at 5.
    std::vector<uint8_t> devel(10, 0);
    std::memcpy(devel.data(), "DEVEL", 5);
    std::memcpy(devel.data() + 5, part.data(), part.size());
    Put(mem, kSegment + kDevelOffset, devel.data(), devel.size());

    // "DiaG@": the 5-character model's first character at 11 (0 for a 4-character model), the
    // 4-character model at 12, the version at 25 (a fifth character at 29).
    std::vector<uint8_t> diag(40, 0);
    std::memcpy(diag.data(), "DiaG@", 5);
    std::string four = ModelAnswer(model);
    if (model.size() == 5) diag[11] = static_cast<uint8_t>(model[0]);
    std::memcpy(diag.data() + 12, four.data(), four.size());
    std::memcpy(diag.data() + 25, version.data(), version.size());
    Put(mem, kSegment + kDiagOffset, diag.data(), diag.size());

    if (Prof("/smi/present").get<bool>()) {
        std::vector<uint8_t> rec(17, 0);
        std::memcpy(rec.data(), "SwSmi@", 6);
        uint16_t port = Prof("/smi/commandPort").get<uint16_t>();
        uint16_t offset = Prof("/smi/bufferOffset").get<uint16_t>();
        uint16_t segment = Prof("/smi/bufferSegment").get<uint16_t>();
        rec[6] = static_cast<uint8_t>(port);
        rec[7] = static_cast<uint8_t>(port >> 8);
        rec[8] = Prof("/smi/secondCommand").get<uint8_t>();
        rec[9] = Prof("/smi/firstCommand").get<uint8_t>();
        rec[10] = Prof("/smi/thirdCommand").get<uint8_t>();
        rec[11] = static_cast<uint8_t>(offset);
        rec[12] = static_cast<uint8_t>(offset >> 8);
        rec[13] = static_cast<uint8_t>(segment);
        rec[14] = static_cast<uint8_t>(segment >> 8);
        rec[15] = Prof("/smi/gate").get<uint8_t>();
        Put(mem, kSegment + kSwSmiOffset, rec.data(), rec.size());
    }

    if (Prof("/bios/vendor") == "ami") {
        // "AMIBIOS" with the decimal version at 26, then the "AMIBIOS Version" marker.
        std::string block = "AMIBIOS";
        block.resize(26, ' ');
        block += Digits8(AmiVersion(m));
        PutText(mem, kSegment + kAmiBlockOffset, block);
        PutText(mem, kSegment + kAmiVersionMarkerOffset, "AMIBIOS Version " + version);
    }

    // The structure table, then the entry point that names it.
    uint16_t count = 0;
    std::vector<uint8_t> table = DmiTable(m, &count);
    uint32_t tableAddress = Prof("/dmi/tableAddress").get<uint32_t>();
    Put(mem, tableAddress, table.data(), table.size());
    if (!FaultOn(m, "dmiEntryPointMissing")) {
        std::vector<uint8_t> ep(15, 0);
        std::memcpy(ep.data(), "_DMI_", 5);
        ep[6] = static_cast<uint8_t>(table.size());
        ep[7] = static_cast<uint8_t>(table.size() >> 8);
        for (int i = 0; i < 4; ++i) ep[8 + i] = static_cast<uint8_t>(tableAddress >> (8 * i));
        ep[12] = static_cast<uint8_t>(count);
        ep[13] = static_cast<uint8_t>(count >> 8);
        ep[14] = 0x24;  // DMI 2.4
        uint8_t sum = 0;
        for (uint8_t b : ep) sum = static_cast<uint8_t>(sum + b);
        ep[5] = static_cast<uint8_t>(0x100 - sum);
        Put(mem, Prof("/dmi/entryPoint").get<uint32_t>(), ep.data(), ep.size());
    }

    // Patches of the profile come last, over everything else.
    for (const json& patch : Prof("/memory/patches")) {
        std::string hex = patch["hex"].get<std::string>();
        uint64_t at = patch["address"].get<uint64_t>();
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            if (at + i / 2 < kLowEnd) mem[at + i / 2] = static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    for (size_t i = 0; i < m.overlay.size() && m.overlayAddress + i < kLowEnd; ++i) mem[m.overlayAddress + i] = m.overlay[i];
}

}  // namespace

void BuildLowMemory(Machine& m) {
    // RAM keeps what was written to it; everything from 0xA0000 up is made again.
    std::fill(m.low.begin() + kRamEnd, m.low.end(), 0xFF);
    BuildSegment(m, m.low);
    m.memoryDirty = false;
}

void MemoryRead(Machine& m, uint64_t address, uint8_t* out, size_t length) {
    if (m.memoryDirty) BuildLowMemory(m);
    uint64_t flashBase = kFourGiB - m.flash.size();
    for (size_t i = 0; i < length; ++i) {
        uint64_t a = address + i;
        if (a < kLowEnd) out[i] = m.low[a];
        else if (a >= flashBase && a < kFourGiB) out[i] = m.flash[a - flashBase];
        else out[i] = 0xFF;
    }
}

void MemoryWrite(Machine& m, uint64_t address, const uint8_t* data, size_t length) {
    if (m.memoryDirty) BuildLowMemory(m);
    for (size_t i = 0; i < length; ++i)
        if (address + i < kRamEnd) m.low[address + i] = data[i];
}

std::vector<uint8_t> GenerateFlash(Machine& m, const json& p) {
    uint32_t size = p["flash"]["size"].get<uint32_t>();
    std::vector<uint8_t> flash(size, 0xFF);
    if (m.memoryDirty) BuildLowMemory(m);
    // The top block is what the BIOS shadows into the F0000 segment.
    std::copy(m.low.begin() + kSegment, m.low.end(), flash.end() - 0x10000);
    if (p["bios"]["vendor"] == "ami") {
        // The AMI image's identification record: "$FID", "?" at 5, the part number at 9 and the
        // decimal version at 52.
        std::vector<uint8_t> fid(64, 0);
        std::memcpy(fid.data(), "$FID", 4);
        fid[4] = 0x04;
        fid[5] = '?';
        std::string part = p["bios"]["partNumber"].get<std::string>();
        std::memcpy(fid.data() + 9, part.data(), 3);
        std::string digits = Digits8(p["bios"]["amiVersion"].get<uint32_t>());
        std::memcpy(fid.data() + 52, digits.data(), 8);
        std::copy(fid.begin(), fid.end(), flash.begin() + kFidOffset);
    }
    return flash;
}

void SmiCommand(Machine& m, uint8_t value) {
    uint8_t first = Prof("/smi/firstCommand").get<uint8_t>();
    uint8_t second = Prof("/smi/secondCommand").get<uint8_t>();
    uint8_t third = Prof("/smi/thirdCommand").get<uint8_t>();
    if (value == first) {
        m.smiArmed = true;
        return;
    }
    if (value == third) {
        m.smiArmed = false;
        return;
    }
    if (value != second) return;
    if (!m.smiArmed) RecordProtocolError("SMI command " + Hex(second) + " without the first command " + Hex(first) + " before it");
    m.smiArmed = false;

    uint64_t address = Prof("/smi/bufferSegment").get<uint64_t>() * 16 + Prof("/smi/bufferOffset").get<uint64_t>();
    uint8_t request[21];
    MemoryRead(m, address, request, sizeof request);
    json record = {{"address", address}};
    if (request[0] != 'C' || request[1] != 'X') {
        // Not a request of this interface: the handler leaves the buffer alone.
        record["valid"] = false;
        m.smiRequests.push_back(record);
        return;
    }
    uint16_t function = static_cast<uint16_t>(request[2] | (request[3] << 8));
    record["function"] = function;
    if (FaultOn(m, "smiNeverCompletes")) {
        record["completed"] = false;
        m.smiRequests.push_back(record);
        return;
    }
    uint8_t* data = request + 5;
    std::memset(data, 0, 16);
    if (function == 4) {
        if (Prof("/smi/function4") == "model") {
            // The SMI handler may know the notebook under another model than its identification
            // block says (a board shared by two models).
            const auto& own = Prof("/smi/model");
            std::string four = ModelAnswer(own.is_string() ? own.get<std::string>() : BiosField(m, "model"));
            std::memcpy(data, four.data(), four.size());
        } else {
            std::memset(data, 0xFF, 16);
        }
    }
    request[4] = 0xAA;
    MemoryWrite(m, address, request, sizeof request);
    record["completed"] = true;
    m.smiRequests.push_back(record);
}

}  // namespace emu::machine
