// Helpers of the emulated hardware's tests: port and memory access as a driver would make it,
// and the byte records the access devices take.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emu/hardware.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

class EmulatedHardwareTest : public EmulatedWorldTest {
 public:
  static uint8_t In(uint16_t port) { return static_cast<uint8_t>(emu::ReadPort(port, 1)); }
  static void Out(uint16_t port, uint8_t value) { emu::WritePort(port, 1, value); }

  static std::vector<uint8_t> Memory(uint64_t address, size_t length) {
    std::vector<uint8_t> bytes(length);
    emu::ReadPhysical(address, bytes.data(), length);
    return bytes;
  }
  static std::string MemoryText(uint64_t address, size_t length) {
    std::vector<uint8_t> b = Memory(address, length);
    return std::string(b.begin(), b.end());
  }
  // The offset of the first match at `step` in the F0000 segment, or -1.
  static long FindInSegment(const std::string& text, size_t step = 1) {
    std::vector<uint8_t> seg = Memory(0xF0000, 0x10000);
    for (size_t i = 0; i + text.size() <= seg.size(); i += step)
      if (std::memcmp(seg.data() + i, text.data(), text.size()) == 0) return static_cast<long>(i);
    return -1;
  }

  // The keyboard controller as a driver talks to it: wait for the input buffer, then write.
  static bool WaitInputEmpty() {
    for (int i = 0; i < 100; ++i)
      if ((In(0x64) & 0x02) == 0) return true;
    return false;
  }
  static void KbcCommand(uint8_t c) {
    EXPECT_TRUE(WaitInputEmpty());
    Out(0x64, c);
  }
  static void KbcData(uint8_t v) {
    EXPECT_TRUE(WaitInputEmpty());
    Out(0x60, v);
  }
  static int ReadKbcOutput() {
    for (int i = 0; i < 100; ++i)
      if (In(0x64) & 0x01) return In(0x60);
    return -1;
  }
};

inline void PutU32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(std::vector<uint8_t>* b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
  return v;
}
inline uint32_t Low32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
