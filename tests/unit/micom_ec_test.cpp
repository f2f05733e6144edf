// The embedded controller's port protocol on the emulated notebook: the exact bytes that reach
// the keyboard controller, the configuration ports and the mailbox, and the bounded waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/winver.h"
#include "emu/hardware.h"
#include "hw/driver.h"
#include "micom/ec.h"
#include "os/os.h"
#include "tests/unit/notebook_fixture.h"

namespace {

using emu::PortWrite;

PortWrite Command(uint8_t value) { return PortWrite{0x64, 1, value}; }
PortWrite Data(uint8_t value) { return PortWrite{0x60, 1, value}; }
PortWrite Byte(uint16_t port, uint8_t value) { return PortWrite{port, 1, value}; }

// A notebook whose access device opens at once; the driver is held open around each test's
// controller operations, as the callers of the protocol do.
class EcProtocolTest : public NotebookTest {};

// --- Keyboard-controller channel ---------------------------------------------------------------

struct PendingCase {
    const char* name;
    const char* pending;  // the ec.pendingByte of the profile
    std::vector<PortWrite> ending;
    std::vector<nlohmann::json> returned;
};

class EcRamWriteTest : public EcProtocolTest, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(EcRamWriteTest, WritesTheRamByteAndHandsAPendingByteBackToItsSide) {
    const PendingCase& c = GetParam();
    OpenMachine(std::string(R"({"ec": {"pendingByte": )") + c.pending + "}}");
    ASSERT_TRUE(WriteEcByte(0xE887, 0x41));
    std::vector<PortWrite> expected = {Command(0xB1), Command(0xBE), Data(0x81), Data(0xE8), Data(0x87), Data(0x41)};
    expected.insert(expected.end(), c.ending.begin(), c.ending.end());
    EXPECT_EQ(KbcWrites(), expected);
    EXPECT_EQ(emu::EcRam(0xE887), 0x41);
    EXPECT_EQ(emu::ReturnedBytes(), c.returned);
    EXPECT_FALSE(emu::KeyboardController().inExchange);
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

INSTANTIATE_TEST_SUITE_P(
    Pending, EcRamWriteTest,
    ::testing::Values(
        PendingCase{"NothingPending", "null", {Command(0xB2)}, {}},
        PendingCase{"KeyboardByte", R"({"side": "keyboard", "value": 28})", {Command(0xB3), Data(28)},
                    {nlohmann::json{{"side", "keyboard"}, {"value", 28}}}},
        PendingCase{"AuxiliaryByte", R"({"side": "auxiliary", "value": 8})", {Command(0xB4), Data(8)},
                    {nlohmann::json{{"side", "auxiliary"}, {"value", 8}}}}),
    [](const ::testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

TEST_F(EcProtocolTest, ReadsARamByteWithTheReadRequest) {
    OpenMachine(R"({"ec": {"ram": {"0xE887": "0x40"}}})");
    uint8_t value = 0;
    ASSERT_TRUE(ReadEcByte(0xE887, &value));
    EXPECT_EQ(value, 0x40);
    EXPECT_EQ(KbcWrites(), (std::vector<PortWrite>{Command(0xB1), Command(0xBE), Data(0x80), Data(0xE8), Data(0x87),
                                                   Command(0xB2)}));
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

TEST_F(EcProtocolTest, ReadWithAKeyboardBytePendingGivesTheRamByteAndReturnsTheKey) {
    OpenMachine(R"({"ec": {"ram": {"0x1234": "0x5A"}, "pendingByte": {"side": "keyboard", "value": "0x9C"}}})");
    uint8_t value = 0;
    ASSERT_TRUE(ReadEcByte(0x1234, &value));
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(KbcWrites(), (std::vector<PortWrite>{Command(0xB1), Command(0xBE), Data(0x80), Data(0x12), Data(0x34),
                                                   Command(0xB3), Data(0x9C)}));
}

TEST_F(EcProtocolTest, SendsASingleCommandByte) {
    OpenMachine();
    ASSERT_TRUE(SendEcCommandByte(0xDC));
    EXPECT_EQ(KbcWrites(), (std::vector<PortWrite>{Command(0xB1), Command(0xBE), Data(0xDC), Command(0xB2)}));
    EXPECT_EQ(emu::PowerOnArming(), "kbc");
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

// A controller that never takes a byte gets nothing written at all: the first wait gives up.
TEST_F(EcProtocolTest, ControllerThatNeverTakesABytePutsEveryOperationOffAtItsBound) {
    OpenMachine(R"({"faults": {"kbcInputNeverClears": true}, "ec": {"ram": {"0xE887": "0x40"}}})");
    uint8_t value = 0;
    EXPECT_FALSE(ReadEcByte(0xE887, &value));
    EXPECT_EQ(value, 0xFF);
    EXPECT_FALSE(WriteEcByte(0xE887, 0x41));
    EXPECT_FALSE(SendEcCommandByte(0xDC));
    EXPECT_TRUE(KbcWrites().empty());
    EXPECT_EQ(emu::EcRam(0xE887), 0x40);
    EXPECT_EQ(emu::PowerOnArming(), "");
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

TEST_F(EcProtocolTest, ReadWithoutAnAnswerStillEndsTheExchange) {
    OpenMachine(R"({"faults": {"kbcNeverPresentsOutput": true}, "ec": {"ram": {"0xE887": "0x40"}}})");
    uint8_t value = 0;
    EXPECT_FALSE(ReadEcByte(0xE887, &value));
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(KbcWrites(), (std::vector<PortWrite>{Command(0xB1), Command(0xBE), Data(0x80), Data(0xE8), Data(0x87),
                                                   Command(0xB2)}));
    EXPECT_FALSE(emu::KeyboardController().inExchange);
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

// --- Configuration channel ---------------------------------------------------------------------

TEST_F(EcProtocolTest, ProbesTheChipIdentificationAndLeavesConfigurationMode) {
    OpenMachine(R"({"ec": {"chipId2E": "0x85"}})");
    CloseAccessDriver();  // the probe opens and closes the driver itself
    opened_ = false;
    EXPECT_EQ(ProbeEcChipId(0x2E), 0x85);
    EXPECT_EQ(emu::PortWritesTo({0x2E, 0x2F}), (std::vector<PortWrite>{Byte(0x2E, 0x55), Byte(0x2E, 0x20), Byte(0x2E, 0xAA)}));
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

TEST_F(EcProtocolTest, ProbeOfAnIndexPortNothingAnswersReadsAllOnes) {
    OpenMachine();
    CloseAccessDriver();
    opened_ = false;
    EXPECT_EQ(ProbeEcChipId(0x6C2), 0xFF);
}

TEST_F(EcProtocolTest, ProbeWithoutTheAccessDriverReadsAllOnesAndTouchesNoPort) {
    MakeWorld(R"({"ec": {"chipId2E": "0x4D"}, "faults": {"scmAccessDenied": true}})");
    ProbeWindowsVersion();
    emu::ClearHardwareRecord();
    EXPECT_EQ(ProbeEcChipId(0x2E), 0xFF);
    EXPECT_TRUE(emu::PortWrites().empty());
}


struct MailboxSearchCase {
    const char* name;
    uint16_t port;
    bool active;
    std::vector<PortWrite> writes;
    uint16_t mailbox;
};

class FindMailboxTest : public EcProtocolTest, public ::testing::WithParamInterface<MailboxSearchCase> {};

TEST_P(FindMailboxTest, ReadsLogicalDevice9AndLeavesConfigurationMode) {
    const MailboxSearchCase& c = GetParam();
    OpenMachine(std::string(R"({"ec": {"chipId2E": "0x85", "chipId6C2": "0x4D", "device9Base": "0x0680", "device9Active": )") +
            (c.active ? "true" : "false") + "}}");
    ecMailboxPort = 0x1234;
    const uint8_t activation = FindEcMailbox(c.port);
    EXPECT_EQ(activation != 0, c.active);
    EXPECT_EQ(ecMailboxPort, c.mailbox);
    EXPECT_EQ(emu::PortWritesTo({c.port, static_cast<uint16_t>(c.port + 1)}), c.writes);
}

const uint16_t P = 0x2E;
const uint16_t Q = 0x6C2;

INSTANTIATE_TEST_SUITE_P(
    Mailbox, FindMailboxTest,
    ::testing::Values(
        MailboxSearchCase{"ActiveThrough2E", P, true,
                          {Byte(P, 0x55), Byte(P, 0x07), Byte(P + 1, 0x09), Byte(P, 0x30), Byte(P, 0x60), Byte(P, 0x61),
                           Byte(P, 0xAA)},
                          0x0680},
        MailboxSearchCase{"InactiveThrough2E", P, false,
                          {Byte(P, 0x55), Byte(P, 0x07), Byte(P + 1, 0x09), Byte(P, 0x30), Byte(P, 0xAA)}, 0},
        MailboxSearchCase{"ActiveThrough6C2", Q, true,
                          {Byte(Q, 0x55), Byte(Q, 0x07), Byte(Q + 1, 0x09), Byte(Q, 0x30), Byte(Q, 0x60), Byte(Q, 0x61),
                           Byte(Q, 0xAA)},
                          0x0680}),
    [](const ::testing::TestParamInfo<MailboxSearchCase>& info) { return std::string(info.param.name); });

class MailboxCommandTest : public EcProtocolTest {
  protected:
    // A newer controller with its mailbox at 0x680; extra: further fields of "ec".
    void MailboxMachine(const std::string& extra = "") {
        OpenMachine(R"({"ec": {"chipId2E": "0x85", "device9Active": true, "device9Base": "0x0680")" + extra + "}}");
        ecMailboxPort = 0x680;
    }
};

TEST_F(MailboxCommandTest, WritesTheFourteenParametersBeforeTheCommand) {
    MailboxMachine();
    EcMailboxBlock block;
    block.bytes[0] = 0xDC;
    ASSERT_TRUE(RunEcMailboxCommand(&block));
    std::vector<PortWrite> expected;
    for (int i = 0; i < 14; ++i) {
        expected.push_back(Byte(0x680, static_cast<uint8_t>(0x84 + i)));
        expected.push_back(Byte(0x681, 0));
    }
    expected.push_back(Byte(0x680, 0x82));
    expected.push_back(Byte(0x681, 0xDC));
    // Before the parameters: reads of the command register (index writes only).
    std::vector<PortWrite> writes = emu::PortWritesTo({0x680, 0x681});
    size_t first = 0;
    while (first < writes.size() && writes[first] == Byte(0x680, 0x82)) ++first;
    ASSERT_GE(first, 1u) << "the command register is read before anything is written";
    ASSERT_GE(writes.size(), first + expected.size());
    EXPECT_EQ(std::vector<PortWrite>(writes.begin() + first, writes.begin() + first + expected.size()), expected);
    auto commands = emu::EcCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0]["channel"], "mailbox");
    EXPECT_EQ(commands[0]["code"], 0xDC);
    EXPECT_EQ(commands[0]["parameters"], nlohmann::json(std::vector<int>(14, 0)));
    EXPECT_EQ(emu::PowerOnArming(), "mailbox");
    EXPECT_TRUE(emu::ProtocolErrors().empty()) << ::testing::PrintToString(emu::ProtocolErrors());
}

TEST_F(MailboxCommandTest, ParametersGoOutInOrderAndTheAnswerComesBack) {
    MailboxMachine();
    EcMailboxBlock block;
    block.bytes[0] = 0x42;
    block.bytes[1] = 0xEE;  // not sent
    for (int i = 2; i < 16; ++i) block.bytes[i] = static_cast<uint8_t>(0x10 + i);
    ASSERT_TRUE(RunEcMailboxCommand(&block));
    auto commands = emu::EcCommands();
    ASSERT_EQ(commands.size(), 1u);
    std::vector<int> parameters;
    for (int i = 2; i < 16; ++i) parameters.push_back(0x10 + i);
    EXPECT_EQ(commands[0]["parameters"], nlohmann::json(parameters));
    // The emulated controller leaves its parameter registers as they were written: the answer
    // read back from 0x84..0x91 equals them.
    for (int i = 2; i < 16; ++i) EXPECT_EQ(block.bytes[i], 0x10 + i) << i;
    for (const PortWrite& w : emu::PortWritesTo({0x681})) EXPECT_NE(w.value, 0xEEu);
}

TEST_F(MailboxCommandTest, ControllerStillBusyGetsNoParametersAndNoCommand) {
    MailboxMachine(R"(, "mailboxCommand": "0x55")");
    EcMailboxBlock block;
    block.bytes[0] = 0xDC;
    EXPECT_FALSE(RunEcMailboxCommand(&block));
    EXPECT_TRUE(emu::PortWritesTo({0x681}).empty());
    EXPECT_TRUE(emu::EcCommands().empty());
}

TEST_F(MailboxCommandTest, CommandThatNeverFinishesReportsFailureWithoutReadingAnAnswer) {
    OpenMachine(R"({"ec": {"chipId2E": "0x85", "device9Active": true, "device9Base": "0x0680"},
                "faults": {"mailboxNeverClears": true}})");
    ecMailboxPort = 0x680;
    EcMailboxBlock block;
    block.bytes[0] = 0xDC;
    block.bytes[2] = 0x77;
    EXPECT_FALSE(RunEcMailboxCommand(&block));
    EXPECT_EQ(emu::EcCommands().size(), 1u) << "the command itself went out";
    // After the command only the command register was read again: no parameter register.
    std::vector<PortWrite> writes = emu::PortWritesTo({0x680, 0x681});
    size_t command = 0;
    while (command < writes.size() && writes[command] != Byte(0x681, 0xDC)) ++command;
    ASSERT_LT(command, writes.size());
    ASSERT_GT(writes.size(), command + 1);
    for (size_t i = command + 1; i < writes.size(); ++i) ASSERT_EQ(writes[i], Byte(0x680, 0x82)) << i;
    EXPECT_EQ(block.bytes[2], 0x77) << "no answer is taken from an unfinished command";
}


}  // namespace
