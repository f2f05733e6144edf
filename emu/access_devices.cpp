// The access devices and the physical drives, from the drivers' side: which device exists on
// which notebook, how each must be opened, and the request records each accepts. A malformed
// request (unknown code, wrong lengths, a width other than 1, 2 or 4) is refused as a driver
// refuses it: DeviceIoControl fails with ERROR_INVALID_PARAMETER and nothing is carried out.
#include <cctype>

#include "emu/devices.h"
#include "emu/machine.h"
#include "emu/winerror.h"
#include "emu/world.h"

namespace emu {
namespace {

using machine::Machine;
using nlohmann::json;

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kShareRead = 1, kShareWrite = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kDeleteOnClose = 0x04000000u;
constexpr uint32_t kMaxBlock = 0x1000000;  // the largest memory block a driver maps at once

// Codes of the access devices: (device type 0x9C41 or 0x22) << 16 | function << 2, buffered.
constexpr uint32_t kQlixPort = 0x9C412008, kQlixMemory = 0x9C41200C;
constexpr uint32_t kSmartGetVersion = 0x00074080, kSmartReceiveDriveData = 0x0007C088;

enum class Op { ReadPort, WritePort, ReadMemory, WriteMemory };

struct CodeRow {
    uint32_t code;
    Op op;
    int width;  // ports: 1, 2 or 4
};

constexpr CodeRow kKmdfCodes[] = {
    {0x9C412400, Op::ReadPort, 1},   {0x9C412404, Op::WritePort, 1},  {0x9C412408, Op::ReadPort, 2},
    {0x9C41240C, Op::WritePort, 2},  {0x9C412410, Op::ReadPort, 4},   {0x9C412414, Op::WritePort, 4},
    {0x9C412800, Op::ReadMemory, 0}, {0x9C412804, Op::WriteMemory, 0},
};
constexpr CodeRow kAddmemCodes[] = {
    {0x222034, Op::WritePort, 1},   {0x222038, Op::ReadPort, 1},     {0x22203C, Op::WritePort, 2},
    {0x222040, Op::ReadPort, 2},    {0x222044, Op::WritePort, 4},    {0x222048, Op::ReadPort, 4},
    {0x22204C, Op::ReadMemory, 0},  {0x222050, Op::WriteMemory, 0},
};
// The VxD: one byte code for each direction (the width comes in the record) and the memory codes
// it shares with the ADDMEM driver.
constexpr CodeRow kMemioCodes[] = {
    {0x9C412400, Op::ReadPort, 0},
    {0x9C412404, Op::WritePort, 0},
    {0x22204C, Op::ReadMemory, 0},
    {0x222050, Op::WriteMemory, 0},
};

template <size_t N>
const CodeRow* FindCode(const CodeRow (&table)[N], uint32_t code) {
    for (const CodeRow& r : table)
        if (r.code == code) return &r;
    return nullptr;
}

uint32_t Load(const std::vector<uint8_t>& b, size_t at, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}

uint64_t Load64(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint64_t>(Load(b, at, 4)) | (static_cast<uint64_t>(Load(b, at + 4, 4)) << 32);
}

void Store(std::vector<uint8_t>* b, size_t at, uint32_t v, int width) {
    for (int i = 0; i < width; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool IsNt() { return ProfileValue("/windows/platform") == "nt"; }
bool WindowsIs(int major, int minor) {
    return IsNt() && ProfileValue("/windows/major") == major && ProfileValue("/windows/minor") == minor;
}
bool Qtv() { return ProfileValue("/accessDevices/qtv").get<bool>(); }

// One refusal or acceptance of a request, with the reason a test can read.
struct Outcome {
    uint32_t error = 0;
    std::string reason;
};

Outcome Refuse(uint32_t error, std::string reason) { return Outcome{error, std::move(reason)}; }
Outcome Invalid(std::string reason) { return Refuse(winerr::kInvalidParameter, std::move(reason)); }

std::string Lengths(size_t in, size_t out) {
    return "input length " + std::to_string(in) + ", output length " + std::to_string(out);
}

// The rejectRequests knob: a device that refuses requests it would otherwise carry out.
bool KnobRefuses(Machine& m, bool portRequest) {
    std::string mode = m.faults.value("rejectRequests", std::string("none"));
    if (mode == "none" || (mode == "ports" && !portRequest)) return false;
    json& count = m.faults["rejectRequestsCount"];
    if (count.is_number()) {
        if (count.get<uint64_t>() == 0) return false;
        count = count.get<uint64_t>() - 1;
    }
    return true;
}

uint32_t ReadPortValue(Machine& m, uint32_t port, int width) { return machine::PortRead(m, static_cast<uint16_t>(port), width); }
void WritePortValue(Machine& m, uint32_t port, int width, uint32_t v) { machine::PortWrite(m, static_cast<uint16_t>(port), width, v); }

bool GoodWidth(uint64_t w) { return w == 1 || w == 2 || w == 4; }

Outcome Qlix(Machine& m, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out) {
    if (code != kQlixPort && code != kQlixMemory) return Invalid("unknown code " + machine::Hex(code, 8));
    bool wide = ProfileValue("/windows/wow64").get<bool>();  // the 64-bit driver reads the 64-bit layout
    size_t header = wide ? 17 : 9;
    if (in.size() < header) return Invalid(Lengths(in.size(), outSize) + ": shorter than the " + std::to_string(header) + "-byte header");
    uint64_t address = wide ? Load64(in, 0) : Load(in, 0, 4);
    uint8_t direction = in[wide ? 8 : 4];
    uint64_t length = wide ? Load64(in, 9) : Load(in, 5, 4);
    if (direction > 1) return Invalid("direction " + std::to_string(direction) + " (0 writes, 1 reads)");
    bool read = direction == 1;
    bool port = code == kQlixPort;
    if (port && !GoodWidth(length)) return Invalid("port width " + std::to_string(length));
    if (!port && (length == 0 || length > kMaxBlock)) return Invalid("memory length " + std::to_string(length));
    size_t expectIn = header + (read ? 0 : length);
    if (in.size() != expectIn || outSize != length)
        return Invalid(Lengths(in.size(), outSize) + ", expected " + Lengths(expectIn, length));
    if (port && address > 0xFFFF) return Invalid("port " + machine::Hex(address, 8));
    if (KnobRefuses(m, port)) return Refuse(winerr::kGenFailure, "the device refuses requests (fault knob)");
    int width = static_cast<int>(length);
    if (port && read) {
        out->assign(length, 0);
        Store(out, 0, ReadPortValue(m, static_cast<uint32_t>(address), width), width);
    } else if (port) {
        WritePortValue(m, static_cast<uint32_t>(address), width, Load(in, header, width));
    } else if (read) {
        out->assign(length, 0);
        machine::MemoryRead(m, address, out->data(), length);
    } else {
        machine::MemoryWrite(m, address, in.data() + header, length);
    }
    return {};
}

Outcome Kmdf(Machine& m, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out,
             const CallerMemory& memory) {
    const CodeRow* row = FindCode(kKmdfCodes, code);
    if (row == nullptr) return Invalid("unknown code " + machine::Hex(code, 8));
    if (in.size() < 16) return Invalid(Lengths(in.size(), outSize) + ": shorter than the 16-byte record");
    uint32_t length = Load(in, 8, 4);
    bool port = row->op == Op::ReadPort || row->op == Op::WritePort;
    if (port && length != static_cast<uint32_t>(row->width))
        return Invalid("length " + std::to_string(length) + " in a " + std::to_string(row->width) + "-byte port request");
    if (!port && (length == 0 || length > kMaxBlock)) return Invalid("memory length " + std::to_string(length));
    if (in.size() != 16 + length || outSize != 16 + length)
        return Invalid(Lengths(in.size(), outSize) + ", expected both " + std::to_string(16 + length));
    uint32_t portNumber = Load(in, 0, 4);
    if (port && portNumber > 0xFFFF) return Invalid("port " + machine::Hex(portNumber, 8));
    if (memory(Load(in, 12, 4), length) == nullptr)
        return Invalid("data pointer " + machine::Hex(Load(in, 12, 4), 8) + " does not name the caller's memory");
    if (KnobRefuses(m, port)) return Refuse(winerr::kGenFailure, "the device refuses requests (fault knob)");
    // The record comes back as it went, the data-pointer field unchanged, results at offset 16.
    *out = in;
    switch (row->op) {
        case Op::ReadPort: Store(out, 16, ReadPortValue(m, portNumber, row->width), row->width); break;
        case Op::WritePort: WritePortValue(m, portNumber, row->width, Load(in, 16, row->width)); break;
        case Op::ReadMemory: machine::MemoryRead(m, Load(in, 4, 4), out->data() + 16, length); break;
        case Op::WriteMemory: machine::MemoryWrite(m, Load(in, 4, 4), in.data() + 16, length); break;
    }
    return {};
}

// Memory requests of the ADDMEM driver and the VxD: the address as u64, for writes the block
// after it; the output is the destination (reads) or the caller's source block (writes, left
// untouched).
Outcome AddmemMemory(Machine& m, Op op, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out) {
    if (outSize == 0 || outSize > kMaxBlock) return Invalid("memory length " + std::to_string(outSize));
    size_t expectIn = op == Op::ReadMemory ? 8 : 8 + static_cast<size_t>(outSize);
    if (in.size() != expectIn) return Invalid(Lengths(in.size(), outSize) + ", expected input length " + std::to_string(expectIn));
    if (KnobRefuses(m, false)) return Refuse(winerr::kGenFailure, "the device refuses requests (fault knob)");
    uint64_t address = Load64(in, 0);
    if (op == Op::ReadMemory) {
        out->assign(outSize, 0);
        machine::MemoryRead(m, address, out->data(), outSize);
    } else {
        machine::MemoryWrite(m, address, in.data() + 8, outSize);
    }
    return {};
}

Outcome Addmem(Machine& m, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out) {
    const CodeRow* row = FindCode(kAddmemCodes, code);
    if (row == nullptr) return Invalid("unknown code " + machine::Hex(code, 8));
    if (row->op == Op::ReadMemory || row->op == Op::WriteMemory) return AddmemMemory(m, row->op, in, outSize, out);
    if (in.size() != 8 || outSize != static_cast<uint32_t>(row->width))
        return Invalid(Lengths(in.size(), outSize) + ", expected " + Lengths(8, row->width));
    uint32_t port = Load(in, 0, 4);
    if (port > 0xFFFF) return Invalid("port " + machine::Hex(port, 8));
    if (KnobRefuses(m, true)) return Refuse(winerr::kGenFailure, "the device refuses requests (fault knob)");
    if (row->op == Op::ReadPort) {
        out->assign(row->width, 0);
        Store(out, 0, ReadPortValue(m, port, row->width), row->width);
    } else {
        WritePortValue(m, port, row->width, Load(in, 4, row->width));
    }
    return {};
}

// The VxD's port record: port at 0, the access width at 4 (0 or 1: a byte, 2, 4), a pointer to
// the caller's value at 12. The VxD reads a written value through the pointer and stores a read
// value through it, `width` bytes either way.
Outcome Memio(Machine& m, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize, std::vector<uint8_t>* out,
              const CallerMemory& memory) {
    const CodeRow* row = FindCode(kMemioCodes, code);
    if (row == nullptr) return Invalid("unknown code " + machine::Hex(code, 8));
    if (row->op == Op::ReadMemory || row->op == Op::WriteMemory) return AddmemMemory(m, row->op, in, outSize, out);
    if (in.size() != 16 || outSize != 16) return Invalid(Lengths(in.size(), outSize) + ", expected both 16");
    uint32_t port = Load(in, 0, 4);
    uint32_t width = Load(in, 4, 4);
    if (width == 0) width = 1;
    if (!GoodWidth(width)) return Invalid("width " + std::to_string(width) + " at offset 4");
    if (port > 0xFFFF) return Invalid("port " + machine::Hex(port, 8));
    uint8_t* value = memory(Load(in, 12, 4), width);
    if (value == nullptr) return Invalid("value pointer " + machine::Hex(Load(in, 12, 4), 8) + " does not name the caller's memory");
    if (KnobRefuses(m, true)) return Refuse(winerr::kGenFailure, "the device refuses requests (fault knob)");
    int w = static_cast<int>(width);
    if (row->op == Op::ReadPort) {
        uint32_t v = ReadPortValue(m, port, w);
        for (int i = 0; i < w; ++i) value[i] = static_cast<uint8_t>(v >> (8 * i));
    } else {
        uint32_t v = 0;
        for (int i = 0; i < w; ++i) v |= static_cast<uint32_t>(value[i]) << (8 * i);
        WritePortValue(m, port, w, v);
    }
    *out = in;
    return {};
}

// ---- physical drives ----

const json* DriveProfile(int n) {
    const json& drives = ProfileValue("/drives");
    if (!drives.is_array() || n < 0 || static_cast<size_t>(n) >= drives.size() || drives[n].is_null()) return nullptr;
    return &drives[n];
}

uint8_t DeviceMap() {
    uint8_t map = 0;
    for (int n = 0; n < 4; ++n)
        if (const json* d = DriveProfile(n)) map |= static_cast<uint8_t>((*d)["kind"] == "atapi" ? 1 << (n + 4) : 1 << n);
    return map;
}

// IDENTIFY data: text fields hold their characters in pairs, the first of each pair in the
// word's high byte.
void PutIdentifyText(std::vector<uint8_t>* data, int firstWord, int words, const std::string& text) {
    std::string t = text;
    t.resize(static_cast<size_t>(words) * 2, ' ');
    for (int i = 0; i < words * 2; i += 2) {
        (*data)[firstWord * 2 + i] = static_cast<uint8_t>(t[i + 1]);
        (*data)[firstWord * 2 + i + 1] = static_cast<uint8_t>(t[i]);
    }
}

std::vector<uint8_t> IdentifyData(const json& d, int n) {
    std::vector<uint8_t> data(512, 0);
    bool atapi = d["kind"] == "atapi";
    uint16_t word0 = d["word0"].is_number() ? d["word0"].get<uint16_t>() : atapi ? 0x85C0 : 0x0040;
    uint16_t word128 = d["word128"].is_number()                 ? d["word128"].get<uint16_t>()
                       : atapi                                   ? 0
                       : d["securityEnabled"].get<bool>() ? 0x0003  // supported, enabled
                                                          : 0x0001;
    data[0] = static_cast<uint8_t>(word0);
    data[1] = static_cast<uint8_t>(word0 >> 8);
    data[256] = static_cast<uint8_t>(word128);
    data[257] = static_cast<uint8_t>(word128 >> 8);
    PutIdentifyText(&data, 10, 10, "EMU" + std::to_string(1000 + n));
    PutIdentifyText(&data, 23, 4, "1.0");
    PutIdentifyText(&data, 27, 20, d["model"].get<std::string>());
    return data;
}

Outcome Drive(const OpenDevice& dev, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize,
              std::vector<uint8_t>* out) {
    const json* d = DriveProfile(dev.drive);
    if (d == nullptr) return Refuse(winerr::kFileNotFound, "the drive is gone");
    if (code != kSmartGetVersion && code != kSmartReceiveDriveData) return Refuse(winerr::kInvalidFunction, "unknown code " + machine::Hex(code, 8));
    if (!(*d)["smart"].get<bool>()) return Refuse(winerr::kInvalidFunction, "the drive's controller has no SMART interface");
    if (code == kSmartGetVersion) {
        if (outSize != 24) return Invalid(Lengths(in.size(), outSize) + ", expected output length 24");
        out->assign(24, 0);
        (*out)[0] = 1;  // version
        (*out)[1] = 1;  // revision
        (*out)[3] = DeviceMap();
        (*out)[4] = 0x07;  // ATA and ATAPI IDENTIFY, SMART commands
        return {};
    }
    // The request must read exactly what the IDENTIFY of this drive needs.
    if ((dev.access & (kGenericRead | kGenericWrite)) != (kGenericRead | kGenericWrite))
        return Refuse(winerr::kAccessDenied, "the drive was not opened for reading and writing");
    if (in.size() != 32 || outSize != 528) return Invalid(Lengths(in.size(), outSize) + ", expected " + Lengths(32, 528));
    int n = dev.drive;
    struct Field {
        size_t offset;
        const char* name;
        uint32_t expected;
        int width;
    };
    const Field fields[] = {
        {0, "buffer size", 512, 4},
        {4, "features register", 0, 1},
        {5, "sector count register", 1, 1},
        {6, "sector number register", 1, 1},
        {7, "cylinder low register", 0, 1},
        {8, "cylinder high register", 0, 1},
        {9, "drive/head register", n % 2 == 0 ? 0xA0u : 0xB0u, 1},
        {11, "reserved register", 0, 1},
        {12, "drive number", static_cast<uint32_t>(n), 1},
    };
    for (const Field& f : fields)
        if (Load(in, f.offset, f.width) != f.expected)
            return Invalid(std::string(f.name) + " " + machine::Hex(Load(in, f.offset, f.width)) + ", expected " + machine::Hex(f.expected));
    for (size_t i = 13; i < 32; ++i)
        if (in[i] != 0) return Invalid("reserved byte " + std::to_string(i) + " is not 0");
    uint8_t command = in[10];
    if (command != 0xEC && command != 0xA1) return Invalid("command register " + machine::Hex(command) + ", expected 0xEC or 0xA1");
    out->assign(528, 0);
    Store(out, 0, 512, 4);
    bool atapi = (*d)["kind"] == "atapi";
    if ((command == 0xA1) != atapi) {
        // The device aborts the command it does not implement: an IDE error, no data.
        (*out)[4] = 1;     // SMART_IDE_ERROR
        (*out)[5] = 0x04;  // ABRT
        return {};
    }
    std::vector<uint8_t> data = IdentifyData(*d, n);
    std::copy(data.begin(), data.end(), out->begin() + 16);
    return {};
}

struct DeviceRule {
    DeviceKind kind;
    const char* path;  // upper case, after "\\.\"
    const char* name;
    uint32_t flags;
    uint32_t disposition;
};

constexpr DeviceRule kAccessDevices[] = {
    {DeviceKind::Qlix, "QLIX\\QLIXDRV.LOG", "QLIX", kAttributeNormal, kOpenExisting},
    {DeviceKind::Kmdf, "KMDFMEMIO\\KMDFMEMIOSAMP.LOG", "KMDFMEMIO", kAttributeNormal, kOpenExisting},
    {DeviceKind::Addmem, "ADDMEM", "ADDMEM", kAttributeNormal, kOpenExisting},
    // A dynamic VxD is loaded by a create with disposition 0 and unloaded when its handle closes.
    {DeviceKind::Memio, "MEMIO.VXD", "MEMIO.VXD", kDeleteOnClose | kAttributeNormal, 0},
};

bool DeviceExists(DeviceKind kind, const Machine& m) {
    switch (kind) {
        case DeviceKind::Qlix: return WindowsIs(6, 1) && Qtv();
        case DeviceKind::Kmdf: return WindowsIs(6, 0) && Qtv();
        case DeviceKind::Addmem:
            return IsNt() && m.services.contains("ADDMEM") && m.services["ADDMEM"]["running"].get<bool>();
        case DeviceKind::Memio: return !IsNt() && ProfileValue("/accessDevices/memioVxd").get<bool>();
        case DeviceKind::PhysicalDrive: return false;
    }
    return false;
}

void RecordOpen(const std::string& device, uint32_t error, const std::string& reason) {
    DeviceEvent e;
    e.what = "open";
    e.device = device;
    e.accepted = error == 0;
    e.error = error;
    e.reason = reason;
    machine::RecordDevice(e);
}

uint32_t OpenAccessDevice(Machine& m, const DeviceRule& rule, uint32_t access, uint32_t share, uint32_t disposition,
                          uint32_t flags, std::string* reason) {
    if (!DeviceExists(rule.kind, m)) {
        *reason = "no such device on this notebook";
        return winerr::kFileNotFound;
    }
    json& failures = m.faults["deviceOpenFailures"];
    json& spared = m.faults["deviceOpensBeforeFailures"];
    if (failures.is_number() && failures.get<uint64_t>() > 0 && spared.is_number() && spared.get<uint64_t>() > 0) {
        spared = spared.get<uint64_t>() - 1;
    } else if (failures.is_number() && failures.get<uint64_t>() > 0) {
        failures = failures.get<uint64_t>() - 1;
        *reason = "the open fails (fault knob deviceOpenFailures)";
        return winerr::kFileNotFound;
    }
    if (access != (kGenericRead | kGenericWrite) || share != 0 || disposition != rule.disposition || flags != rule.flags) {
        *reason = "opened with access " + machine::Hex(access, 8) + ", share " + std::to_string(share) + ", disposition " +
                  std::to_string(disposition) + ", flags " + machine::Hex(flags, 8);
        // The VxD is only loaded by the create that asks for it; the drivers refuse other opens.
        return rule.kind == DeviceKind::Memio ? winerr::kFileNotFound : winerr::kInvalidParameter;
    }
    return 0;
}

}  // namespace

uint32_t OpenDevicePath(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                        uint32_t flagsAndAttributes, OpenDevice* device) {
    auto lock = LockState();
    if (WorldRoot().empty()) return winerr::kFileNotFound;
    Machine& m = machine::Current();
    std::string upper = Upper(path);
    std::string rest = upper.rfind("\\\\.\\", 0) == 0 ? upper.substr(4) : std::string();
    for (const DeviceRule& rule : kAccessDevices) {
        if (rest != rule.path) continue;
        std::string reason;
        uint32_t error = OpenAccessDevice(m, rule, access, share, disposition, flagsAndAttributes, &reason);
        RecordOpen(rule.name, error, reason);
        if (error != 0) return error;
        device->kind = rule.kind;
        device->access = access;
        device->name = rule.name;
        ++m.openDevices;
        return 0;
    }
    const std::string prefix = "PHYSICALDRIVE";
    if (rest.rfind(prefix, 0) == 0) {
        std::string digits = rest.substr(prefix.size());
        bool number = !digits.empty() && digits.size() <= 3 && (digits == "0" || digits[0] != '0');
        for (char c : digits) number = number && std::isdigit(static_cast<unsigned char>(c));
        int n = number ? std::stoi(digits) : -1;
        std::string name = "PhysicalDrive" + digits;
        uint32_t error = 0;
        std::string reason;
        if (!number || !IsNt() || DriveProfile(n) == nullptr) {
            error = winerr::kFileNotFound;
            reason = "no such drive";
        } else if (disposition != kOpenExisting) {
            error = winerr::kInvalidParameter;
            reason = "a drive is opened as an existing device";
        } else if ((share & (kShareRead | kShareWrite)) != (kShareRead | kShareWrite)) {
            // The system itself holds the disk open for reading and writing.
            error = winerr::kSharingViolation;
            reason = "the drive is in use and the open does not share reading and writing";
        }
        RecordOpen(name, error, reason);
        if (error != 0) return error;
        device->kind = DeviceKind::PhysicalDrive;
        device->drive = n;
        device->access = access;
        device->name = name;
        ++m.openDevices;
        return 0;
    }
    RecordOpen(path, winerr::kFileNotFound, "no such device");
    return winerr::kFileNotFound;
}

void CloseDevice(const OpenDevice& device) {
    auto lock = LockState();
    if (WorldRoot().empty()) return;
    Machine& m = machine::Current();
    if (m.openDevices > 0) --m.openDevices;
    DeviceEvent e;
    e.what = "close";
    e.device = device.name;
    e.accepted = true;
    machine::RecordDevice(e);
}

uint32_t DeviceControl(const OpenDevice& device, uint32_t code, const std::vector<uint8_t>& in, uint32_t outSize,
                       std::vector<uint8_t>* out, const CallerMemory& memory) {
    auto lock = LockState();
    out->clear();
    if (WorldRoot().empty()) return winerr::kInvalidHandle;
    Machine& m = machine::Current();
    Outcome r;
    switch (device.kind) {
        case DeviceKind::Qlix: r = Qlix(m, code, in, outSize, out); break;
        case DeviceKind::Kmdf: r = Kmdf(m, code, in, outSize, out, memory); break;
        case DeviceKind::Addmem: r = Addmem(m, code, in, outSize, out); break;
        case DeviceKind::Memio: r = Memio(m, code, in, outSize, out, memory); break;
        case DeviceKind::PhysicalDrive: r = Drive(device, code, in, outSize, out); break;
    }
    if (r.error != 0) out->clear();
    DeviceEvent e;
    e.what = "request";
    e.device = device.name;
    e.code = code;
    e.inSize = static_cast<uint32_t>(in.size());
    e.outSize = outSize;
    e.accepted = r.error == 0;
    e.error = r.error;
    e.reason = r.reason;
    machine::RecordDevice(e);
    return r.error;
}

}  // namespace emu
