// The ADDMEM access driver: its request core on a stand-in backend (the records and their exact
// lengths, the limits on physical memory, what is refused and counted), and the built driver
// files read from their bytes (processor, native subsystem, imports, entry point, checksum).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver/addmem_core.h"
#include "pe/pe_resources.h"

namespace {

// The notebook behind the stand-in backend: the DMI entry point in the BIOS area names a table
// above the first megabyte, where some firmware puts it.
constexpr uint64_t kEntryPoint = 0xF5A0;
constexpr uint64_t kTable = 0x3FFF0000;
constexpr uint32_t kTableLength = 0x120;
constexpr uint64_t kSmiBuffer = 0x9F000;

struct Call {
    char kind;  // 'i' port in, 'o' port out, 'r' memory read, 'w' memory write
    uint64_t where;
    uint32_t length;  // port width or block length
    uint32_t value;   // port out: the value
    bool operator==(const Call&) const = default;
};
void PrintTo(const Call& c, std::ostream* os) {
    *os << c.kind << " 0x" << std::hex << c.where << " " << std::dec << c.length << " 0x" << std::hex << c.value;
}

struct StandIn {
    std::map<uint64_t, uint8_t> memory;  // written bytes; others read as their address's low byte
    std::vector<Call> calls;
    bool fails = false;

    uint8_t At(uint64_t a) const {
        auto it = memory.find(a);
        return it != memory.end() ? it->second : static_cast<uint8_t>(a);
    }
    void Put(uint64_t a, const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) memory[a + i] = static_cast<uint8_t>(bytes[i]);
    }
};

StandIn* Of(void* context) { return static_cast<StandIn*>(context); }

int PortIn(void* c, uint16_t port, unsigned width, uint32_t* value) {
    Of(c)->calls.push_back({'i', port, width, 0});
    *value = 0xA1B2C3D4u & (width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1);
    return !Of(c)->fails;
}
int PortOut(void* c, uint16_t port, unsigned width, uint32_t value) {
    Of(c)->calls.push_back({'o', port, width, value});
    return !Of(c)->fails;
}
int MemoryRead(void* c, uint64_t address, uint32_t length, uint8_t* to) {
    Of(c)->calls.push_back({'r', address, length, 0});
    for (uint32_t i = 0; i < length; ++i) to[i] = Of(c)->At(address + i);
    return !Of(c)->fails;
}
int MemoryWrite(void* c, uint64_t address, uint32_t length, const uint8_t* from) {
    Of(c)->calls.push_back({'w', address, length, 0});
    for (uint32_t i = 0; i < length; ++i) Of(c)->memory[address + i] = from[i];
    return !Of(c)->fails;
}
const AddmemBackend kStandIn = {PortIn, PortOut, MemoryRead, MemoryWrite};

std::string EntryPoint(uint64_t table, uint16_t length) {
    std::string e = "_DMI_";
    e.resize(16, '\0');
    e[6] = static_cast<char>(length);
    e[7] = static_cast<char>(length >> 8);
    for (int i = 0; i < 4; ++i) e[8 + i] = static_cast<char>(table >> (8 * i));
    return e;
}

// The request as the program lays it out: u32 port and value, or u64 address (and the block).
// The buffer is as large as the I/O manager would make it (an output size that could only be refused
// gets a smaller one: the core must not touch it).
std::vector<uint8_t> Record(uint64_t first, uint32_t inLength, uint32_t outSize) {
    std::vector<uint8_t> b(std::max<size_t>({inLength, std::min<uint32_t>(outSize, 0x200000), 8}), 0x5A);
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(first >> (8 * i));
    return b;
}

class AddmemCoreTest : public ::testing::Test {
protected:
    void Start(bool withEntryPoint = true) {
        world = StandIn{};
        if (withEntryPoint) world.Put(ADDMEM_BIOS_AREA + kEntryPoint, EntryPoint(kTable, kTableLength));
        AddmemCoreStart(&core, &kStandIn, &world);
        world.calls.clear();
    }
    AddmemStatus Send(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inLength, uint32_t outSize) {
        returned = 0xFFFFFFFF;
        return AddmemRequest(&core, code, buffer.data(), inLength, outSize, &returned);
    }
    StandIn world;
    AddmemCore core{};
    uint32_t returned = 0;
};

struct Row {
    const char* name;
    uint32_t code;
    uint64_t first;  // port (value 0x11223344 behind it) or physical address
    uint32_t inLength, outSize;
    AddmemStatus status;
    std::vector<Call> calls;  // what reached the backend
};

constexpr uint32_t kValue = 0x11223344;
uint64_t Port(uint32_t port) { return port | static_cast<uint64_t>(kValue) << 32; }

const Row kRows[] = {
    // Ports: every code with its own lengths, and with the others.
    {"write byte", ADDMEM_WRITE_PORT_BYTE, Port(0x64), 8, 1, ADDMEM_OK, {{'o', 0x64, 1, 0x44}}},
    {"read byte", ADDMEM_READ_PORT_BYTE, Port(0x60), 8, 1, ADDMEM_OK, {{'i', 0x60, 1, 0}}},
    {"write word", ADDMEM_WRITE_PORT_WORD, Port(0x62), 8, 2, ADDMEM_OK, {{'o', 0x62, 2, 0x3344}}},
    {"read word", ADDMEM_READ_PORT_WORD, Port(0x66), 8, 2, ADDMEM_OK, {{'i', 0x66, 2, 0}}},
    {"write dword", ADDMEM_WRITE_PORT_DWORD, Port(0xCFC), 8, 4, ADDMEM_OK, {{'o', 0xCFC, 4, kValue}}},
    {"read dword", ADDMEM_READ_PORT_DWORD, Port(0xFFFF), 8, 4, ADDMEM_OK, {{'i', 0xFFFF, 4, 0}}},
    {"byte read with a word's output", ADDMEM_READ_PORT_BYTE, Port(0x60), 8, 2, ADDMEM_BAD_LENGTH, {}},
    {"byte write with a longer record", ADDMEM_WRITE_PORT_BYTE, Port(0x64), 9, 1, ADDMEM_BAD_LENGTH, {}},
    {"word read with a short record", ADDMEM_READ_PORT_WORD, Port(0x60), 4, 2, ADDMEM_BAD_LENGTH, {}},
    {"dword write without output", ADDMEM_WRITE_PORT_DWORD, Port(0x60), 8, 0, ADDMEM_BAD_LENGTH, {}},
    {"dword read with a byte's output", ADDMEM_READ_PORT_DWORD, Port(0x60), 8, 1, ADDMEM_BAD_LENGTH, {}},
    {"port above 0xFFFF", ADDMEM_READ_PORT_BYTE, Port(0x10000), 8, 1, ADDMEM_BAD_LENGTH, {}},
    {"another device's code", 0x9C412400, Port(0x60), 8, 1, ADDMEM_UNKNOWN_CODE, {}},
    {"the next code", 0x222054, Port(0x60), 8, 1, ADDMEM_UNKNOWN_CODE, {}},
    // Memory record lengths.
    {"read with a longer record", ADDMEM_READ_MEMORY, 0xF0000, 9, 16, ADDMEM_BAD_LENGTH, {}},
    {"read of nothing", ADDMEM_READ_MEMORY, 0xF0000, 8, 0, ADDMEM_BAD_LENGTH, {}},
    {"write whose block is not the output", ADDMEM_WRITE_MEMORY, kSmiBuffer, 8 + 20, 21, ADDMEM_BAD_LENGTH, {}},
    {"write of a block that wraps the length", ADDMEM_WRITE_MEMORY, kSmiBuffer, 0, 0xFFFFFFF8u, ADDMEM_BAD_LENGTH, {}},
    // The first megabyte: read and written.
    {"BIOS area whole", ADDMEM_READ_MEMORY, 0xF0000, 8, 0x10000, ADDMEM_OK, {{'r', 0xF0000, 0x10000, 0}}},
    {"last byte below 1 MiB", ADDMEM_READ_MEMORY, 0xFFFFF, 8, 1, ADDMEM_OK, {{'r', 0xFFFFF, 1, 0}}},
    {"read straddling 1 MiB", ADDMEM_READ_MEMORY, 0xFFFFF, 8, 2, ADDMEM_REFUSED, {}},
    {"read at 1 MiB", ADDMEM_READ_MEMORY, 0x100000, 8, 1, ADDMEM_REFUSED, {}},
    {"SMI buffer written", ADDMEM_WRITE_MEMORY, kSmiBuffer, 8 + 21, 21, ADDMEM_OK, {{'w', kSmiBuffer, 21, 0}}},
    {"write ending at 1 MiB", ADDMEM_WRITE_MEMORY, 0xFFFF0, 8 + 16, 16, ADDMEM_OK, {{'w', 0xFFFF0, 16, 0}}},
    {"write straddling 1 MiB", ADDMEM_WRITE_MEMORY, 0xFFFF1, 8 + 16, 16, ADDMEM_REFUSED, {}},
    {"write above 1 MiB", ADDMEM_WRITE_MEMORY, 0x200000, 8 + 4, 4, ADDMEM_REFUSED, {}},
    // The DMI structure table: read only, from its start to its end and a string block past it.
    {"table start", ADDMEM_READ_MEMORY, kTable, 8, 1, ADDMEM_OK, {{'r', kTable, 1, 0}}},
    {"string block over the table end", ADDMEM_READ_MEMORY, kTable + kTableLength - 1, 8, 32, ADDMEM_OK,
     {{'r', kTable + kTableLength - 1, 32, 0}}},
    {"block running further", ADDMEM_READ_MEMORY, kTable + kTableLength - 1, 8, 34, ADDMEM_REFUSED, {}},
    {"read after the table", ADDMEM_READ_MEMORY, kTable + kTableLength, 8, 1, ADDMEM_REFUSED, {}},
    {"read straddling the table start", ADDMEM_READ_MEMORY, kTable - 1, 8, 2, ADDMEM_REFUSED, {}},
    {"write into the table", ADDMEM_WRITE_MEMORY, kTable, 8 + 1, 1, ADDMEM_REFUSED, {}},
    // The top megabyte below 4 GiB: read only.
    {"ROM window start", ADDMEM_READ_MEMORY, 0xFFF00000, 8, 4096, ADDMEM_OK, {{'r', 0xFFF00000, 4096, 0}}},
    {"ROM window end", ADDMEM_READ_MEMORY, 0xFFFFF000, 8, 4096, ADDMEM_OK, {{'r', 0xFFFFF000, 4096, 0}}},
    {"read past 4 GiB", ADDMEM_READ_MEMORY, 0xFFFFF001, 8, 4096, ADDMEM_REFUSED, {}},
    {"read straddling the window start", ADDMEM_READ_MEMORY, 0xFFEFFFFF, 8, 2, ADDMEM_REFUSED, {}},
    {"write into the ROM window", ADDMEM_WRITE_MEMORY, 0xFFFF0000, 8 + 16, 16, ADDMEM_REFUSED, {}},
    // Elsewhere.
    {"ordinary memory", ADDMEM_READ_MEMORY, 0x1000000, 8, 16, ADDMEM_REFUSED, {}},
    {"above 4 GiB", ADDMEM_READ_MEMORY, 0x1FFF00000, 8, 16, ADDMEM_REFUSED, {}},
    {"a block that wraps the address", ADDMEM_READ_MEMORY, 0xFFFFFFFFFFFFFFF0ull, 8, 0x20, ADDMEM_REFUSED, {}},
};

TEST_F(AddmemCoreTest, ServesEachRequestOfItsExactLengthsInsideTheLimitsAndCountsTheRest) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        Start();
        std::vector<uint8_t> buffer = Record(row.first, row.inLength, row.outSize);
        EXPECT_EQ(Send(row.code, buffer, row.inLength, row.outSize), row.status);
        EXPECT_EQ(world.calls, row.calls);
        const bool served = row.status == ADDMEM_OK;
        const bool read = row.code == ADDMEM_READ_MEMORY || row.code == ADDMEM_READ_PORT_BYTE ||
                          row.code == ADDMEM_READ_PORT_WORD || row.code == ADDMEM_READ_PORT_DWORD;
        // Reads hand back their output; writes none, or the I/O manager would copy the record over
        // the caller's source block.
        EXPECT_EQ(returned, served && read ? row.outSize : 0u);
        EXPECT_EQ(core.refusedAddress, row.status == ADDMEM_REFUSED ? 1u : 0u);
        EXPECT_EQ(core.refusedLength, row.status == ADDMEM_BAD_LENGTH || row.status == ADDMEM_UNKNOWN_CODE ? 1u : 0u);
        if (served && row.code == ADDMEM_READ_PORT_WORD) {
            EXPECT_EQ(buffer[0] | buffer[1] << 8, 0xC3D4);
        }
        if (served && row.code == ADDMEM_READ_MEMORY) {
            EXPECT_EQ(buffer[0], static_cast<uint8_t>(row.first));
        }
    }
}

TEST_F(AddmemCoreTest, SmiBufferWrittenIsReadBackAsTheBiosLeftIt) {
    Start();
    std::vector<uint8_t> request = Record(kSmiBuffer, 8 + 21, 21);
    for (int i = 0; i < 21; ++i) request[8 + i] = static_cast<uint8_t>('A' + i);
    ASSERT_EQ(Send(ADDMEM_WRITE_MEMORY, request, 8 + 21, 21), ADDMEM_OK);
    world.memory[kSmiBuffer + 4] = 0x00;  // the BIOS marks the request done
    std::vector<uint8_t> back = Record(kSmiBuffer, 8, 21);
    ASSERT_EQ(Send(ADDMEM_READ_MEMORY, back, 8, 21), ADDMEM_OK);
    EXPECT_EQ(returned, 21u);
    EXPECT_EQ(std::string(back.begin(), back.begin() + 21), std::string("ABCD\0FGHIJKLMNOPQRSTU", 21));
}

TEST_F(AddmemCoreTest, TableIsTheOneTheFirmwareNamedAtStartAndABackendFailureIsReported) {
    // An entry point written later (the BIOS area is writable through the driver) moves nothing.
    Start();
    std::vector<uint8_t> write = Record(ADDMEM_BIOS_AREA, 8 + 16, 16);
    const std::string moved = EntryPoint(0x2000000, 0x1000);
    std::copy(moved.begin(), moved.end(), write.begin() + 8);
    ASSERT_EQ(Send(ADDMEM_WRITE_MEMORY, write, 8 + 16, 16), ADDMEM_OK);
    std::vector<uint8_t> read = Record(0x2000000, 8, 16);
    EXPECT_EQ(Send(ADDMEM_READ_MEMORY, read, 8, 16), ADDMEM_REFUSED);
    read = Record(kTable, 8, 16);
    EXPECT_EQ(Send(ADDMEM_READ_MEMORY, read, 8, 16), ADDMEM_OK);

    // Without an entry point no table lies outside the first megabyte.
    Start(false);
    EXPECT_EQ(core.tableLength, 0u);
    read = Record(kTable, 8, 1);
    EXPECT_EQ(Send(ADDMEM_READ_MEMORY, read, 8, 1), ADDMEM_REFUSED);

    Start();
    world.fails = true;
    read = Record(0xF0000, 8, 16);
    EXPECT_EQ(Send(ADDMEM_READ_MEMORY, read, 8, 16), ADDMEM_FAILED);
    EXPECT_EQ(returned, 0u);
}

// The built drivers, read from their bytes.
struct DriverFile {
    const char* file;
    uint16_t machine;
};
void PrintTo(const DriverFile& d, std::ostream* os) { *os << d.file; }

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int width = 4) {
    uint32_t v = 0;
    for (int i = 0; i < width && at + i < b.size(); ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    return v;
}

// The PE checksum computed afresh: 16-bit words with end-around carry, the field counted as zero,
// plus the file's length.
uint32_t Checksum(const std::vector<uint8_t>& b, size_t field) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        uint32_t word = i >= field && i < field + 4 ? 0 : Le(b, i, 2);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + b.size());
}

class BuiltDriver : public ::testing::TestWithParam<DriverFile> {};

TEST_P(BuiltDriver, IsANativeDriverOfItsProcessorImportingTheKernelAloneWithItsChecksum) {
    const std::string path = std::string(ROMSHELL_WINDOWS_BIN) + "/" + GetParam().file;
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << path << " has not been built (cmake --preset win32 && cmake --build build/win32)";
    }
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::LoadImage(path, &image, &error)) << error;
    const bool x64 = GetParam().machine == pe::kMachineAmd64;
    EXPECT_EQ(image.machine, GetParam().machine);
    EXPECT_EQ(image.pe32Plus, x64);
    EXPECT_EQ(image.subsystem, 1) << "native";
    EXPECT_EQ(image.characteristics & pe::kCharacteristicDll, 0) << "a driver image, not a DLL";

    const std::vector<uint8_t>& b = image.bytes;
    const size_t optional = Le(b, 0x3C) + 24;
    const size_t directories = optional + (x64 ? 112 : 96);
    // The entry point lies in an executable section.
    const uint32_t entry = Le(b, optional + 16);
    bool entryInCode = false;
    for (const pe::Section& s : image.sections) {
        if (entry >= s.virtualAddress && entry < s.virtualAddress + s.virtualSize)
            entryInCode = (s.characteristics & pe::kSectionCode) != 0;
    }
    EXPECT_TRUE(entryInCode) << "entry point " << std::hex << entry;
    // Relocatable: the kernel loads it wherever it has room.
    EXPECT_NE(Le(b, directories + 5 * 8 + 4), 0u) << "base relocation table";
    EXPECT_EQ(Le(b, optional + 64), Checksum(b, optional + 64)) << "PE checksum";

    // Imports: the kernel and the HAL only.
    std::set<std::string> dlls;
    uint32_t descriptor = 0;
    ASSERT_TRUE(pe::FileOffsetOfRva(image, Le(b, directories + 8), 20, &descriptor));
    for (;; descriptor += 20) {
        const uint32_t nameRva = Le(b, descriptor + 12);
        if (nameRva == 0) break;
        uint32_t name = 0;
        ASSERT_TRUE(pe::FileOffsetOfRva(image, nameRva, 1, &name));
        std::string dll;
        for (size_t i = name; i < b.size() && b[i] != 0; ++i) dll.push_back(static_cast<char>(std::tolower(b[i])));
        dlls.insert(dll);
    }
    EXPECT_TRUE(dlls.count("ntoskrnl.exe"));
    for (const std::string& dll : dlls) EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "hal.dll") << dll;
}

INSTANTIATE_TEST_SUITE_P(Drivers, BuiltDriver,
                         ::testing::Values(DriverFile{"AddMem.sys", pe::kMachineI386},
                                           DriverFile{"AddMem64.sys", pe::kMachineAmd64}));

}  // namespace
