// The request layer: the records each access device is sent, the values that come back, and the
// bounds on requests that get no answer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "emu/hardware.h"
#include "emu/world.h"
#include "hw/driver.h"
#include "hw/firmware.h"
#include "hw/ports.h"
#include "micom/ec.h"
#include "tests/unit/notebook_fixture.h"

namespace {

constexpr uint16_t kCmosIndex = 0x70;
constexpr uint16_t kCmosData = 0x71;
constexpr uint16_t kPciAddress = 0xCF8;
constexpr uint16_t kPciData = 0xCFC;
constexpr uint32_t kLpcBridgeRegister40 = 0x8000F840;  // bus 0, device 31, function 0, register 0x40
constexpr uint64_t kRamAddress = 0x9F000;

std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// What one request looked like at the device.
struct Shape {
    uint32_t code;
    uint32_t inSize;
    uint32_t outSize;
};

void ExpectOneRequest(const Shape& expected, const char* what) {
    auto requests = emu::DeviceRequests();
    ASSERT_EQ(requests.size(), 1u) << what;
    EXPECT_EQ(Hex(requests[0].code), Hex(expected.code)) << what;
    EXPECT_EQ(requests[0].inSize, expected.inSize) << what;
    EXPECT_EQ(requests[0].outSize, expected.outSize) << what;
    EXPECT_TRUE(requests[0].accepted) << what << ": " << requests[0].reason;
}

struct DeviceCase {
    const char* name;
    const char* machine;
    Shape writeByte, readByte, writeWord, readWord, writeDword, readDword;
    Shape readMemory64k;   // 0x10000 bytes at 0xF0000
    Shape writeMemory21;   // 21 bytes into RAM
};

const DeviceCase kDeviceCases[] = {
    {"Qlix64", kQlix64Machine,
     {0x9C412008, 18, 1}, {0x9C412008, 17, 1}, {0x9C412008, 19, 2}, {0x9C412008, 17, 2},
     {0x9C412008, 21, 4}, {0x9C412008, 17, 4},
     {0x9C41200C, 17, 0x10000}, {0x9C41200C, 17 + 21, 21}},
    {"Qlix32", kQlix32Machine,
     {0x9C412008, 10, 1}, {0x9C412008, 9, 1}, {0x9C412008, 11, 2}, {0x9C412008, 9, 2},
     {0x9C412008, 13, 4}, {0x9C412008, 9, 4},
     {0x9C41200C, 9, 0x10000}, {0x9C41200C, 9 + 21, 21}},
    {"Kmdf", kKmdfMachine,
     {0x9C412404, 17, 17}, {0x9C412400, 17, 17}, {0x9C41240C, 18, 18}, {0x9C412408, 18, 18},
     {0x9C412414, 20, 20}, {0x9C412410, 20, 20},
     {0x9C412800, 0x10010, 0x10010}, {0x9C412804, 16 + 21, 16 + 21}},
    {"Addmem", kAddmemMachine,
     {0x222034, 8, 1}, {0x222038, 8, 1}, {0x22203C, 8, 2}, {0x222040, 8, 2},
     {0x222044, 8, 4}, {0x222048, 8, 4},
     {0x22204C, 8, 0x10000}, {0x222050, 8 + 21, 21}},
    // The VxD has only byte codes for ports; it gets the ADDMEM driver's memory codes.
    {"Memio", kMemioMachine,
     {0x9C412404, 16, 16}, {0x9C412400, 16, 16}, {0x9C412404, 16, 16}, {0x9C412400, 16, 16},
     {0x9C412404, 16, 16}, {0x9C412400, 16, 16},
     {0x22204C, 8, 0x10000}, {0x222050, 8 + 21, 21}},
};

class RequestTest : public NotebookTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(RequestTest, PortBytesTravelInTheDevicesRecord) {
    const DeviceCase& c = GetParam();
    OpenMachine(c.machine);
    emu::SetCmos(0, 0x0E, 0x5A);
    emu::ClearHardwareRecord();

    WritePortByte(kCmosIndex, 0x0E);
    ExpectOneRequest(c.writeByte, "byte write");
    EXPECT_EQ(emu::PortWrites(), (std::vector<emu::PortWrite>{{kCmosIndex, 1, 0x0E}}));

    emu::ClearHardwareRecord();
    EXPECT_EQ(ReadPortByte(kCmosData), 0x5A);
    ExpectOneRequest(c.readByte, "byte read");
}

TEST_P(RequestTest, PortWordsAndDwordsUseTheirOwnCodesAndWidths) {
    const DeviceCase& c = GetParam();
    OpenMachine(c.machine);

    WritePortDword(kPciAddress, kLpcBridgeRegister40);
    ExpectOneRequest(c.writeDword, "dword write");
    emu::ClearHardwareRecord();
    const uint32_t dword = ReadPortDword(kPciData);
    ExpectOneRequest(c.readDword, "dword read");

    emu::ClearHardwareRecord();
    WritePortWord(0x80, 0x1234);
    ExpectOneRequest(c.writeWord, "word write");
    EXPECT_EQ(emu::PortWrites(), (std::vector<emu::PortWrite>{{0x80, 2, 0x1234}}));
    emu::ClearHardwareRecord();
    const uint16_t word = ReadPortWord(kCmosData);
    ExpectOneRequest(c.readWord, "word read");

    EXPECT_EQ(dword, emu::ReadPort(kPciData, 4));
    EXPECT_NE(dword, 0xFFFFFFFFu);
    EXPECT_EQ(word, static_cast<uint16_t>(emu::ReadPort(kCmosData, 2)));
}

TEST_P(RequestTest, MemoryBlocksTravelInTheDevicesRecord) {
    const DeviceCase& c = GetParam();
    OpenMachine(c.machine);

    std::vector<uint8_t> area(0x10000, 0);
    ReadPhysicalMemory(0xF0000, 0x10000, area.data());
    ExpectOneRequest(c.readMemory64k, "64 KiB read");
    std::vector<uint8_t> expected(0x10000);
    emu::ReadPhysical(0xF0000, expected.data(), expected.size());
    EXPECT_TRUE(area == expected);

    emu::ClearHardwareRecord();
    uint8_t block[21];
    for (int i = 0; i < 21; ++i) block[i] = static_cast<uint8_t>(0xA0 + i);
    uint8_t original[21];
    std::memcpy(original, block, sizeof block);
    WritePhysicalMemory(kRamAddress, sizeof block, block);
    ExpectOneRequest(c.writeMemory21, "21-byte write");
    uint8_t stored[21] = {};
    emu::ReadPhysical(kRamAddress, stored, sizeof stored);
    EXPECT_EQ(std::memcmp(stored, original, sizeof stored), 0);
    EXPECT_EQ(std::memcmp(block, original, sizeof block), 0) << "the caller's block must stay as it was";
}

INSTANTIATE_TEST_SUITE_P(Devices, RequestTest, ::testing::ValuesIn(kDeviceCases),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

TEST_F(NotebookTest, KmdfDeviceIsOpenedAndClosedAroundEveryRequest) {
    OpenMachine(kKmdfMachine);
    ReadPortByte(kCmosData);
    WritePortByte(kCmosIndex, 1);
    uint8_t byte = 0;
    ReadPhysicalMemory(0xF0000, 1, &byte);
    auto events = emu::DeviceEvents();
    std::vector<std::string> order;
    for (const auto& e : events) order.push_back(e.what);
    EXPECT_EQ(order, (std::vector<std::string>{"open", "request", "close", "open", "request", "close", "open",
                                               "request", "close"}));
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

TEST_F(NotebookTest, QlixAddressesAboveFourGigabytesKeepTheirHighHalfOnlyOn64BitWindows) {
    // The flash window ends at 4 GiB; 4 GiB above it there is nothing. A 32-bit record cuts the
    // address to its low half and reads the flash, a 64-bit record reads the empty space.
    for (const bool wide : {false, true}) {
        OpenMachine(wide ? kQlix64Machine : kQlix32Machine);
        std::vector<uint8_t> marker(16);
        for (int i = 0; i < 16; ++i) marker[i] = static_cast<uint8_t>(0x30 + i);
        emu::WriteFlash(emu::FlashSize() - 16, marker);
        uint8_t block[16] = {};
        ReadPhysicalMemory(0x100000000ull + 0xFFFFFFF0ull, sizeof block, block);
        if (wide) {
            for (uint8_t b : block) EXPECT_EQ(b, 0xFF) << "64-bit";
        } else {
            EXPECT_EQ(std::memcmp(block, marker.data(), 16), 0) << "32-bit";
        }
        CloseAccessDriver();
        opened_ = false;
    }
}

// --- The Kmdf device missing --------------------------------------------------------------------

class KmdfMissingTest : public NotebookTest {
  protected:
    void SetUp() override {
        NotebookTest::SetUp();
        MakeMachine(R"({"windows": {"major": 6, "minor": 0}, "accessDevices": {"qtv": false}})");
        emu::ClearHardwareRecord();
        startTick_ = emu::TickCount();
    }
    // Ten refused opens, 50 ms apart: half a second of the Windows clock in all.
    void ExpectTenOpensFiftyMillisecondsApart() const {
        auto opens = emu::DeviceOpens();
        ASSERT_EQ(opens.size(), 10u);
        for (size_t i = 1; i < opens.size(); ++i) {
            EXPECT_FALSE(opens[i].accepted);
            EXPECT_GE(opens[i].atMs - opens[i - 1].atMs, 45.0) << "open " << i;
        }
        EXPECT_EQ(emu::TickCount() - startTick_, 500u);
        EXPECT_TRUE(emu::DeviceRequests().empty());
    }
    uint32_t startTick_ = 0;
};

TEST_F(KmdfMissingTest, ReadPortByteGivesAllOnesAfterTenOpens) {
    EXPECT_EQ(ReadPortByte(kCmosData), 0xFF);
    ExpectTenOpensFiftyMillisecondsApart();
    EXPECT_EQ(driverHandle, os::InvalidHandle());
}

TEST_F(KmdfMissingTest, WritePortByteSendsNothingAfterTenOpens) {
    WritePortByte(kCmosIndex, 0x0E);
    ExpectTenOpensFiftyMillisecondsApart();
    EXPECT_TRUE(emu::PortWrites().empty());
}

TEST_F(KmdfMissingTest, MemoryReadLeavesTheDestinationAndALaterWriteIsNotEvenTried) {
    uint8_t block[4] = {1, 2, 3, 4};
    ReadPhysicalMemory(0xF0000, sizeof block, block);
    EXPECT_EQ(block[0], 1);
    EXPECT_EQ(block[3], 4);
    ExpectTenOpensFiftyMillisecondsApart();

    emu::ClearHardwareRecord();
    WritePhysicalMemory(kRamAddress, sizeof block, block);
    EXPECT_TRUE(emu::DeviceEvents().empty());
}

// --- Rejected requests --------------------------------------------------------------------------

struct RejectCase {
    const char* name;
    const char* machine;
    int rejected;            // how many requests the device refuses before it accepts again
    int expectedRequests;    // sends the program makes for one read
    bool expectValue;        // the read gets the port's value (else all ones)
};

class RejectedPortRequestTest : public NotebookTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(RejectedPortRequestTest, ReadsAreRepeatedAFewTimesThenGiveAllOnes) {
    const RejectCase& c = GetParam();
    OpenMachine(c.machine);
    emu::SetCmos(0, 0x0E, 0x5A);
    WritePortByte(kCmosIndex, 0x0E);
    emu::SetFault("rejectRequests", "ports");
    emu::SetFault("rejectRequestsCount", c.rejected);
    emu::ClearHardwareRecord();

    EXPECT_EQ(ReadPortByte(kCmosData), c.expectValue ? 0x5A : 0xFF);
    auto requests = emu::DeviceRequests();
    EXPECT_EQ(static_cast<int>(requests.size()), c.expectedRequests);
}

INSTANTIATE_TEST_SUITE_P(
    Rejections, RejectedPortRequestTest,
    ::testing::Values(RejectCase{"QlixOnce", kQlix64Machine, 1, 2, true},
                      RejectCase{"QlixThreeTimes", kQlix64Machine, kPortRequestAttempts - 1, kPortRequestAttempts, true},
                      RejectCase{"QlixForGood", kQlix64Machine, 1000, kPortRequestAttempts, false},
                      RejectCase{"AddmemOnce", kAddmemMachine, 1, 2, true},
                      RejectCase{"AddmemForGood", kAddmemMachine, 1000, kPortRequestAttempts, false},
                      RejectCase{"MemioThreeTimes", kMemioMachine, kPortRequestAttempts - 1, kPortRequestAttempts, true},
                      RejectCase{"MemioForGood", kMemioMachine, 1000, kPortRequestAttempts, false},
                      // The Kmdf device is opened for each request, and a refused one is not sent again.
                      RejectCase{"KmdfOnce", kKmdfMachine, 1, 1, false}),
    [](const ::testing::TestParamInfo<RejectCase>& info) { return std::string(info.param.name); });

TEST_F(NotebookTest, ARejectedPortWriteIsSentAFewTimesThenDropped) {
    OpenMachine(kAddmemMachine);
    emu::SetFault("rejectRequests", "ports");
    WritePortByte(kCmosIndex, 0x0E);
    EXPECT_EQ(static_cast<int>(emu::DeviceRequests().size()), kPortRequestAttempts);
    EXPECT_TRUE(emu::PortWrites().empty());
}

TEST_F(NotebookTest, ARefusedMemoryReadGivesAllOnesAndIsNotRepeated) {
    OpenMachine(kAddmemMachine);
    emu::SetFault("rejectRequests", "all");
    uint8_t block[8] = {};
    ReadPhysicalMemory(0xF0000, sizeof block, block);
    for (uint8_t b : block) EXPECT_EQ(b, 0xFF);
    EXPECT_EQ(emu::DeviceRequests().size(), 1u);
}

// --- The Kmdf data pointer ----------------------------------------------------------------------

// A record of 16 + 4 bytes whose data-pointer field says `offset` bytes from its start.
struct PointerCase {
    const char* name;
    int64_t offset;  // may point before the record
    uint32_t length;
    int64_t expected;  // offset of the data taken, or -1: refused
};

class KmdfPointerTest : public ::testing::TestWithParam<PointerCase> {};

TEST_P(KmdfPointerTest, DataIsTakenOnlyFromInsideTheReturnedRecord) {
    const PointerCase& c = GetParam();
    alignas(8) uint8_t record[64] = {};
    const uint32_t recordSize = 16 + c.length;
    const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record));
    const uint32_t field = base + static_cast<uint32_t>(c.offset);
    for (int i = 0; i < 4; ++i) record[12 + i] = static_cast<uint8_t>(field >> (8 * i));
    const uint8_t* data = KmdfReturnedData(record, recordSize, c.length);
    if (c.expected < 0) {
        EXPECT_EQ(data, nullptr);
    } else {
        EXPECT_EQ(data, record + c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pointers, KmdfPointerTest,
    ::testing::Values(PointerCase{"AtItsDataArea", 16, 4, 16},
                      PointerCase{"AtTheStartOfTheRecord", 0, 4, 0},
                      PointerCase{"LastFittingPlace", 16, 1, 16},
                      PointerCase{"RunsPastTheEnd", 17, 4, -1},
                      PointerCase{"PastTheEnd", 20, 4, -1},
                      PointerCase{"BeforeTheRecord", -4, 4, -1},
                      PointerCase{"FarAway", 0x7FFFFFF0, 4, -1},
                      PointerCase{"LargeBlockAtItsDataArea", 16, 40, 16},
                      PointerCase{"LargeBlockOneByteLate", 17, 40, -1}),
    [](const ::testing::TestParamInfo<PointerCase>& info) { return std::string(info.param.name); });

// --- The keyboard controller shorthands ---------------------------------------------------------

TEST_F(NotebookTest, KbcShorthandsUseTheControllersPorts) {
    OpenMachine(kAddmemMachine);
    WriteKbcCommand(0x60);
    ASSERT_TRUE(WaitKbcInputEmpty());
    WriteKbcData(0x47);
    EXPECT_EQ(KbcWrites(), (std::vector<emu::PortWrite>{{0x64, 1, 0x60}, {0x60, 1, 0x47}}));
    EXPECT_TRUE(emu::ProtocolErrors().empty());
    EXPECT_EQ(emu::KeyboardController().commandByte, 0x47);
    EXPECT_EQ(ReadKbcStatus() & 0x04, 0x04);  // the system flag
}

TEST_F(NotebookTest, ReadKbcDataWaitsForTheOutputBufferThenReadsTheByte) {
    OpenMachine(kAddmemMachine);
    emu::PresentKbcByte(emu::KbcSide::Keyboard, 0x1C);
    EXPECT_EQ(ReadKbcData(), 0x1C);
    EXPECT_FALSE(emu::KeyboardController().outputFull);
}

TEST_F(NotebookTest, WaitingForAByteEndsAtTheBoundWithoutReadingTheDataPort) {
    OpenMachine(R"({"windows": {"major": 5, "minor": 1, "wow64": false}, "faults": {"kbcNeverPresentsOutput": true}})");
    uint8_t value = 0;
    EXPECT_FALSE(TryReadKbcData(&value));
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(emu::PortReadCount(), static_cast<uint64_t>(kKbcPollLimit));
    EXPECT_EQ(ReadKbcData(), 0xFF);
}

TEST_F(NotebookTest, WaitingForTheInputBufferEndsAtTheBound) {
    OpenMachine(R"({"windows": {"major": 5, "minor": 1, "wow64": false}, "faults": {"kbcInputNeverClears": true}})");
    EXPECT_FALSE(WaitKbcInputEmpty());
    EXPECT_EQ(emu::PortReadCount(), static_cast<uint64_t>(kKbcPollLimit));
}

TEST_F(NotebookTest, WaitingForTheInputBufferSeesItClear) {
    OpenMachine(kAddmemMachine);
    WriteKbcCommand(0xAD);  // the controller stays busy for a read or so
    EXPECT_TRUE(WaitKbcInputEmpty());
    EXPECT_LT(emu::PortReadCount(), 10u);
}

// --- Bounds in time ---------------------------------------------------------------------------

// Each wait for hardware that never answers ends when its bound has passed on the Windows clock,
// however long the system timer makes each pause: on a timer of 15.6 ms, as Windows has by
// default, a bound counted in 1 ms pauses would last some fifteen times longer.
enum class StalledWait { KbcInputEmpty, KbcOutputFull, SmiCompletion, MailboxIdle };

struct TimeBoundCase {
    const char* name;
    StalledWait wait;
    const char* faults;
    uint32_t boundMs;
};

const TimeBoundCase kTimeBoundCases[] = {
    {"KbcInputEmpty", StalledWait::KbcInputEmpty, R"({"kbcInputNeverClears": true})", kKbcPollBound.pausedMs},
    {"KbcOutputFull", StalledWait::KbcOutputFull, R"({"kbcNeverPresentsOutput": true})", kKbcPollBound.pausedMs},
    {"SmiCompletion", StalledWait::SmiCompletion, R"({"smiNeverCompletes": true})", kSwSmiPollBound.pausedMs},
#if !ROMSHELL_PHX
    {"MailboxIdle", StalledWait::MailboxIdle, R"({"mailboxNeverClears": true})", kEcMailboxPollBound.pausedMs},
#endif
};

struct TimerCase {
    const char* name;
    uint32_t periodUs;
    uint32_t tickCountStart;
};

// A 1 ms timer, Windows' default timer, and the default timer with the tick count about to wrap.
const TimerCase kTimerCases[] = {
    {"Timer1ms", 1000, 3600000},
    {"Timer15ms", 15625, 3600000},
    {"Timer15msAcrossTheWrap", 15625, 0xFFFFFF00u},
};

// Runs the wait; true when it saw the hardware answer.
bool RunStalledWait(StalledWait wait) {
    switch (wait) {
        case StalledWait::KbcInputEmpty:
            return WaitKbcInputEmpty();
        case StalledWait::KbcOutputFull: {
            uint8_t value = 0;
            return TryReadKbcData(&value);
        }
        case StalledWait::SmiCompletion: {
            uint8_t data[kSwSmiDataSize] = {};
            return FindSwSmiRecord() && CallSwSmi(4, data, 0) != 0;
        }
        case StalledWait::MailboxIdle: {
#if !ROMSHELL_PHX
            ecMailboxPort = 0x680;
            EcMailboxBlock block;
            block.bytes[0] = 0xDC;
            return RunEcMailboxCommand(&block);
#else
            return true;
#endif
        }
    }
    return true;
}

class TimeBoundTest : public NotebookTest,
                      public ::testing::WithParamInterface<std::tuple<TimeBoundCase, TimerCase>> {};

TEST_P(TimeBoundTest, StalledHardwareIsGivenUpWhenTheBoundHasPassedOnTheClock) {
    const auto& [wait, timer] = GetParam();
    OpenMachine(std::string(R"({"windows": {"major": 5, "minor": 1, "wow64": false, "timerPeriodUs": )") +
                std::to_string(timer.periodUs) + R"(, "tickCountStart": )" + std::to_string(timer.tickCountStart) +
                R"(}, "ec": {"chipId2E": "0x85", "device9Active": true, "device9Base": "0x0680"}, "faults": )" +
                wait.faults + "}");
    const uint32_t start = emu::TickCount();
    EXPECT_FALSE(RunStalledWait(wait.wait));
    // The last poll came when the bound had passed, and not a timer period later.
    const uint32_t elapsed = emu::TickCount() - start;
    const uint32_t periodMs = (timer.periodUs + 999) / 1000;
    EXPECT_GE(elapsed, wait.boundMs);
    EXPECT_LT(elapsed, wait.boundMs + periodMs);
}

INSTANTIATE_TEST_SUITE_P(Waits, TimeBoundTest,
                         ::testing::Combine(::testing::ValuesIn(kTimeBoundCases), ::testing::ValuesIn(kTimerCases)),
                         [](const ::testing::TestParamInfo<std::tuple<TimeBoundCase, TimerCase>>& info) {
                             return std::string(std::get<0>(info.param).name) + "On" + std::get<1>(info.param).name;
                         });

}  // namespace
