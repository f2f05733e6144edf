// The notebook's physical memory: the F0000 segment a BIOS publishes, the DMI table, the flash
// window, RAM.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "emu/profile.h"
#include "tests/emu/hardware_helpers.h"

namespace {

// A DMI structure found by walking the table as the published format says.
struct Found {
  uint8_t type;
  uint8_t length;
  uint64_t address;
  std::vector<std::string> strings;
};

std::vector<Found> WalkDmi(uint64_t table, size_t limit = 64) {
  std::vector<Found> out;
  uint64_t p = table;
  for (size_t n = 0; n < limit; ++n) {
    std::vector<uint8_t> head(2);
    emu::ReadPhysical(p, head.data(), 2);
    Found f{head[0], head[1], p, {}};
    uint64_t q = p + head[1];
    std::string current;
    for (int guard = 0; guard < 4096; ++guard) {
      uint8_t b[2];
      emu::ReadPhysical(q, b, 2);
      if (b[0] == 0 && b[1] == 0) break;
      if (b[0] == 0) {
        f.strings.push_back(current);
        current.clear();
      } else {
        current.push_back(static_cast<char>(b[0]));
      }
      ++q;
    }
    if (!current.empty()) f.strings.push_back(current);
    out.push_back(f);
    if (f.type == 127) break;
    p = q + 2;
  }
  return out;
}

uint64_t EntryPointTable(long entry) {
  std::vector<uint8_t> ep(15);
  emu::ReadPhysical(0xF0000 + entry, ep.data(), 15);
  return GetU32(ep, 8);
}

TEST_F(EmulatedHardwareTest, SegmentPublishesTheIdentificationBlocksWhereReadersLookForThem) {
  MakeWorld();
  long devel = FindInSegment("DEVEL");
  ASSERT_GE(devel, 0);
  EXPECT_EQ(MemoryText(0xF0000 + devel + 5, 3), "047");

  long diag = FindInSegment("DiaG@");
  ASSERT_GE(diag, 0);
  std::vector<uint8_t> d = Memory(0xF0000 + diag, 40);
  EXPECT_EQ(d[11], 0) << "a 4-character model leaves the long form's first character empty";
  EXPECT_EQ(std::string(d.begin() + 12, d.begin() + 16), "R580");
  EXPECT_EQ(std::string(d.begin() + 25, d.begin() + 29), "07RK");
  EXPECT_EQ(d[29], 0);

  EXPECT_EQ(FindInSegment("AMIBIOS"), -1) << "a Phoenix BIOS has no AMI markers";
}

TEST_F(EmulatedHardwareTest, FiveCharacterModelAndVersionUseTheLongForm) {
  MakeWorld(R"({"bios":{"model":"XR580","version":"07RK2"},"smi":{"function4":"model"}})");
  long diag = FindInSegment("DiaG@");
  ASSERT_GE(diag, 0);
  std::vector<uint8_t> d = Memory(0xF0000 + diag, 40);
  EXPECT_EQ(std::string(d.begin() + 11, d.begin() + 16), "XR580");
  EXPECT_EQ(d[16], 0);
  EXPECT_EQ(std::string(d.begin() + 25, d.begin() + 30), "07RK2");
}

TEST_F(EmulatedHardwareTest, IdentityOfAnyLengthStaysInsideItsFields) {
  MakeWorld();
  emu::SetBiosIdentity({"AB", "0123456789", "1"});
  long diag = FindInSegment("DiaG@");
  ASSERT_GE(diag, 0);
  std::vector<uint8_t> d = Memory(0xF0000 + diag, 40);
  EXPECT_EQ(std::string(d.begin() + 12, d.begin() + 16), std::string("AB\0\0", 4));
  EXPECT_EQ(std::string(d.begin() + 25, d.begin() + 31), std::string("01234\0", 6));
  long devel = FindInSegment("DEVEL");
  EXPECT_EQ(MemoryText(0xF0000 + devel + 5, 3), std::string("1\0\0", 3));
}

TEST_F(EmulatedHardwareTest, SwSmiRecordHoldsTheProfileFieldsInTheirPlaces) {
  MakeWorld(R"({"smi":{"commandPort":"0x00B2","firstCommand":"0x11","secondCommand":"0x22",
                "thirdCommand":"0x33","bufferSegment":"0x9F00","bufferOffset":"0x0120","gate":"0x23"}})");
  long at = FindInSegment("SwSmi@");
  ASSERT_GE(at, 0);
  EXPECT_NE(at % 16, 0) << "the record is found at any byte offset, so it is not placed aligned";
  std::vector<uint8_t> r = Memory(0xF0000 + at, 17);
  const std::vector<uint8_t> expected = {'S', 'w', 'S', 'm', 'i', '@', 0xB2, 0x00, 0x22, 0x11, 0x33,
                                         0x20, 0x01, 0x00, 0x9F, 0x23, 0x00};
  EXPECT_EQ(r, expected);
}

TEST_F(EmulatedHardwareTest, NotebookWithoutSmiInterfaceHasNoRecord) {
  MakeWorld(R"({"smi":{"present":false}})");
  EXPECT_EQ(FindInSegment("SwSmi@"), -1);
}

TEST_F(EmulatedHardwareTest, DmiEntryPointIsAlignedAndLeadsToAWalkableTable) {
  MakeWorld();
  long entry = FindInSegment("_DMI_", 16);
  ASSERT_GE(entry, 0);
  std::vector<uint8_t> ep = Memory(0xF0000 + entry, 15);
  uint8_t sum = 0;
  for (uint8_t b : ep) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(sum, 0) << "entry point checksum";

  std::vector<Found> all = WalkDmi(EntryPointTable(entry));
  std::vector<int> types;
  for (const Found& f : all) types.push_back(f.type);
  EXPECT_EQ(types, (std::vector<int>{0, 1, 3, 32, 11, 127}));
  EXPECT_EQ(ep[12] | (ep[13] << 8), static_cast<int>(all.size())) << "structure count";

  std::map<int, Found> byType;
  for (const Found& f : all) byType[f.type] = f;
  EXPECT_EQ(byType[0].strings, (std::vector<std::string>{"Phoenix", "P07RK.012", "03/15/2011"}));
  EXPECT_EQ(byType[1].strings, (std::vector<std::string>{"Korvane", "R580", "Not Applicable", "KV580A1234567"}));
  EXPECT_EQ(byType[11].strings, (std::vector<std::string>{"000A000000000000", "00/00/0000"}));
  EXPECT_TRUE(byType[32].strings.empty());
  // A structure without strings is followed by two zero bytes and nothing else.
  EXPECT_EQ(byType[11].address, byType[32].address + byType[32].length + 2);
}

TEST_F(EmulatedHardwareTest, DmiTableMayLieBelowTheSegmentAndEntryPointAtItsLastParagraph) {
  MakeWorld(R"({"dmi":{"tableAddress":"0xE8000","entryPoint":"0xFFFF0"}})");
  EXPECT_EQ(FindInSegment("_DMI_", 16), 0xFFF0);
  EXPECT_EQ(EntryPointTable(0xFFF0), 0xE8000u);
  std::vector<Found> all = WalkDmi(0xE8000);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(all[1].strings[3], "KV580A1234567");
}

TEST_F(EmulatedHardwareTest, DmiFaultKnobsRemoveTheEntryPointOrAStructureType) {
  MakeWorld(R"({"faults":{"dmiMissingTypes":[11]}})");
  long entry = FindInSegment("_DMI_", 16);
  ASSERT_GE(entry, 0);
  std::vector<int> types;
  for (const Found& f : WalkDmi(EntryPointTable(entry))) types.push_back(f.type);
  EXPECT_EQ(types, (std::vector<int>{0, 1, 3, 32, 127}));

  emu::SetFault("dmiEntryPointMissing", true);
  EXPECT_EQ(FindInSegment("_DMI_"), -1);
  emu::SetFault("dmiEntryPointMissing", false);
  EXPECT_EQ(FindInSegment("_DMI_", 16), entry);
}

TEST_F(EmulatedHardwareTest, EmptyDmiStringsAreLeftOutAsThePublishedFormatRequires) {
  MakeWorld(R"({"dmi":{"systemVersion":"","purchaseDate":""}})");
  long entry = FindInSegment("_DMI_", 16);
  std::vector<Found> all = WalkDmi(EntryPointTable(entry));
  ASSERT_EQ(all[1].type, 1);
  EXPECT_EQ(all[1].strings, (std::vector<std::string>{"Korvane", "R580", "KV580A1234567"}));
  EXPECT_EQ(Memory(all[1].address + 6, 1)[0], 0) << "the version field names no string";
  EXPECT_EQ(Memory(all[1].address + 7, 1)[0], 3) << "the serial is the third string";
  ASSERT_EQ(all[4].type, 11);
  EXPECT_EQ(all[4].strings, (std::vector<std::string>{"000A000000000000", " "}));
}

TEST_F(EmulatedHardwareTest, ChangedDmiStringsArePublishedAtOnce) {
  MakeWorld();
  emu::SetDmiString("serial", "NEWSERIAL01");
  EXPECT_EQ(emu::DmiString("serial"), "NEWSERIAL01");
  long entry = FindInSegment("_DMI_", 16);
  EXPECT_EQ(WalkDmi(EntryPointTable(entry))[1].strings[3], "NEWSERIAL01");
}

TEST_F(EmulatedHardwareTest, AmiSegmentHasBothMarkersAndTheDecimalVersion) {
  MakeWorld(R"({"bios":{"vendor":"ami","amiVersion":211}})");
  long marker = FindInSegment("AMIBIOS Version", 16);
  ASSERT_GE(marker, 0);
  long block = FindInSegment("AMIBIOS");
  ASSERT_GE(block, 0);
  EXPECT_LT(block, marker) << "the byte-wise search meets the block with the version first";
  EXPECT_EQ(MemoryText(0xF0000 + block + 26, 8), "00000211");
}

TEST_F(EmulatedHardwareTest, UnalignedAmiMarkerIsOnlyFoundByteWise) {
  std::string text, error;
  ASSERT_TRUE(emu::ReadTextFile(MachineProfilePath("phoenix-stray-ami-marker.json"), &text, &error)) << error;
  nlohmann::json patch = nlohmann::json::parse(text);
  patch.erase("description");
  MakeWorld(patch.dump());
  EXPECT_EQ(FindInSegment("AMIBIOS Version", 16), -1);
  EXPECT_GE(FindInSegment("AMIBIOS Version", 1), 0);
}

TEST_F(EmulatedHardwareTest, FlashWindowShowsThePartAtTheTopOfTheAddressSpace) {
  struct Row {
    const char* patch;
    uint64_t size;
  };
  for (const Row& r : {Row{R"({"flash":{"size":1048576}})", 0x100000}, Row{"{}", 0x200000}}) {
    SCOPED_TRACE(r.patch);
    MakeWorld(r.patch);
    ASSERT_EQ(emu::FlashSize(), r.size);
    emu::WriteFlash(0, {0x12, 0x34});
    EXPECT_EQ(Memory(0x100000000ull - r.size, 2), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(Memory(0x100000000ull - r.size - 1, 1)[0], 0xFF) << "below the window";
    // The top block is the one the BIOS shadows at F0000.
    EXPECT_EQ(Memory(0xFFFF0000, 0x10000), Memory(0xF0000, 0x10000));
  }
}

TEST_F(EmulatedHardwareTest, AmiFlashCarriesTheImageRecord) {
  MakeWorld(R"({"bios":{"vendor":"ami","partNumber":"123","amiVersion":"0x1F4"}})");
  std::vector<uint8_t> flash = emu::FlashContents();
  std::string all(flash.begin(), flash.end());
  size_t fid = all.find("$FID");
  ASSERT_NE(fid, std::string::npos);
  EXPECT_EQ(all[fid + 5], '?');
  EXPECT_EQ(all.substr(fid + 9, 3), "123");
  EXPECT_EQ(all.substr(fid + 52, 8), "00000500");
}

TEST_F(EmulatedHardwareTest, FlashImageComesFromAFileOfAPartsSize) {
  std::string image = std::string(::testing::TempDir()) + "/flash-image.bin";
  {
    std::string bytes(0x100000, '\x5A');
    FILE* f = std::fopen(image.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  MakeWorld(R"({"flash":{"image":")" + image + R"("}})");
  EXPECT_EQ(emu::FlashSize(), 0x100000u);
  EXPECT_EQ(Memory(0xFFF00000, 4), (std::vector<uint8_t>{0x5A, 0x5A, 0x5A, 0x5A}));
  std::remove(image.c_str());
}

TEST_F(EmulatedHardwareTest, RamKeepsWritesWhileTheSegmentAndOtherAddressesDoNot) {
  MakeWorld();
  std::vector<uint8_t> data = {1, 2, 3};
  emu::WritePhysical(0x9F100, data.data(), 3);
  EXPECT_EQ(Memory(0x9F100, 3), data);
  std::vector<uint8_t> before = Memory(0xF0000, 3);
  emu::WritePhysical(0xF0000, data.data(), 3);
  EXPECT_EQ(Memory(0xF0000, 3), before);
  EXPECT_EQ(Memory(0xC0000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(Memory(0x200000000ull, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

}  // namespace
