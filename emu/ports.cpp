// The notebook's I/O ports: the 8042 keyboard controller with the embedded controller behind it,
// the configuration index/data ports and the controller's mailbox, both CMOS banks, PCI
// configuration mechanism 1, the power-management range with the SMI control word, and the SMI
// command port. A port nothing answers reads as all ones and ignores writes.
#include <algorithm>

#include "emu/machine.h"
#include "emu/world.h"

namespace emu::machine {
namespace {

constexpr uint16_t kKbcData = 0x60;
constexpr uint16_t kKbcCommand = 0x64;
constexpr uint16_t kConfigPorts[2] = {0x2E, 0x6C2};
constexpr uint16_t kPciAddress = 0xCF8;
constexpr uint16_t kPciData = 0xCFC;
constexpr uint8_t kMailboxCommand = 0x82;

// Identity of the emulated chipset's devices on bus 0 (vendor and device ids of our own).
constexpr uint32_t kHostBridgeId = 0x0A001E60;
constexpr uint32_t kLpcBridgeId = 0x0A011E60;
constexpr uint32_t kLpcBridgeClass = 0x06010000;  // bridge, ISA

const json& Prof(const char* pointer) { return ProfileValue(pointer); }

uint32_t PmBase() {
    const json& v = Prof("/pci/pmBase");
    return v.is_number() ? v.get<uint32_t>() : 0xFFFFFFFFu;
}

bool HasPmRange(uint16_t port, uint16_t* offset) {
    uint32_t base = PmBase();
    if (base == 0xFFFFFFFFu) return false;
    uint32_t start = base & 0xFF80;  // I/O base: bits 15..7; bit 0 is a flag
    if (port < start || port >= start + 128) return false;
    *offset = static_cast<uint16_t>(port - start);
    return true;
}

int ConfigPortIndex(uint16_t port, bool* data) {
    for (int i = 0; i < 2; ++i) {
        const json& id = Prof(i == 0 ? "/ec/chipId2E" : "/ec/chipId6C2");
        if (id.is_null()) continue;
        if (port == kConfigPorts[i] || port == kConfigPorts[i] + 1) {
            *data = port != kConfigPorts[i];
            return i;
        }
    }
    return -1;
}

bool IsMailboxPort(const Machine& m, uint16_t port) {
    return m.device9Active != 0 && m.device9Base != 0 && (port == m.device9Base || port == m.device9Base + 1);
}

bool IsSmiPort(uint16_t port) {
    return Prof("/smi/present").is_boolean() && Prof("/smi/present").get<bool>() &&
           Prof("/smi/commandPort").get<uint16_t>() == port;
}

// ---- keyboard controller ----

void Present(Machine& m, bool aux, uint8_t value) {
    if (FaultOn(m, "kbcNeverPresentsOutput")) return;
    m.outputFull = true;
    m.output = value;
    m.outputAux = aux;
}

uint8_t KbcStatus(Machine& m) {
    bool inputFull = FaultOn(m, "kbcInputNeverClears") || m.busyReads > 0;
    if (m.busyReads > 0) --m.busyReads;
    uint8_t s = 0x04 | 0x10;  // system flag; keyboard not inhibited
    if (m.outputFull) s |= 0x01;
    if (inputFull) s |= 0x02;
    if (m.lastWriteWasCommand) s |= 0x08;
    if (m.outputFull && m.outputAux) s |= 0x20;
    return s;
}

uint8_t KbcReadData(Machine& m) {
    m.outputFull = false;
    m.outputAux = false;
    return m.output;
}

// A byte reaches the controller only when its input buffer is empty; one written while it is
// full is lost, as on the real controller.
bool KbcAccepts(Machine& m, bool command, uint8_t value) {
    if (FaultOn(m, "kbcInputNeverClears") || m.busyReads > 0) {
        RecordProtocolError(std::string(command ? "command " : "data ") + Hex(value) + " written to port " +
                            (command ? "0x64" : "0x60") + " while the input buffer was full");
        return false;
    }
    m.busyReads = Prof("/keyboardController/busyReads").get<int>();
    m.lastWriteWasCommand = command;
    return true;
}

void EcCommand(Machine& m, uint8_t code) {
    m.ecCommands.push_back({{"channel", "kbc"}, {"code", code}});
    if (code == 0xDC) m.powerOn = "kbc";
}

void KbcCommand(Machine& m, uint8_t c) {
    if (!KbcAccepts(m, true, c)) return;
    auto needExchange = [&](const char* what) {
        if (m.inExchange) return true;
        RecordProtocolError(std::string(what) + " outside an exchange (no 0xB1 before it)");
        return false;
    };
    switch (c) {
        case 0x20: Present(m, false, m.commandByte); break;
        case 0x60: m.expect = KbcExpect::CommandByte; break;
        case 0xA7: m.commandByte |= 0x20; break;
        case 0xA8: m.commandByte &= static_cast<uint8_t>(~0x20); break;
        case 0xAD: m.commandByte |= 0x10; break;
        case 0xAE: m.commandByte &= static_cast<uint8_t>(~0x10); break;
        case 0xA9:
        case 0xAB: Present(m, false, 0x00); break;
        case 0xAA: Present(m, false, 0x55); break;
        case 0xD2: m.expect = KbcExpect::KeyboardEcho; break;
        case 0xD3: m.expect = KbcExpect::AuxEcho; break;
        case 0xD4: m.expect = KbcExpect::AuxDevice; break;
        case 0xB1:
            if (m.inExchange) RecordProtocolError("0xB1 inside an exchange");
            m.inExchange = true;
            m.expect = KbcExpect::None;
            if (m.pendingExchange.is_object()) {
                Present(m, m.pendingExchange["side"] == "auxiliary", m.pendingExchange["value"].get<uint8_t>());
                m.pendingExchange = nullptr;
            }
            break;
        case 0xBE:
            if (needExchange("0xBE")) m.expect = KbcExpect::EcFirst;
            break;
        case 0xB2:
            if (needExchange("0xB2")) m.inExchange = false;
            m.expect = KbcExpect::None;
            break;
        case 0xB3:
        case 0xB4:
            if (needExchange(c == 0xB3 ? "0xB3" : "0xB4")) {
                m.inExchange = false;
                m.expect = c == 0xB3 ? KbcExpect::ReturnKeyboard : KbcExpect::ReturnAux;
            }
            break;
        default: break;  // commands the notebook does not use are taken and ignored
    }
}

void KbcData(Machine& m, uint8_t v) {
    if (!KbcAccepts(m, false, v)) return;
    KbcExpect e = m.expect;
    m.expect = KbcExpect::None;
    switch (e) {
        case KbcExpect::CommandByte: m.commandByte = v; break;
        case KbcExpect::KeyboardEcho: Present(m, false, v); break;
        case KbcExpect::AuxEcho: Present(m, true, v); break;
        case KbcExpect::AuxDevice: Present(m, true, 0xFA); break;
        case KbcExpect::EcFirst:
            if (v == 0x80 || v == 0x81) {
                m.ecWrite = v == 0x81;
                m.expect = KbcExpect::EcAddressHigh;
            } else {
                EcCommand(m, v);
            }
            break;
        case KbcExpect::EcAddressHigh:
            m.ecAddress = static_cast<uint16_t>(v << 8);
            m.expect = KbcExpect::EcAddressLow;
            break;
        case KbcExpect::EcAddressLow:
            m.ecAddress = static_cast<uint16_t>(m.ecAddress | v);
            if (m.ecWrite) m.expect = KbcExpect::EcValue;
            else Present(m, false, m.ecRam[m.ecAddress]);
            break;
        case KbcExpect::EcValue:
            m.ecRam[m.ecAddress] = v;
            m.ecRamDirty = true;
            break;
        case KbcExpect::ReturnKeyboard:
        case KbcExpect::ReturnAux: {
            bool aux = e == KbcExpect::ReturnAux;
            m.returned.push_back({{"side", aux ? "auxiliary" : "keyboard"}, {"value", v}});
            Present(m, aux, v);
            break;
        }
        case KbcExpect::None:
            // A byte for the keyboard itself, which acknowledges it.
            Present(m, false, 0xFA);
            break;
    }
}

// ---- configuration space and mailbox ----

uint8_t ConfigRead(Machine& m, int i, bool data) {
    if (!m.configMode[i]) return 0xFF;
    if (!data) return m.configIndex[i];
    bool device9 = m.logicalDevice == 9;
    switch (m.configIndex[i]) {
        case 0x20: return Prof(i == 0 ? "/ec/chipId2E" : "/ec/chipId6C2").get<uint8_t>();
        case 0x07: return m.logicalDevice;
        case 0x30: return device9 ? m.device9Active : 0;
        case 0x60: return device9 ? static_cast<uint8_t>(m.device9Base >> 8) : 0;
        case 0x61: return device9 ? static_cast<uint8_t>(m.device9Base) : 0;
        default: return 0;
    }
}

void ConfigWrite(Machine& m, int i, bool data, uint8_t v) {
    if (!data) {
        if (!m.configMode[i]) {
            if (v == 0x55) m.configMode[i] = true;
        } else if (v == 0xAA) {
            m.configMode[i] = false;
        } else {
            m.configIndex[i] = v;
        }
        return;
    }
    if (!m.configMode[i]) return;
    bool device9 = m.logicalDevice == 9;
    switch (m.configIndex[i]) {
        case 0x07: m.logicalDevice = v; break;
        case 0x30: if (device9) m.device9Active = v; break;
        case 0x60: if (device9) m.device9Base = static_cast<uint16_t>((m.device9Base & 0x00FF) | (v << 8)); break;
        case 0x61: if (device9) m.device9Base = static_cast<uint16_t>((m.device9Base & 0xFF00) | v); break;
        default: break;
    }
}

void MailboxWrite(Machine& m, bool data, uint8_t v) {
    if (!data) {
        m.mailboxIndex = v;
        return;
    }
    if (m.mailboxIndex != kMailboxCommand) {
        m.mailbox[m.mailboxIndex] = v;
        return;
    }
    if (m.mailbox[kMailboxCommand] != 0)
        RecordProtocolError("mailbox command " + Hex(v) + " written while command " +
                            Hex(m.mailbox[kMailboxCommand]) + " was still in progress");
    m.mailbox[kMailboxCommand] = v;
    if (v == 0) return;
    m.ecCommands.push_back(
        {{"channel", "mailbox"}, {"code", v}, {"parameters", std::vector<uint8_t>(&m.mailbox[0x84], &m.mailbox[0x92])}});
    if (v == 0xDC) m.powerOn = "mailbox";
    if (!FaultOn(m, "mailboxNeverClears")) m.mailbox[kMailboxCommand] = 0;
}

// ---- PCI ----

uint32_t PciConfigDword(uint32_t address) {
    if (!(address & 0x80000000u)) return 0xFFFFFFFFu;
    uint32_t bus = (address >> 16) & 0xFF, device = (address >> 11) & 0x1F, function = (address >> 8) & 7;
    uint32_t reg = address & 0xFC;
    if (bus == 0 && device == 0 && function == 0) return reg == 0 ? kHostBridgeId : reg == 8 ? 0x06000000u : 0;
    if (bus == 0 && device == 31 && function == 0 && PmBase() != 0xFFFFFFFFu) {
        if (reg == 0) return kLpcBridgeId;
        if (reg == 8) return kLpcBridgeClass;
        if (reg == 0x40) return PmBase();
        return 0;
    }
    return 0xFFFFFFFFu;
}

// ---- byte ports ----

uint8_t ReadByte(Machine& m, uint16_t port) {
    bool data = false;
    uint16_t offset = 0;
    if (port == kKbcData) return KbcReadData(m);
    if (port == kKbcCommand) return KbcStatus(m);
    if (port == 0x71 || port == 0x73) return m.cmos[port == 0x73][m.cmosIndex[port == 0x73]];
    if (int i = ConfigPortIndex(port, &data); i >= 0) return ConfigRead(m, i, data);
    if (IsMailboxPort(m, port)) return port == m.device9Base ? m.mailboxIndex : m.mailbox[m.mailboxIndex];
    if (HasPmRange(port, &offset)) return m.pm[offset];
    if (IsSmiPort(port)) return m.smiLastCommand;
    return 0xFF;
}

void WriteByte(Machine& m, uint16_t port, uint8_t v) {
    bool data = false;
    uint16_t offset = 0;
    if (port == kKbcData) return KbcData(m, v);
    if (port == kKbcCommand) return KbcCommand(m, v);
    if (port == 0x70 || port == 0x72) {
        m.cmosIndex[port == 0x72] = v & 0x7F;  // bit 7 of port 0x70 masks NMI
        return;
    }
    if (port == 0x71 || port == 0x73) {
        m.cmos[port == 0x73][m.cmosIndex[port == 0x73]] = v;
        return;
    }
    if (int i = ConfigPortIndex(port, &data); i >= 0) return ConfigWrite(m, i, data, v);
    if (IsMailboxPort(m, port)) return MailboxWrite(m, port != m.device9Base, v);
    if (HasPmRange(port, &offset)) {
        m.pm[offset] = v;
        return;
    }
    if (IsSmiPort(port)) {
        m.smiLastCommand = v;
        SmiCommand(m, v);
    }
}

}  // namespace

void InitializePorts(Machine& m, const json& p) {
    const json& kbc = p["keyboardController"];
    m.commandByte = kbc["commandByte"].get<uint8_t>();
    if (kbc["output"].is_object()) {
        m.outputFull = true;
        m.output = kbc["output"]["value"].get<uint8_t>();
        m.outputAux = kbc["output"]["side"] == "auxiliary";
    }
    const json& ec = p["ec"];
    m.pendingExchange = ec["pendingByte"];
    m.device9Active = ec["device9Active"].get<bool>() ? 1 : 0;
    m.device9Base = ec["device9Base"].get<uint16_t>();
    m.mailbox[kMailboxCommand] = ec["mailboxCommand"].get<uint8_t>();
    for (int bank = 0; bank < 2; ++bank) {
        m.cmos[bank].fill(p["cmos"]["fill"].get<uint8_t>());
        for (const auto& [index, value] : p["cmos"][bank == 0 ? "standard" : "extended"].items())
            m.cmos[bank][std::stoul(index, nullptr, 16) & 0x7F] = value.get<uint8_t>();
    }
    uint16_t smi = p["pci"]["smiControl"].get<uint16_t>();
    m.pm[0x30] = static_cast<uint8_t>(smi);
    m.pm[0x31] = static_cast<uint8_t>(smi >> 8);
}

uint32_t PortRead(Machine& m, uint16_t port, int width) {
    CountPortRead();
    if (width == 4 && port == kPciAddress) return m.pciAddress;
    if (port >= kPciData && port <= kPciData + 3) {
        uint32_t dword = PciConfigDword(m.pciAddress);
        uint32_t shifted = dword >> (8 * (port - kPciData));
        return width == 4 ? shifted : shifted & (width == 2 ? 0xFFFFu : 0xFFu);
    }
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<uint32_t>(ReadByte(m, static_cast<uint16_t>(port + i))) << (8 * i);
    return value;
}

void PortWrite(Machine& m, uint16_t port, int width, uint32_t value) {
    RecordPortWrite(port, width, value);
    if (width == 4 && port == kPciAddress) {
        m.pciAddress = value;
        return;
    }
    if (port >= kPciData && port <= kPciData + 3) return;  // configuration writes are not modelled
    for (int i = 0; i < width; ++i) WriteByte(m, static_cast<uint16_t>(port + i), static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace emu::machine
