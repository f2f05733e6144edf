// Searches in the BIOS area, the DMI walk and the software SMI call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/variant.h"
#include "emu/hardware.h"
#include "dmi/dmi_read.h"
#include "hw/firmware.h"
#include "hw/ports.h"
#include "tests/unit/notebook_fixture.h"

namespace {

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        text += two;
    }
    return text;
}

std::string Patch(uint64_t address, const std::vector<uint8_t>& bytes) {
    return "{\"address\": " + std::to_string(address) + ", \"hex\": \"" + HexBytes(bytes) + "\"}";
}

std::string TextPatch(uint64_t address, const std::string& text) {
    return "{\"address\": " + std::to_string(address) + ", \"text\": \"" + text + "\"}";
}

// An XP notebook (the ADDMEM device) with these memory patches and faults over the default one.
std::string Machine(const std::string& patches, const std::string& faults = "{}", const std::string& more = "") {
    return R"({"windows": {"major": 5, "minor": 1, "wow64": false}, "memory": {"patches": [)" + patches +
           R"(]}, "faults": )" + faults + more + "}";
}

// --- FindBytes ----------------------------------------------------------------------------------

struct FindBytesCase {
    const char* name;
    const char* buffer;
    const char* signature;
    uint32_t expected;
};

class FindBytesTest : public ::testing::TestWithParam<FindBytesCase> {};

TEST_P(FindBytesTest, TriesEveryOffsetButTheLastPossibleOne) {
    const FindBytesCase& c = GetParam();
    const auto* buffer = reinterpret_cast<const uint8_t*>(c.buffer);
    EXPECT_EQ(FindBytes(buffer, c.signature, static_cast<uint32_t>(std::strlen(c.buffer))), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, FindBytesTest,
    ::testing::Values(FindBytesCase{"AtTheStart", "SwSmi@xyz", "SwSmi@", 0},
                      FindBytesCase{"InTheMiddle", "abSwSmi@xyz", "SwSmi@", 2},
                      FindBytesCase{"FirstOfTwo", "SwSmSwSmi@SwSmi@x", "SwSmi@", 4},
                      FindBytesCase{"OneBeforeTheEnd", "xxSwSmi@x", "SwSmi@", 2},
                      FindBytesCase{"AtTheLastPossibleOffset", "xxxSwSmi@", "SwSmi@", 0xFFFFFFFF},
                      FindBytesCase{"WholeBuffer", "SwSmi@", "SwSmi@", 0xFFFFFFFF},
                      FindBytesCase{"BufferShorterThanSignature", "SwS", "SwSmi@", 0xFFFFFFFF},
                      FindBytesCase{"Absent", "abcdefghijkl", "SwSmi@", 0xFFFFFFFF}),
    [](const ::testing::TestParamInfo<FindBytesCase>& info) { return std::string(info.param.name); });

// --- SearchPhysicalMemory -----------------------------------------------------------------------

struct SearchCase {
    const char* name;
    uint32_t offset;  // where the signature stands in the area
    uint32_t step;
    bool found;
};

class SearchPhysicalMemoryTest : public NotebookTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(SearchPhysicalMemoryTest, FindsOnlyAtMultiplesOfTheStepBelowLengthLessTheSignature) {
    const SearchCase& c = GetParam();
    OpenMachine(Machine(TextPatch(kBiosAreaAddress + c.offset, "QZXJV")));
    const uint64_t hit = SearchPhysicalMemory(kBiosAreaAddress, kBiosAreaSize, "QZXJV", c.step);
    EXPECT_EQ(hit, c.found ? kBiosAreaAddress + c.offset : 0);
    EXPECT_EQ(emu::DeviceRequests().size(), 1u) << "the area is read in one request";
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, SearchPhysicalMemoryTest,
    ::testing::Values(SearchCase{"StartStep16", 0, 16, true}, SearchCase{"LastRowStep16", 0xFFF0, 16, true},
                      SearchCase{"UnalignedStep16", 0xFFF8, 16, false},
                      SearchCase{"UnalignedStep1", 0xFFF8, 1, true},
                      SearchCase{"OneBeforeLengthLessSignature", 0xFFFA, 1, true},
                      SearchCase{"AtLengthLessSignature", 0xFFFB, 1, false}),
    [](const ::testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

TEST_F(NotebookTest, DmiEntryPointIsFoundInTheLastRowOfTheAreaButNotOffTheRows) {
    OpenMachine(Machine(TextPatch(0xFFFF0, "_DMI_"), R"({"dmiEntryPointMissing": true})"));
    EXPECT_EQ(FindDmiEntryPoint(), 0xFFFF0u);
    OpenMachine(Machine(TextPatch(0xFFFF4, "_DMI_"), R"({"dmiEntryPointMissing": true})"));
    EXPECT_EQ(FindDmiEntryPoint(), 0u);
}

// --- The DMI walk -------------------------------------------------------------------------------

class DmiWalkTest : public NotebookTest {
  protected:
    static uint8_t TypeAt(uint64_t address) {
        uint8_t type = 0;
        emu::ReadPhysical(address, &type, 1);
        return type;
    }

    // A legacy entry point at 0xF8000 for a table at `table` of `length` bytes, with the table
    // bytes placed there (the notebook's own entry point removed).
    void OpenWithTable(uint32_t table, uint16_t length, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> entry = {'_', 'D', 'M', 'I', '_', 0,
                                      static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                      static_cast<uint8_t>(table), static_cast<uint8_t>(table >> 8),
                                      static_cast<uint8_t>(table >> 16), static_cast<uint8_t>(table >> 24),
                                      3, 0, 0x21};
        uint8_t sum = 0;
        for (uint8_t b : entry) sum = static_cast<uint8_t>(sum + b);
        entry[5] = static_cast<uint8_t>(0x100 - sum);
        std::string patches = Patch(0xF8000, entry);
        if (!bytes.empty()) patches += ", " + Patch(table, bytes);
        OpenMachine(Machine(patches, R"({"dmiEntryPointMissing": true})"));
    }
};

TEST_F(DmiWalkTest, FindsTheNotebooksBiosSystemAndOemStructures) {
    OpenMachine(kAddmemMachine);
    for (uint8_t type : {0, 1, 11}) {
        const uint64_t structure = SearchDMIBlock(type);
        ASSERT_NE(structure, 0u) << "type " << int(type);
        EXPECT_EQ(TypeAt(structure), type);
    }
}

TEST_F(DmiWalkTest, LogsItsStepsInRomshellOnly) {
    OpenMachine(kAddmemMachine);
    SearchDMIBlock(1);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "Search DMI String...\r\nSearch Result : %08X\r\nreturn from SearchDMIBlock...\r\n",
                  static_cast<uint32_t>(FindDmiEntryPoint()));
    EXPECT_EQ(Log(), kVariant.logsSteps ? std::string(expected) : std::string());
}

TEST_F(DmiWalkTest, AMissingTypeIsNotFoundWithinTheTable) {
    OpenMachine(Machine("", R"({"dmiMissingTypes": [11]})"));
    EXPECT_EQ(SearchDMIBlock(11), 0u);
    EXPECT_NE(SearchDMIBlock(1), 0u);
}

TEST_F(DmiWalkTest, AMissingEntryPointIsNotFoundAndNothingElseIsRead) {
    OpenMachine(Machine("", R"({"dmiEntryPointMissing": true})"));
    EXPECT_EQ(SearchDMIBlock(0), 0u);
    EXPECT_EQ(emu::DeviceRequests().size(), 1u) << "only the search of the area";
}

// Three structures: 0x80 without strings, 0x81 with one string, 0x82 without strings.
const std::vector<uint8_t> kTable = {
    0x80, 4, 0x00, 0x00, 0, 0,                     // at 0
    0x81, 5, 0x01, 0x00, 0x7E, 'a', 'b', 0, 0,     // at 6
    0x82, 4, 0x02, 0x00, 0, 0,                     // at 15
};
constexpr uint32_t kTableAddress = 0xF9000;

TEST_F(DmiWalkTest, StructuresWithoutStringsAreSteppedOverByTheirTwoZeroBytes) {
    OpenWithTable(kTableAddress, static_cast<uint16_t>(kTable.size()), kTable);
    EXPECT_EQ(SearchDMIBlock(0x80), kTableAddress);
    EXPECT_EQ(SearchDMIBlock(0x81), kTableAddress + 6);
    EXPECT_EQ(SearchDMIBlock(0x82), kTableAddress + 15);
}

TEST_F(DmiWalkTest, TheWalkEndsAtTheEndOfTheTable) {
    OpenWithTable(kTableAddress, static_cast<uint16_t>(kTable.size()), kTable);
    EXPECT_EQ(SearchDMIBlock(0x83), 0u);
    // A table that, by its length, ends before the third structure does not reach it.
    OpenWithTable(kTableAddress, 15, kTable);
    EXPECT_EQ(SearchDMIBlock(0x82), 0u);
    EXPECT_EQ(SearchDMIBlock(0x81), kTableAddress + 6);
}

TEST_F(DmiWalkTest, StringsThatRunPastTheTableEndAreNotFollowed) {
    // The last structure's strings never end within the table: the area after it is all 'x'.
    std::vector<uint8_t> table = {0x80, 4, 0, 0, 'x', 'x', 'x', 'x'};
    std::vector<uint8_t> beyond(64, 'x');
    table.insert(table.end(), beyond.begin(), beyond.end());
    OpenWithTable(kTableAddress, 8, table);
    EXPECT_EQ(SearchDMIBlock(0x81), 0u);
    EXPECT_LT(emu::DeviceRequests().size(), 20u);
}

TEST_F(DmiWalkTest, ATableAtAddressZeroIsNotWalked) {
    OpenWithTable(0, 0x100, {});
    EXPECT_EQ(SearchDMIBlock(0x80), 0u);
}

// --- The SwSmi@ record --------------------------------------------------------------------------

std::string SmiMachine(const std::string& smi, const std::string& faults = "{}") {
    return Machine("", faults, ", \"smi\": " + smi);
}

struct GateCase {
    const char* name;
    int gate;
    bool present;
};

class SwSmiGateTest : public NotebookTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(SwSmiGateTest, TheInterfaceCountsFromGate0x24AndTheCopyIsKeptEitherWay) {
    OpenMachine(SmiMachine("{\"gate\": " + std::to_string(GetParam().gate) + "}"));
    std::memset(swSmiRecord, 0, sizeof swSmiRecord);
    EXPECT_EQ(FindSwSmiRecord() != 0, GetParam().present);
    EXPECT_EQ(std::memcmp(swSmiRecord, "SwSmi@", 6), 0);
    EXPECT_EQ(swSmiRecord[15], GetParam().gate);
    EXPECT_EQ(swSmiRecord[6] | (swSmiRecord[7] << 8), 178);  // the command port of the profile
}

INSTANTIATE_TEST_SUITE_P(Gates, SwSmiGateTest,
                         ::testing::Values(GateCase{"Gate23", 0x23, false}, GateCase{"Gate24", 0x24, true},
                                           GateCase{"GateFF", 0xFF, true}, GateCase{"Gate00", 0, false}),
                         [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

TEST_F(NotebookTest, WithoutARecordTheKeptCopyStaysAsItWas) {
    OpenMachine(SmiMachine(R"({"present": false})"));
    std::memset(swSmiRecord, 0x5A, sizeof swSmiRecord);
    EXPECT_FALSE(FindSwSmiRecord());
    for (uint8_t b : swSmiRecord) EXPECT_EQ(b, 0x5A);
}

TEST_F(NotebookTest, ARecordCutByTheEndOfTheAreaHasNoGate) {
    // "SwSmi@" eleven bytes before the end: the record's last six bytes, the gate among them, lie
    // outside the area and are not read.
    const std::vector<uint8_t> cut = {'S', 'w', 'S', 'm', 'i', '@', 0xB2, 0x00, 0x8F, 0x8E, 0x90};
    OpenMachine(Machine(Patch(0xFFFF5, cut), "{}", R"(, "smi": {"present": false})"));
    EXPECT_FALSE(FindSwSmiRecord());
    EXPECT_EQ(std::memcmp(swSmiRecord, "SwSmi@", 6), 0);
    for (int i = 11; i < kSwSmiRecordSize; ++i) EXPECT_EQ(swSmiRecord[i], 0) << i;
}

// --- The SMI call -------------------------------------------------------------------------------

class CallSwSmiTest : public NotebookTest {
  protected:
    void OpenWithSmi(const std::string& smi, const std::string& faults = "{}") {
        OpenMachine(SmiMachine(smi, faults));
        ASSERT_TRUE(FindSwSmiRecord());
        emu::ClearHardwareRecord();
    }
    static constexpr uint16_t kCommandPort = 178;
    static constexpr uint64_t kRequestAddress = 0x9F00 * 16 + 0x100;
};

TEST_F(CallSwSmiTest, Function4AnswersTheModelWithTheCommandsInOrder) {
    OpenWithSmi(R"({"commandPort": 178, "firstCommand": 142, "secondCommand": 143, "thirdCommand": 144,
                    "bufferSegment": 40704, "bufferOffset": 256})");
    uint8_t data[kSwSmiDataSize];
    std::memset(data, 0x77, sizeof data);
    EXPECT_EQ(CallSwSmi(4, data, 0), 1);
    EXPECT_EQ(std::memcmp(data, "R580", 4), 0);
    for (int i = 4; i < kSwSmiDataSize; ++i) EXPECT_EQ(data[i], 0) << i;
    EXPECT_EQ(emu::PortWritesTo({kCommandPort}),
              (std::vector<emu::PortWrite>{{kCommandPort, 1, 142}, {kCommandPort, 1, 143}, {kCommandPort, 1, 144}}));
    auto requests = emu::SmiRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["function"], 4);
    EXPECT_EQ(requests[0]["completed"], true);
    EXPECT_TRUE(emu::ProtocolErrors().empty());
}

TEST_F(CallSwSmiTest, SixteenAnswerBytesWithoutAZeroAreDeliveredWithoutATerminator) {
    OpenWithSmi(R"({"function4": "none"})");
    uint8_t data[kSwSmiDataSize + 1];
    std::memset(data, 0, sizeof data);
    data[kSwSmiDataSize] = 0x5A;
    EXPECT_EQ(CallSwSmi(4, data, 0), 1);
    for (int i = 0; i < kSwSmiDataSize; ++i) EXPECT_EQ(data[i], 0xFF) << i;
    EXPECT_EQ(data[kSwSmiDataSize], 0x5A);
}

TEST_F(CallSwSmiTest, TheRequestBufferHoldsCxTheFunctionAndTheInput) {
    // The handler never answers, so the buffer keeps what the program placed there.
    OpenWithSmi("{}", R"({"smiNeverCompletes": true})");
    uint8_t data[kSwSmiDataSize] = {'A', 'B', 'C'};
    CallSwSmi(0x1234, data, 3);
    uint8_t request[21];
    emu::ReadPhysical(kRequestAddress, request, sizeof request);
    const uint8_t expected[21] = {'C', 'X', 0x34, 0x12, 0, 'A', 'B', 'C'};
    EXPECT_EQ(std::memcmp(request, expected, sizeof expected), 0);
}

TEST_F(CallSwSmiTest, InputIsNeverTakenFromBeyondSixteenBytes) {
    OpenWithSmi("{}", R"({"smiNeverCompletes": true})");
    uint8_t data[kSwSmiDataSize];
    std::memset(data, 'i', sizeof data);
    CallSwSmi(4, data, 40);
    uint8_t request[21];
    emu::ReadPhysical(kRequestAddress, request, sizeof request);
    for (int i = 5; i < 21; ++i) EXPECT_EQ(request[i], 'i') << i;
}

TEST_F(CallSwSmiTest, AnSmiThatNeverCompletesEndsAtTheBoundAsNoAnswer) {
    OpenWithSmi("{}", R"({"smiNeverCompletes": true})");
    uint8_t data[kSwSmiDataSize] = {};
    EXPECT_EQ(CallSwSmi(4, data, 0), 0);
    for (uint8_t b : data) EXPECT_EQ(b, 0xFF);
    // The closing command still goes out, and the buffer was polled exactly up to the bound.
    EXPECT_EQ(emu::PortWritesTo({kCommandPort}),
              (std::vector<emu::PortWrite>{{kCommandPort, 1, 142}, {kCommandPort, 1, 143}, {kCommandPort, 1, 144}}));
    int polls = 0;
    for (const auto& r : emu::DeviceRequests()) polls += (r.code == 0x22204C && r.outSize == 21) ? 1 : 0;
    EXPECT_EQ(polls, kSwSmiPollLimit);
    if (kVariant.logsSteps) {
        EXPECT_NE(ReadFileBytes(std::string(kProgramFolder) + "\\DebugLog.txt").find("SMI request 4 not answered"),
                  std::string::npos);
    }
}

}  // namespace
