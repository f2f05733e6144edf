// The chipset's registers behind I/O ports: both CMOS banks and PCI configuration mechanism 1.
// Each call issues its port requests inside an access-driver bracket that the caller holds.
#pragma once

#include <cstdint>

// PCI configuration mechanism 1: the dword at register of bus:device.function (each taken as one
// byte). 0xFFFFFFFF where no device answers.
uint32_t ReadPciConfigDword(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg);
// One byte of the standard CMOS bank (ports 0x70/0x71) and of the extended bank (0x72/0x73).
void WriteCmosByte(uint8_t index, uint8_t value);
void WriteExtCmosByte(uint8_t index, uint8_t value);
