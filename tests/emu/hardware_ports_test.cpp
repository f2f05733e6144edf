// The notebook's I/O ports: keyboard controller and embedded controller, configuration ports and
// mailbox, CMOS, PCI, the SMI control word and the software SMI.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/emu/hardware_helpers.h"

namespace {

using emu::PortWrite;

TEST_F(EmulatedHardwareTest, InputBufferStaysFullUntilTheControllerTakesTheByte) {
  MakeWorld();
  EXPECT_EQ(In(0x64) & 0x02, 0);
  Out(0x64, 0xAD);
  EXPECT_EQ(In(0x64) & 0x02, 0x02) << "the first status read after a write still shows it full";
  EXPECT_EQ(In(0x64) & 0x02, 0);
  EXPECT_TRUE(emu::ProtocolErrors().empty());

  Out(0x64, 0xA7);
  Out(0x64, 0xAE);  // written without waiting: lost
  ASSERT_EQ(emu::ProtocolErrors().size(), 1u);
  EXPECT_NE(emu::ProtocolErrors()[0].find("0xAE"), std::string::npos);
  EXPECT_FALSE(emu::KeyboardController().keyboardEnabled) << "the lost 0xAE did not enable the keyboard";
}

TEST_F(EmulatedHardwareTest, InterfacesFollowTheCommandsAndTheCommandByte) {
  MakeWorld();
  struct Step {
    bool command;
    uint8_t value;
    bool keyboard, aux;
  };
  const Step steps[] = {
      {true, 0xAD, false, true}, {true, 0xA7, false, false}, {true, 0xAE, true, false},
      {true, 0xA8, true, true},  {true, 0x60, true, true},   {false, 0x74, false, false},
      {true, 0x60, false, false}, {false, 0x47, true, true},
  };
  for (const Step& s : steps) {
    if (s.command) KbcCommand(s.value);
    else KbcData(s.value);
    emu::KeyboardControllerState k = emu::KeyboardController();
    EXPECT_EQ(k.keyboardEnabled, s.keyboard) << std::hex << int(s.value);
    EXPECT_EQ(k.auxiliaryEnabled, s.aux) << std::hex << int(s.value);
  }
  KbcCommand(0x20);
  EXPECT_EQ(ReadKbcOutput(), 0x47);
  EXPECT_EQ(In(0x64) & 0x01, 0) << "reading port 0x60 empties the output buffer";
  EXPECT_TRUE(emu::ProtocolErrors().empty());
}

// The exchange with the embedded controller as the controller expects it.
void WriteEcRam(uint16_t address, uint8_t value) {
  EmulatedHardwareTest::KbcCommand(0xB1);
  EmulatedHardwareTest::KbcCommand(0xBE);
  for (uint8_t b : {uint8_t(0x81), uint8_t(address >> 8), uint8_t(address), value}) EmulatedHardwareTest::KbcData(b);
  EmulatedHardwareTest::KbcCommand(0xB2);
}

TEST_F(EmulatedHardwareTest, ControllerRamIsReadAndWrittenThroughAnExchange) {
  MakeWorld();
  EXPECT_EQ(emu::EcRam(0xE887), 0x40);
  KbcCommand(0xB1);
  KbcCommand(0xBE);
  for (uint8_t b : {0x80, 0xE8, 0x87}) KbcData(b);
  EXPECT_EQ(ReadKbcOutput(), 0x40);
  KbcCommand(0xB2);
  WriteEcRam(0xE887, 0x41);
  EXPECT_EQ(emu::EcRam(0xE887), 0x41);
  EXPECT_FALSE(emu::KeyboardController().inExchange);
  EXPECT_TRUE(emu::ProtocolErrors().empty());
  std::vector<PortWrite> expected = {{0x64, 1, 0xB1}, {0x64, 1, 0xBE}, {0x60, 1, 0x81}, {0x60, 1, 0xE8},
                                     {0x60, 1, 0x87}, {0x60, 1, 0x41}, {0x64, 1, 0xB2}};
  std::vector<PortWrite> writes = emu::PortWrites();
  EXPECT_EQ(std::vector<PortWrite>(writes.end() - 7, writes.end()), expected);
}

TEST_F(EmulatedHardwareTest, PendingByteIsPresentedAtTheExchangeAndTakenBackAtItsEnd) {
  struct Row {
    const char* side;
    uint8_t end;
    bool aux;
  };
  for (const Row& r : {Row{"keyboard", 0xB3, false}, Row{"auxiliary", 0xB4, true}}) {
    SCOPED_TRACE(r.side);
    MakeWorld(std::string(R"({"ec":{"pendingByte":{"side":")") + r.side + R"(","value":"0x1C"}}})");
    KbcCommand(0xB1);
    ASSERT_TRUE(WaitInputEmpty());
    uint8_t status = In(0x64);
    EXPECT_EQ(status & 0x01, 0x01);
    EXPECT_EQ((status & 0x20) != 0, r.aux);
    EXPECT_EQ(In(0x60), 0x1C);
    KbcCommand(r.end);
    KbcData(0x1C);
    std::vector<nlohmann::json> back = emu::ReturnedBytes();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0]["side"], r.side);
    EXPECT_EQ(back[0]["value"], 0x1C);
    emu::KeyboardControllerState k = emu::KeyboardController();
    EXPECT_TRUE(k.outputFull);
    EXPECT_EQ(k.output, 0x1C);
    EXPECT_EQ(k.outputAuxiliary, r.aux);
    // The byte came once: the next exchange presents nothing.
    In(0x60);
    KbcCommand(0xB1);
    ASSERT_TRUE(WaitInputEmpty());
    EXPECT_EQ(In(0x64) & 0x01, 0);
    KbcCommand(0xB2);
  }
}

TEST_F(EmulatedHardwareTest, SingleCommandCodeArmsThePowerOn) {
  MakeWorld();
  KbcCommand(0xB1);
  KbcCommand(0xBE);
  KbcData(0xDC);
  KbcCommand(0xB2);
  EXPECT_EQ(emu::PowerOnArming(), "kbc");
  ASSERT_EQ(emu::EcCommands().size(), 1u);
  EXPECT_EQ(emu::EcCommands()[0]["code"], 0xDC);
}

TEST_F(EmulatedHardwareTest, ExchangeCommandsOutsideAnExchangeAreProtocolErrors) {
  MakeWorld();
  for (uint8_t c : {0xBE, 0xB2, 0xB3}) {
    KbcCommand(c);
  }
  EXPECT_EQ(emu::ProtocolErrors().size(), 3u);
  KbcCommand(0xB1);
  KbcCommand(0xB1);
  EXPECT_EQ(emu::ProtocolErrors().size(), 4u);
}

TEST_F(EmulatedHardwareTest, KeyboardControllerFaultKnobs) {
  MakeWorld(R"({"faults":{"kbcInputNeverClears":true}})");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(In(0x64) & 0x02, 0x02);
  Out(0x64, 0xAD);
  EXPECT_TRUE(emu::KeyboardController().keyboardEnabled) << "a byte written while full is lost";

  MakeWorld(R"({"faults":{"kbcNeverPresentsOutput":true},"ec":{"pendingByte":{"side":"keyboard","value":1}}})");
  KbcCommand(0xB1);
  KbcCommand(0xBE);
  for (uint8_t b : {0x80, 0xE8, 0x87}) KbcData(b);
  EXPECT_EQ(ReadKbcOutput(), -1);
  emu::SetFault("kbcNeverPresentsOutput", false);
  KbcCommand(0xB2);
  KbcCommand(0x20);
  EXPECT_EQ(ReadKbcOutput(), 0x47) << "the knob can be turned off while the world runs";
  EXPECT_THROW(emu::SetFault("kbcNeverPresentOutput", true), std::invalid_argument) << "a misspelt knob";
}

TEST_F(EmulatedHardwareTest, ConfigurationPortsIdentifyTheChipAndLeadToLogicalDevice9) {
  MakeWorld(R"({"ec":{"chipId2E":"0x85","device9Active":true,"device9Base":"0x0680"}})");
  EXPECT_EQ(In(0x2F), 0xFF) << "outside configuration mode";
  Out(0x2E, 0x55);
  Out(0x2E, 0x20);
  EXPECT_EQ(In(0x2F), 0x85);
  Out(0x2E, 0x07);
  Out(0x2F, 0x09);
  Out(0x2E, 0x30);
  EXPECT_EQ(In(0x2F), 1);
  Out(0x2E, 0x60);
  EXPECT_EQ(In(0x2F), 0x06);
  Out(0x2E, 0x61);
  EXPECT_EQ(In(0x2F), 0x80);
  Out(0x2E, 0xAA);
  EXPECT_EQ(In(0x2F), 0xFF);
  // Nothing answers at the other configuration port of this notebook.
  Out(0x6C2, 0x55);
  Out(0x6C2, 0x20);
  EXPECT_EQ(In(0x6C3), 0xFF);
}

TEST_F(EmulatedHardwareTest, ChipAtTheSecondConfigurationPort) {
  MakeWorld(R"({"ec":{"chipId6C2":"0x4D"}})");
  Out(0x2E, 0x55);
  Out(0x2E, 0x20);
  EXPECT_EQ(In(0x2F), 0xFF);
  Out(0x6C2, 0x55);
  Out(0x6C2, 0x20);
  EXPECT_EQ(In(0x6C3), 0x4D);
  Out(0x6C2, 0x07);
  Out(0x6C3, 0x09);
  Out(0x6C2, 0x30);
  EXPECT_EQ(In(0x6C3), 0) << "logical device 9 inactive";
  Out(0x6C2, 0xAA);
}

void MailboxWrite(uint8_t reg, uint8_t value) {
  EmulatedHardwareTest::Out(0x680, reg);
  EmulatedHardwareTest::Out(0x681, value);
}
uint8_t MailboxRead(uint8_t reg) {
  EmulatedHardwareTest::Out(0x680, reg);
  return EmulatedHardwareTest::In(0x681);
}

TEST_F(EmulatedHardwareTest, MailboxCarriesOutACommandAndReturnsToIdle) {
  MakeWorld(R"({"ec":{"chipId2E":"0x85","device9Active":true,"device9Base":"0x0680"}})");
  EXPECT_EQ(MailboxRead(0x82), 0);
  for (uint8_t r = 0x84; r <= 0x91; ++r) MailboxWrite(r, static_cast<uint8_t>(r - 0x84));
  MailboxWrite(0x82, 0xDC);
  EXPECT_EQ(MailboxRead(0x82), 0);
  EXPECT_EQ(emu::PowerOnArming(), "mailbox");
  ASSERT_EQ(emu::EcCommands().size(), 1u);
  EXPECT_EQ(emu::EcCommands()[0]["channel"], "mailbox");
  EXPECT_EQ(emu::EcCommands()[0]["parameters"].size(), 14u);
  EXPECT_EQ(emu::EcCommands()[0]["parameters"][13], 13);
  EXPECT_TRUE(emu::ProtocolErrors().empty());
}

TEST_F(EmulatedHardwareTest, MailboxThatNeverClearsKeepsItsCommand) {
  MakeWorld(R"({"ec":{"chipId2E":"0x85","device9Active":true},"faults":{"mailboxNeverClears":true}})");
  MailboxWrite(0x82, 0xDC);
  EXPECT_EQ(MailboxRead(0x82), 0xDC);
  MailboxWrite(0x82, 0xDC);
  EXPECT_EQ(emu::ProtocolErrors().size(), 1u) << "a command written while one is in progress";
}

TEST_F(EmulatedHardwareTest, InactiveLogicalDeviceHasNoMailbox) {
  MakeWorld(R"({"ec":{"chipId2E":"0x85","device9Active":false}})");
  MailboxWrite(0x82, 0xDC);
  EXPECT_EQ(MailboxRead(0x82), 0xFF);
  EXPECT_EQ(emu::PowerOnArming(), "");
}

TEST_F(EmulatedHardwareTest, CmosBanksAreSeparate) {
  MakeWorld(R"({"cmos":{"fill":"0x5A","standard":{"0x20":"0x11"},"extended":{"0x20":"0x22"}}})");
  Out(0x70, 0x20);
  EXPECT_EQ(In(0x71), 0x11);
  Out(0x72, 0x20);
  EXPECT_EQ(In(0x73), 0x22);
  Out(0x70, 0xA1);  // NMI mask bit set: still index 0x21
  Out(0x71, 0);
  EXPECT_EQ(emu::Cmos(0, 0x21), 0);
  EXPECT_EQ(emu::Cmos(1, 0x21), 0x5A);
}

uint32_t PciRead(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg) {
  emu::WritePort(0xCF8, 4, 0x80000000u | bus << 16 | device << 11 | function << 8 | reg);
  return emu::ReadPort(0xCFC, 4);
}

TEST_F(EmulatedHardwareTest, PciBridgeGivesThePowerManagementBaseWithItsFlag) {
  MakeWorld(R"({"pci":{"pmBase":"0x0501"}})");
  EXPECT_EQ(PciRead(0, 31, 0, 0x40), 0x0501u);
  EXPECT_EQ(PciRead(0, 30, 0, 0x40), 0xFFFFFFFFu) << "no device there";
  EXPECT_EQ(PciRead(1, 31, 0, 0x40), 0xFFFFFFFFu);
  emu::WritePort(0xCF8, 4, (31u << 11) | 0x40);  // enable bit clear
  EXPECT_EQ(emu::ReadPort(0xCFC, 4), 0xFFFFFFFFu);

  MakeWorld(R"({"pci":{"pmBase":"0xFFFFFFFF"}})");
  EXPECT_EQ(PciRead(0, 31, 0, 0x40), 0xFFFFFFFFu);
  EXPECT_EQ(PciRead(0, 31, 0, 0x00), 0xFFFFFFFFu);
}

TEST_F(EmulatedHardwareTest, SmiControlWordLiesAtBasePlus0x30) {
  MakeWorld(R"({"pci":{"pmBase":"0x0401","smiControl":"0x2032"}})");
  EXPECT_EQ(emu::ReadPort(0x430, 2), 0x2032u);
  EXPECT_FALSE(emu::GlobalSmiEnabled());
  emu::WritePort(0x430, 2, 0x2033);
  EXPECT_EQ(emu::SmiControlWord(), 0x2033);
  EXPECT_TRUE(emu::GlobalSmiEnabled());
  EXPECT_EQ(emu::PortWritesTo({0x430}), (std::vector<PortWrite>{{0x430, 2, 0x2033}}));
}

TEST_F(EmulatedHardwareTest, UnusedPortsReadAllOnesOfTheirWidth) {
  MakeWorld();
  EXPECT_EQ(emu::ReadPort(0x300, 1), 0xFFu);
  EXPECT_EQ(emu::ReadPort(0x300, 2), 0xFFFFu);
  EXPECT_EQ(emu::ReadPort(0x300, 4), 0xFFFFFFFFu);
}

// The software SMI as a caller makes it: first command, request in the buffer, second command,
// wait for the status, third command.
std::vector<uint8_t> CallSmi(uint16_t function, bool withFirst = true) {
  uint64_t buffer = 0x9F00 * 16 + 0x100;
  if (withFirst) EmulatedHardwareTest::Out(0xB2, 0x8E);
  std::vector<uint8_t> request(21, 0);
  request[0] = 'C';
  request[1] = 'X';
  request[2] = static_cast<uint8_t>(function);
  emu::WritePhysical(buffer, request.data(), request.size());
  EmulatedHardwareTest::Out(0xB2, 0x8F);
  std::vector<uint8_t> answer(21);
  emu::ReadPhysical(buffer, answer.data(), answer.size());
  EmulatedHardwareTest::Out(0xB2, 0x90);
  return answer;
}

TEST_F(EmulatedHardwareTest, SmiFunction4AnswersTheModel) {
  struct Row {
    const char* patch;
    std::vector<uint8_t> data;
  };
  const Row rows[] = {
      {"{}", {'R', '5', '8', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {R"({"bios":{"model":"XR581"}})", {'R', '5', '8', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {R"({"smi":{"function4":"none"}})", std::vector<uint8_t>(16, 0xFF)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.patch);
    MakeWorld(r.patch);
    std::vector<uint8_t> answer = CallSmi(4);
    EXPECT_EQ(answer[4], 0xAA);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin() + 5, answer.end()), r.data);
    EXPECT_TRUE(emu::ProtocolErrors().empty());
  }
}

TEST_F(EmulatedHardwareTest, SmiThatNeverCompletesLeavesTheStatusAlone) {
  MakeWorld(R"({"faults":{"smiNeverCompletes":true}})");
  EXPECT_EQ(CallSmi(4)[4], 0);
  ASSERT_EQ(emu::SmiRequests().size(), 1u);
  EXPECT_EQ(emu::SmiRequests()[0]["completed"], false);
}

TEST_F(EmulatedHardwareTest, SmiSecondCommandWithoutTheFirstIsAProtocolError) {
  MakeWorld();
  EXPECT_EQ(CallSmi(4, false)[4], 0xAA);
  EXPECT_EQ(emu::ProtocolErrors().size(), 1u);
}

}  // namespace
