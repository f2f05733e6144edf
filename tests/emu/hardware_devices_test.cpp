// The access devices through the emulated seam: which exist where, how they must be opened, the
// request records each accepts and refuses.
#include <gtest/gtest.h>

#include "tests/emu/hardware_helpers.h"

namespace {

constexpr uint32_t kReadWrite = os::kGenericRead | os::kGenericWrite;
constexpr const char* kQlix = "\\\\.\\QLIX\\QlixDrv.log";
constexpr const char* kKmdf = "\\\\.\\KMDFMEMIO\\kmdfmemiosamp.log";
constexpr const char* kAddmem = "\\\\.\\ADDMEM";
constexpr const char* kMemio = "\\\\.\\MEMIO.VXD";

constexpr const char* kWin7Qtv = R"({"windows":{"major":6,"minor":1,"wow64":false},"accessDevices":{"qtv":true}})";
constexpr const char* kWin7x64Qtv = R"({"windows":{"major":6,"minor":1,"wow64":true},"accessDevices":{"qtv":true}})";
constexpr const char* kVistaQtv = R"({"windows":{"major":6,"minor":0},"accessDevices":{"qtv":true}})";
constexpr const char* kRunningAddmem = R"({"services":{"addmem":{"state":"running"}}})";
constexpr const char* kWin98 = R"({"windows":{"major":4,"minor":10,"platform":"9x"}})";

os::Handle OpenDriver(const char* path) {
  bool memio = std::string(path) == kMemio;
  return os::CreateFile(path, kReadWrite, 0, memio ? 0 : os::kOpenExisting,
                        memio ? os::kFileFlagDeleteOnClose | os::kFileAttributeNormal : os::kFileAttributeNormal);
}

struct Reply {
  bool ok;
  uint32_t error;
  uint32_t returned;
};

Reply Ioctl(os::Handle h, uint32_t code, const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  uint32_t returned = 0xDEAD;
  bool ok = os::DeviceIoControl(h, code, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
                                out->empty() ? nullptr : out->data(), static_cast<uint32_t>(out->size()), &returned);
  return Reply{ok, ok ? 0 : os::GetLastError(), returned};
}

TEST_F(EmulatedHardwareTest, EachAccessDeviceExistsOnlyWhereItsDriverRuns) {
  struct Row {
    const char* patch;
    const char* path;
    bool exists;
  };
  const Row rows[] = {
      {kWin7Qtv, kQlix, true},
      {kWin7Qtv, kKmdf, false},
      {R"({"windows":{"major":6,"minor":1}})", kQlix, false},
      {kVistaQtv, kKmdf, true},
      {kVistaQtv, kQlix, false},
      {R"({"accessDevices":{"qtv":true}})", kQlix, false},
      {"{}", kAddmem, false},
      {kRunningAddmem, kAddmem, true},
      {R"({"services":{"addmem":{"state":"stale"}}})", kAddmem, false},
      {kWin98, kMemio, true},
      {kWin98, kAddmem, false},
      {R"({"windows":{"platform":"9x"},"accessDevices":{"memioVxd":false}})", kMemio, false},
      {"{}", kMemio, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.patch) + " " + r.path);
    MakeWorld(r.patch);
    os::Handle h = OpenDriver(r.path);
    EXPECT_EQ(os::IsValid(h), r.exists);
    if (!r.exists) {
      EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
    }
    ASSERT_EQ(emu::DeviceOpens().size(), 1u);
    EXPECT_EQ(emu::DeviceOpens()[0].accepted, r.exists);
    if (os::IsValid(h)) {
      EXPECT_EQ(emu::OpenDeviceHandles(), 1);
      EXPECT_TRUE(os::CloseHandle(h));
      EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    }
  }
}

TEST_F(EmulatedHardwareTest, DevicesOpenedOtherwiseThanTheirDriversExpectFail) {
  struct Row {
    const char* patch;
    const char* path;
    uint32_t access, share, disposition, flags;
  };
  const Row rows[] = {
      {kRunningAddmem, kAddmem, os::kGenericRead, 0, os::kOpenExisting, os::kFileAttributeNormal},
      {kRunningAddmem, kAddmem, kReadWrite, os::kShareRead, os::kOpenExisting, os::kFileAttributeNormal},
      {kRunningAddmem, kAddmem, kReadWrite, 0, os::kOpenAlways, os::kFileAttributeNormal},
      {kWin7Qtv, kQlix, kReadWrite, 0, os::kCreateAlways, os::kFileAttributeNormal},
      {kWin98, kMemio, kReadWrite, 0, os::kOpenExisting, os::kFileFlagDeleteOnClose | os::kFileAttributeNormal},
      {kWin98, kMemio, kReadWrite, 0, 0, os::kFileAttributeNormal},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path) + " disposition " + std::to_string(r.disposition));
    MakeWorld(r.patch);
    EXPECT_FALSE(os::IsValid(os::CreateFile(r.path, r.access, r.share, r.disposition, r.flags)));
    ASSERT_EQ(emu::DeviceOpens().size(), 1u);
    EXPECT_FALSE(emu::DeviceOpens()[0].reason.empty());
  }
}

TEST_F(EmulatedHardwareTest, DevicePathsAreNamesWithoutRegardToCase) {
  MakeWorld(kRunningAddmem);
  os::Handle h = OpenDriver("\\\\.\\addmem");
  EXPECT_TRUE(os::IsValid(h));
  os::CloseHandle(h);
  EXPECT_FALSE(os::IsValid(OpenDriver("\\\\.\\ADDMEM2")));
}

// ---- Qlix ----

std::vector<uint8_t> QlixRecord(bool wide, uint64_t address, uint8_t direction, uint64_t length,
                                const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> r(wide ? 17 : 9, 0);
  if (wide) {
    PutU64(&r, 0, address);
    r[8] = direction;
    PutU64(&r, 9, length);
  } else {
    PutU32(&r, 0, static_cast<uint32_t>(address));
    r[4] = direction;
    PutU32(&r, 5, static_cast<uint32_t>(length));
  }
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

TEST_F(EmulatedHardwareTest, QlixRequestsFollowTheBitnessOfWindows) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "64-bit" : "32-bit");
    MakeWorld(wide ? kWin7x64Qtv : kWin7Qtv);
    os::Handle h = OpenDriver(kQlix);
    ASSERT_TRUE(os::IsValid(h));
    std::vector<uint8_t> scratch(1, 0x77);
    std::vector<uint8_t> write = QlixRecord(wide, 0x70, 0, 1, {0x20});
    EXPECT_EQ(write.size(), wide ? 18u : 10u);
    Reply r = Ioctl(h, 0x9C412008, write, &scratch);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(scratch[0], 0x77) << "a write returns nothing into the scratch buffer";
    EXPECT_EQ(r.returned, 0u);

    emu::SetCmos(0, 0x20, 0x3C);
    std::vector<uint8_t> out(1);
    EXPECT_TRUE(Ioctl(h, 0x9C412008, QlixRecord(wide, 0x71, 1, 1), &out).ok);
    EXPECT_EQ(out[0], 0x3C);

    std::vector<uint8_t> dword(4);
    EXPECT_TRUE(Ioctl(h, 0x9C412008, QlixRecord(wide, 0x300, 1, 4), &dword).ok);
    EXPECT_EQ(GetU32(dword, 0), 0xFFFFFFFFu);

    std::vector<uint8_t> block(0x10000);
    EXPECT_TRUE(Ioctl(h, 0x9C41200C, QlixRecord(wide, 0xF0000, 1, 0x10000), &block).ok);
    EXPECT_EQ(block, Memory(0xF0000, 0x10000));

    // The other bitness's layout is malformed here.
    std::vector<uint8_t> one(1);
    Reply bad = Ioctl(h, 0x9C412008, QlixRecord(!wide, 0x71, 1, 1), &one);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, os::kErrorInvalidParameter);
    os::CloseHandle(h);
  }
}

TEST_F(EmulatedHardwareTest, MalformedRequestsAreRefusedAndNothingIsCarriedOut) {
  struct Row {
    const char* name;
    const char* patch;
    const char* path;
    uint32_t code;
    std::vector<uint8_t> in;
    size_t outSize;
  };
  std::vector<uint8_t> qlixWrite3 = QlixRecord(false, 0x70, 0, 3, {1, 2, 3});
  std::vector<uint8_t> qlixDir2 = QlixRecord(false, 0x70, 2, 1, {0x20});
  std::vector<uint8_t> qlixLong = QlixRecord(false, 0x70, 0, 1, {0x20, 0});
  std::vector<uint8_t> qlixBigPort = QlixRecord(false, 0x10070, 0, 1, {0x20});
  std::vector<uint8_t> addmem(8, 0);
  PutU32(&addmem, 0, 0x70);
  std::vector<uint8_t> kmdf(17, 0);
  PutU32(&kmdf, 0, 0x70);
  PutU32(&kmdf, 8, 2);  // length 2 in a byte request
  PutU32(&kmdf, 12, Low32(&kmdf));
  const Row rows[] = {
      {"unknown code", kRunningAddmem, kAddmem, 0x222054, addmem, 1},
      {"port write output not the width", kRunningAddmem, kAddmem, 0x222034, addmem, 2},
      {"port input not 8 bytes", kRunningAddmem, kAddmem, 0x222034, std::vector<uint8_t>(9, 0), 1},
      {"memory read with data", kRunningAddmem, kAddmem, 0x22204C, std::vector<uint8_t>(9, 0), 1},
      {"memory write of nothing", kRunningAddmem, kAddmem, 0x222050, addmem, 0},
      {"qlix width 3", kWin7Qtv, kQlix, 0x9C412008, qlixWrite3, 3},
      {"qlix direction 2", kWin7Qtv, kQlix, 0x9C412008, qlixDir2, 1},
      {"qlix input too long", kWin7Qtv, kQlix, 0x9C412008, qlixLong, 1},
      {"qlix port above 0xFFFF", kWin7Qtv, kQlix, 0x9C412008, qlixBigPort, 1},
      {"qlix unknown code", kWin7Qtv, kQlix, 0x9C412010, QlixRecord(false, 0x70, 1, 1), 1},
      {"kmdf length 2 in a byte request", kVistaQtv, kKmdf, 0x9C412404, kmdf, 17},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    MakeWorld(r.patch);
    os::Handle h = OpenDriver(r.path);
    ASSERT_TRUE(os::IsValid(h));
    std::vector<uint8_t> out(r.outSize, 0x5A);
    Reply reply = Ioctl(h, r.code, r.in, &out);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, os::kErrorInvalidParameter);
    EXPECT_TRUE(emu::PortWrites().empty());
    ASSERT_EQ(emu::DeviceRequests().size(), 1u);
    EXPECT_FALSE(emu::DeviceRequests()[0].accepted);
    EXPECT_EQ(emu::DeviceRequests()[0].code, r.code);
    EXPECT_EQ(out, std::vector<uint8_t>(r.outSize, 0x5A));
    os::CloseHandle(h);
  }
}

// ---- Kmdf ----

std::vector<uint8_t> KmdfRecord(uint32_t port, uint32_t physical, uint32_t length) {
  std::vector<uint8_t> r(16 + length, 0);
  PutU32(&r, 0, port);
  PutU32(&r, 4, physical);
  PutU32(&r, 8, length);
  PutU32(&r, 12, Low32(r.data() + 16));
  return r;
}

TEST_F(EmulatedHardwareTest, KmdfReturnsTheRecordWithTheResultAtOffset16) {
  MakeWorld(kVistaQtv);
  emu::SetCmos(0, 0x21, 0x99);
  struct Row {
    uint32_t code;
    uint32_t port;
    uint32_t length;
    uint32_t value;  // written, or expected when read
    bool read;
  };
  const Row rows[] = {
      {0x9C412404, 0x70, 1, 0x21, false},
      {0x9C412400, 0x71, 1, 0x99, true},
      {0x9C41240C, 0x430, 2, 0x0003, false},
      {0x9C412408, 0x430, 2, 0x0003, true},
      {0x9C412414, 0xCF8, 4, 0x8000F840, false},
      {0x9C412410, 0xCFC, 4, 0x00000401, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.code));
    os::Handle h = OpenDriver(kKmdf);
    ASSERT_TRUE(os::IsValid(h));
    std::vector<uint8_t> record = KmdfRecord(r.port, 0, r.length);
    if (!r.read)
      for (uint32_t i = 0; i < r.length; ++i) record[16 + i] = static_cast<uint8_t>(r.value >> (8 * i));
    std::vector<uint8_t> sent = record;
    uint32_t returned = 0;
    ASSERT_TRUE(os::DeviceIoControl(h, r.code, record.data(), static_cast<uint32_t>(record.size()), record.data(),
                                    static_cast<uint32_t>(record.size()), &returned));
    EXPECT_EQ(returned, 16 + r.length);
    EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + 16), std::vector<uint8_t>(sent.begin(), sent.begin() + 16))
        << "the header, data pointer included, comes back unchanged";
    uint32_t value = 0;
    for (uint32_t i = 0; i < r.length; ++i) value |= static_cast<uint32_t>(record[16 + i]) << (8 * i);
    EXPECT_EQ(value, r.value);
    os::CloseHandle(h);
  }
  EXPECT_EQ(emu::PortWrites(), (std::vector<emu::PortWrite>{{0x70, 1, 0x21}, {0x430, 2, 0x0003}, {0xCF8, 4, 0x8000F840}}));
}

TEST_F(EmulatedHardwareTest, KmdfMemoryReadOfTheSegmentIs0x10010BytesEachWay) {
  MakeWorld(kVistaQtv);
  os::Handle h = OpenDriver(kKmdf);
  std::vector<uint8_t> record = KmdfRecord(0, 0xF0000, 0x10000);
  uint32_t returned = 0;
  ASSERT_TRUE(os::DeviceIoControl(h, 0x9C412800, record.data(), 0x10010, record.data(), 0x10010, &returned));
  EXPECT_EQ(emu::DeviceRequests()[0].inSize, 0x10010u);
  EXPECT_EQ(emu::DeviceRequests()[0].outSize, 0x10010u);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 16, record.end()), Memory(0xF0000, 0x10000));
  os::CloseHandle(h);
}

TEST_F(EmulatedHardwareTest, KmdfDataPointerMustNameTheCallersMemory) {
  MakeWorld(kVistaQtv);
  os::Handle h = OpenDriver(kKmdf);
  std::vector<uint8_t> record = KmdfRecord(0x71, 0, 1);
  PutU32(&record, 12, Low32(record.data()) + 0x200000);  // 2 MiB away
  EXPECT_FALSE(os::DeviceIoControl(h, 0x9C412400, record.data(), 17, record.data(), 17, nullptr));
  EXPECT_EQ(os::GetLastError(), os::kErrorInvalidParameter);
  os::CloseHandle(h);
}

// ---- Addmem and Memio ----

TEST_F(EmulatedHardwareTest, AddmemPortRequestsAreEightBytesWithTheValueInTheLowBytes) {
  MakeWorld(kRunningAddmem);
  os::Handle h = OpenDriver(kAddmem);
  ASSERT_TRUE(os::IsValid(h));
  std::vector<uint8_t> in(8, 0);
  PutU32(&in, 0, 0x430);
  PutU32(&in, 4, 0xABCD0003);  // above the width: not part of the value
  std::vector<uint8_t> scratch(2, 0);
  EXPECT_TRUE(Ioctl(h, 0x22203C, in, &scratch).ok);
  EXPECT_EQ(emu::SmiControlWord(), 0x0003);
  PutU32(&in, 4, 0);
  std::vector<uint8_t> word(2);
  EXPECT_TRUE(Ioctl(h, 0x222040, in, &word).ok);
  EXPECT_EQ(word, (std::vector<uint8_t>{0x03, 0x00}));

  std::vector<uint8_t> mem(8, 0);
  PutU64(&mem, 0, 0x9F100);
  std::vector<uint8_t> block = {1, 2, 3, 4};
  std::vector<uint8_t> write = mem;
  write.insert(write.end(), block.begin(), block.end());
  std::vector<uint8_t> source = block;
  Reply w = Ioctl(h, 0x222050, write, &source);
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(source, block) << "the source block handed as output stays as it was";
  std::vector<uint8_t> back(4);
  EXPECT_TRUE(Ioctl(h, 0x22204C, mem, &back).ok);
  EXPECT_EQ(back, block);
  os::CloseHandle(h);
}

TEST_F(EmulatedHardwareTest, MemioPortRecordPointsAtTheCallersValue) {
  MakeWorld(kWin98);
  os::Handle h = OpenDriver(kMemio);
  ASSERT_TRUE(os::IsValid(h));
  struct Row {
    uint32_t code;
    uint16_t port;
    uint32_t width;  // the record's offset 4
    uint32_t value;
    uint32_t expected;
  };
  emu::SetCmos(1, 0x10, 0x42);
  const Row rows[] = {
      {0x9C412404, 0x72, 0, 0x10, 0},        // a byte write
      {0x9C412400, 0x73, 0, 0xEEEEEE00, 0xEEEEEE42},  // a byte read leaves the upper bytes
      {0x9C412404, 0x430, 2, 0x0007, 0},
      {0x9C412400, 0x430, 2, 0, 0x0007},
      {0x9C412400, 0x300, 4, 0, 0xFFFFFFFF},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.port);
    // The record and the value live in the caller's frame, as a driver's caller keeps them.
    uint32_t value = r.value;
    uint8_t record[16] = {};
    std::vector<uint8_t> fields(16, 0);
    PutU32(&fields, 0, r.port);
    PutU32(&fields, 4, r.width);
    PutU32(&fields, 12, Low32(&value));
    std::memcpy(record, fields.data(), 16);
    uint32_t returned = 0;
    ASSERT_TRUE(os::DeviceIoControl(h, r.code, record, 16, record, 16, &returned));
    if (r.code == 0x9C412400) {
      EXPECT_EQ(value, r.expected);
    }
  }
  EXPECT_EQ(emu::PortWrites(), (std::vector<emu::PortWrite>{{0x72, 1, 0x10}, {0x430, 2, 0x0007}}));

  uint32_t value = 0;
  uint8_t record[16] = {};
  std::vector<uint8_t> fields(16, 0);
  PutU32(&fields, 4, 3);
  PutU32(&fields, 12, Low32(&value));
  std::memcpy(record, fields.data(), 16);
  EXPECT_FALSE(os::DeviceIoControl(h, 0x9C412400, record, 16, record, 16, nullptr)) << "width 3";
  EXPECT_EQ(os::GetLastError(), os::kErrorInvalidParameter);
  // A value pointer that leads far from the record is no address of the caller's.
  PutU32(&fields, 4, 1);
  PutU32(&fields, 12, Low32(record) ^ 0x40000000u);
  std::memcpy(record, fields.data(), 16);
  EXPECT_FALSE(os::DeviceIoControl(h, 0x9C412400, record, 16, record, 16, nullptr)) << "far pointer";

  std::vector<uint8_t> mem(8, 0);
  PutU64(&mem, 0, 0xF0000);
  std::vector<uint8_t> seg(16);
  EXPECT_TRUE(Ioctl(h, 0x22204C, mem, &seg).ok) << "the VxD takes the ADDMEM memory codes";
  EXPECT_EQ(seg, Memory(0xF0000, 16));
  os::CloseHandle(h);
}

// ---- fault knobs ----

TEST_F(EmulatedHardwareTest, DeviceThatRejectsRequestsFailsThemWithoutCarryingThemOut) {
  struct Row {
    const char* patch;
    bool portRefused, memoryRefused;
    size_t refusals;  // before requests go through again
  };
  const Row rows[] = {
      {R"({"services":{"addmem":{"state":"running"}},"faults":{"rejectRequests":"all"}})", true, true, 1000},
      {R"({"services":{"addmem":{"state":"running"}},"faults":{"rejectRequests":"ports"}})", true, false, 1000},
      {R"({"services":{"addmem":{"state":"running"}},"faults":{"rejectRequests":"ports","rejectRequestsCount":3}})",
       true, false, 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.patch);
    MakeWorld(r.patch);
    os::Handle h = OpenDriver(kAddmem);
    std::vector<uint8_t> in(8, 0);
    PutU32(&in, 0, 0x70);
    std::vector<uint8_t> scratch(1);
    Reply port = Ioctl(h, 0x222034, in, &scratch);
    EXPECT_EQ(port.ok, !r.portRefused);
    if (!port.ok) {
      EXPECT_NE(emu::DeviceRequests().back().reason.find("fault knob"), std::string::npos);
    }
    std::vector<uint8_t> mem(8, 0);
    PutU64(&mem, 0, 0xF0000);
    std::vector<uint8_t> out(4);
    EXPECT_EQ(Ioctl(h, 0x22204C, mem, &out).ok, !r.memoryRefused);
    size_t refused = 1;
    while (refused < 10 && !Ioctl(h, 0x222034, in, &scratch).ok) ++refused;
    EXPECT_EQ(refused, r.refusals > 10 ? 10 : r.refusals);
    EXPECT_EQ(emu::PortWrites().size(), r.refusals > 10 ? 0u : 1u);
    os::CloseHandle(h);
  }
}

TEST_F(EmulatedHardwareTest, DeviceOpenFailuresKnobFailsTheNextOpens) {
  MakeWorld(R"({"windows":{"major":6,"minor":0},"accessDevices":{"qtv":true},"faults":{"deviceOpenFailures":2}})");
  EXPECT_FALSE(os::IsValid(OpenDriver(kKmdf)));
  EXPECT_FALSE(os::IsValid(OpenDriver(kKmdf)));
  os::Handle h = OpenDriver(kKmdf);
  EXPECT_TRUE(os::IsValid(h));
  os::CloseHandle(h);
  std::vector<emu::DeviceEvent> opens = emu::DeviceOpens();
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_FALSE(opens[0].accepted);
  EXPECT_NE(opens[0].reason.find("deviceOpenFailures"), std::string::npos);
  EXPECT_TRUE(opens[2].accepted);
  EXPECT_LE(opens[0].atMs, opens[2].atMs);
  EXPECT_EQ(emu::DeviceEvents().back().what, "close");

  // Spared opens come first: a device that goes away in the middle of a run.
  MakeWorld(R"({"windows":{"major":6,"minor":0},"accessDevices":{"qtv":true},
                "faults":{"deviceOpenFailures":1,"deviceOpensBeforeFailures":2}})");
  std::vector<bool> accepted;
  for (int i = 0; i < 4; ++i) {
    h = OpenDriver(kKmdf);
    accepted.push_back(os::IsValid(h));
    if (os::IsValid(h)) os::CloseHandle(h);
  }
  EXPECT_EQ(accepted, (std::vector<bool>{true, true, false, true}));
}

}  // namespace
