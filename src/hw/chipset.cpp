#include "hw/chipset.h"

#include "hw/ports.h"

namespace {

// CMOS banks.
constexpr uint16_t kCmosIndexPort = 0x70;
constexpr uint16_t kCmosDataPort = 0x71;
constexpr uint16_t kExtCmosIndexPort = 0x72;
constexpr uint16_t kExtCmosDataPort = 0x73;

// PCI configuration mechanism 1.
constexpr uint16_t kPciAddressPort = 0xCF8;
constexpr uint16_t kPciDataPort = 0xCFC;
constexpr uint32_t kPciEnable = 0x80000000u;

}  // namespace

void WriteCmosByte(uint8_t index, uint8_t value) {
    WritePortByte(kCmosIndexPort, index);
    WritePortByte(kCmosDataPort, value);
}

void WriteExtCmosByte(uint8_t index, uint8_t value) {
    WritePortByte(kExtCmosIndexPort, index);
    WritePortByte(kExtCmosDataPort, value);
}

uint32_t ReadPciConfigDword(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) {
    const uint32_t address = kPciEnable | static_cast<uint32_t>(bus) << 16 |
                             static_cast<uint32_t>(device) << 11 | static_cast<uint32_t>(function) << 8 |
                             reg;
    WritePortDword(kPciAddressPort, address);
    return ReadPortDword(kPciDataPort);
}
