// The running platform's side on the emulated notebook: the BIOS vendor, the identification read
// from firmware memory, DMI and the software SMI interface, and the read-out of the BIOS flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/variant.h"
#include "core/run_options.h"
#include "core/winver.h"
#include "base/text.h"
#include "bios/platform.h"
#include "emu/hardware.h"
#include "hw/driver.h"
#include "os/os.h"
#include "tests/unit/notebook_fixture.h"

namespace {



// A memory patch of the profile: bytes at a physical address of the first megabyte.
std::string Patch(uint32_t address, const std::string& bytes) {
    return "{\"address\": " + std::to_string(address) + ", \"hex\": \"" + Hex(bytes) + "\"}";
}

// An identification block: the 5-character model's first character at 11 (none: 0), the model at
// 12, the version at 25.
std::string IdentityBlock(char longFirst, const std::string& model, const std::string& version) {
    std::string block(40, '\0');
    block.replace(0, 5, "DiaG@");
    block[11] = longFirst;
    block.replace(12, model.size(), model);
    block.replace(25, version.size(), version);
    return block;
}

// The first place in the BIOS area where the notebook publishes a block of its own. The patches
// below go in front of it, so that a search finds them first.
constexpr uint32_t kPatchArea = 0xF0000;

class PlatformTest : public NotebookTest {
  protected:

    // The log without the DMI search's own lines.
    std::string StepLog() {
        std::string log = Log();
        std::string out;
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find("\r\n", start);
            if (end == std::string::npos) end = log.size();
            std::string line = log.substr(start, end - start);
            if (line.rfind("Search DMI String", 0) != 0 && line.rfind("Search Result", 0) != 0 &&
                line.rfind("return from SearchDMIBlock", 0) != 0) {
                out += line + "\n";
            }
            start = end + 2;
        }
        return out;
    }

    // Physical address of a marker in the notebook's BIOS area, as the notebook lays it out.
    uint32_t Locate(const std::string& marker) {
        std::vector<uint8_t> area(0x10000);
        emu::ReadPhysical(0xF0000, area.data(), area.size());
        std::string text(area.begin(), area.end());
        size_t at = text.find(marker);
        EXPECT_NE(at, std::string::npos) << marker;
        return static_cast<uint32_t>(0xF0000 + at);
    }
};

// --- BIOS vendor -------------------------------------------------------------------------------

#if !ROMSHELL_PHX
struct VendorCase {
    const char* name;
    std::string patch;
    int phoenix;
};

class DetectAmiBiosTest : public PlatformTest, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(DetectAmiBiosTest, AmiBiosVersionOnASixteenByteBoundaryMarksAnAmiBios) {
    MakeMachine(GetParam().patch);
    ctx.isPhoenixBios = 7;
    EXPECT_EQ(DetectAmiBios(), 1);
    EXPECT_EQ(ctx.isPhoenixBios, GetParam().phoenix);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Vendors, DetectAmiBiosTest,
    ::testing::Values(
        VendorCase{"Phoenix", "{}", 1}, VendorCase{"Ami", R"({"bios": {"vendor": "ami", "amiVersion": 1234}})", 0},
        VendorCase{"MarkerOffTheBoundary", R"({"memory": {"patches": [)" + Patch(0xF0101, "AMIBIOS Version") + "]}}",
                   1},
        VendorCase{"MarkerOnTheBoundary", R"({"memory": {"patches": [)" + Patch(0xF0100, "AMIBIOS Version") + "]}}",
                   0},
        VendorCase{"MarkerAtTheLastBoundary", R"({"memory": {"patches": [)" + Patch(0xFFFF0, "AMIBIOS Version") + "]}}",
                   0}),
    [](const ::testing::TestParamInfo<VendorCase>& info) { return std::string(info.param.name); });

TEST_F(PlatformTest, VendorCheckWithoutTheAccessDriverFails) {
    MakeMachine(kNoDriver);
    EXPECT_EQ(DetectAmiBios(), 0);
    EXPECT_EQ(ctx.isPhoenixBios, 1);
}
#endif

// --- Identification ----------------------------------------------------------------------------

TEST_F(PlatformTest, IdentifiesTheNotebookFromFirmwareMemory) {
    MakeMachine();
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_STREQ(ctx.currentModel, "R580");
    EXPECT_STREQ(ctx.currentVersion, "07RK") << "the identification block's version, not DMI's";
    EXPECT_STREQ(ctx.currentPartNumber, "047");
    EXPECT_STREQ(ctx.systemSerial, "KV580A1234567");
    EXPECT_STREQ(ctx.oemString1, "000A000000000000");
    EXPECT_STREQ(ctx.oemString2, "00/00/0000");
    EXPECT_EQ(ctx.currentBiosDate.day, 15);
    EXPECT_EQ(ctx.currentBiosDate.month, 3);
    EXPECT_EQ(ctx.currentBiosDate.year, 2011);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
    auto smi = emu::SmiRequests();
    ASSERT_EQ(smi.size(), 1u);
    EXPECT_EQ(smi[0]["function"], 4);
}

TEST_F(PlatformTest, WritesItsStepLinesInRomshellOnly) {
    MakeMachine();
    ASSERT_EQ(IdentifyPlatform(), kResultOk);
    if (!kVariant.logsSteps) {
        EXPECT_EQ(Log(), "");
        return;
    }
    EXPECT_EQ(StepLog(),
              "Read memory 00\nRead memory 01\nRead memory 02\nRead memory 03\nRead memory 04\n"
              "Get Vantrel Interface\nSuccess Vantrel Interface\nExecute Vantrel\nSuccess Execution Vantrel\n");
}

struct ModelCase {
    const char* name;
    std::string patch;      // profile fields besides the patched identification block
    bool longIds;
    char longFirst;         // character at offset 11 of the block
    const char* model;
    const char* version;
};

class ModelSourceTest : public PlatformTest, public ::testing::WithParamInterface<ModelCase> {};

// The notebook's own model answer is "R580"; the identification block in front of the notebook's
// own says "ZZZZ", version "09ZZA".
TEST_P(ModelSourceTest, ModelComesFromTheSmiAnswerOrTheIdentificationBlock) {
    const ModelCase& c = GetParam();
    const std::string block = IdentityBlock(c.longFirst, "ZZZZ", "09ZZA");
    std::string profile = R"({"memory": {"patches": [)" + Patch(kPatchArea, block) + "]}";
    if (!c.patch.empty()) profile += ", " + c.patch;
    profile += "}";
    MakeMachine(profile);
    if (c.longIds) ctx.runOptions = LongModelId;
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_STREQ(ctx.currentModel, c.model);
    EXPECT_STREQ(ctx.currentVersion, c.version);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelSourceTest,
    ::testing::Values(
        ModelCase{"SmiAnswer", "", false, '\0', "R580", "09ZZ"},
        ModelCase{"AnswerOfAllOnes", R"("smi": {"function4": "none"})", false, '\0', "ZZZZ", "09ZZ"},
        ModelCase{"NoSmiRecord", R"("smi": {"present": false})", false, '\0', "ZZZZ", "09ZZ"},
        ModelCase{"GateBelow0x24", R"("smi": {"gate": 35})", false, '\0', "ZZZZ", "09ZZ"},
        ModelCase{"GateAt0x24", R"("smi": {"gate": 36})", false, '\0', "R580", "09ZZ"},
        ModelCase{"LongWithBlockPrefix", "", true, 'Q', "QZZZZ", "09ZZA"},
        ModelCase{"LongWithEmptyBlockPrefix", "", true, '\0', "R580", "09ZZA"},
        ModelCase{"LongWithoutSmi", R"("smi": {"present": false})", true, 'Q', "QZZZZ", "09ZZA"},
        ModelCase{"LongSmiNeverCompletes", R"("faults": {"smiNeverCompletes": true})", true, 'Q', "QZZZZ", "09ZZA"}),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });

TEST_F(PlatformTest, SmiThatNeverCompletesIsNoAnswerAndNoSuccess) {
    MakeMachine(R"({"faults": {"smiNeverCompletes": true}})");
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_STREQ(ctx.currentModel, "R580") << "from the identification block";
    if (kVariant.logsSteps) {
        EXPECT_NE(StepLog().find("Execute Vantrel\n"), std::string::npos);
        EXPECT_EQ(StepLog().find("Success Execution Vantrel"), std::string::npos);
    }
}

struct DmiCase {
    const char* name;
    const char* faults;
    const char* serial;
    const char* flag;
    const char* purchase;
    int year;
};

class MissingDmiTest : public PlatformTest, public ::testing::WithParamInterface<DmiCase> {};

TEST_P(MissingDmiTest, MissingTablesOrStructuresLeaveTheirFieldsEmpty) {
    const DmiCase& c = GetParam();
    MakeMachine(std::string(R"({"faults": )") + c.faults + "}");
    CopyText(ctx.systemSerial, "stale");
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_STREQ(ctx.systemSerial, c.serial);
    EXPECT_STREQ(ctx.oemString1, c.flag);
    EXPECT_STREQ(ctx.oemString2, c.purchase);
    EXPECT_EQ(ctx.currentBiosDate.year, c.year);
    EXPECT_STREQ(ctx.currentModel, "R580");
    EXPECT_STREQ(ctx.currentVersion, "07RK");
    EXPECT_STREQ(ctx.currentPartNumber, "047");
}

INSTANTIATE_TEST_SUITE_P(
    Dmi, MissingDmiTest,
    ::testing::Values(
        DmiCase{"NoEntryPoint", R"({"dmiEntryPointMissing": true})", "", "", "", 0},
        DmiCase{"NoBiosInformation", R"({"dmiMissingTypes": [0]})", "KV580A1234567", "000A000000000000", "00/00/0000", 0},
        DmiCase{"NoSystemInformation", R"({"dmiMissingTypes": [1]})", "", "000A000000000000", "00/00/0000", 2011},
        DmiCase{"NoOemStrings", R"({"dmiMissingTypes": [11]})", "KV580A1234567", "", "", 2011}),
    [](const ::testing::TestParamInfo<DmiCase>& info) { return std::string(info.param.name); });

TEST_F(PlatformTest, DmiStringsAreKeptTo31CharactersAndLongOnesAreSteppedOver) {
    const std::string longVendor(50, 'V');
    const std::string longSerial = "S123456789012345678901234567890123456789";
    MakeMachine(R"({"dmi": {"biosVendor": ")" + longVendor + R"(", "serial": ")" + longSerial +
            R"(", "biosReleaseDate": "12/24/2009", "purchaseDate": "2010/01/31"}})");
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_EQ(std::string(ctx.systemSerial), longSerial.substr(0, 31));
    EXPECT_STREQ(ctx.oemString2, "2010/01/31");
    // The date follows a vendor string longer than one 32-byte block.
    EXPECT_EQ(ctx.currentBiosDate.month, 12);
    EXPECT_EQ(ctx.currentBiosDate.day, 24);
    EXPECT_EQ(ctx.currentBiosDate.year, 2009);
}

TEST_F(PlatformTest, MissingIdentificationBlocksLeaveTheirFieldsEmpty) {
    // Find where the notebook publishes its blocks, then make one whose blocks are erased there.
    MakeMachine();
    const uint32_t identity = Locate("DiaG@");
    const uint32_t part = Locate("DEVEL");
    MakeMachine(R"({"smi": {"present": false}, "memory": {"patches": [)" + Patch(identity, "xxxxx") + ", " +
            Patch(part, "xxxxx") + "]}}");
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_STREQ(ctx.currentModel, "");
    EXPECT_STREQ(ctx.currentVersion, "") << "the DMI version is not kept";
    EXPECT_STREQ(ctx.currentPartNumber, "");
    EXPECT_STREQ(ctx.systemSerial, "KV580A1234567");
}

TEST_F(PlatformTest, MissingIdentificationBlockStillTakesTheSmiAnswer) {
    MakeMachine();
    const uint32_t identity = Locate("DiaG@");
    MakeMachine(R"({"memory": {"patches": [)" + Patch(identity, "xxxxx") + "]}}");
    EXPECT_EQ(IdentifyPlatform(), kResultOk);
    EXPECT_STREQ(ctx.currentModel, "R580");
    EXPECT_STREQ(ctx.currentVersion, "");
}

TEST_F(PlatformTest, IdentificationWithoutTheAccessDriverFails) {
    MakeMachine(kNoDriver);
    CopyText(ctx.currentModel, "keep");
    EXPECT_EQ(IdentifyPlatform(), kResultDriverLoad);
    EXPECT_STREQ(ctx.currentModel, "keep");
}

// --- BIOS flash read-out -----------------------------------------------------------------------

struct RomCase {
    const char* name;
    uint32_t flashSize;
};

class ReadRomTest : public PlatformTest, public ::testing::WithParamInterface<RomCase> {};

TEST_P(ReadRomTest, WritesTheTopMegabyteOfTheAddressSpaceIn256Reads) {
    MakeMachine(R"({"flash": {"size": )" + std::to_string(GetParam().flashSize) + "}}");
    ReadRomImage("ReadRomFile.bin");
    const std::string file = ReadFileBytes(std::string(kProgramFolder) + "\\ReadRomFile.bin");
    ASSERT_EQ(file.size(), 1048576u);
    const std::vector<uint8_t> flash = emu::FlashContents();
    ASSERT_EQ(flash.size(), GetParam().flashSize);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), flash.end() - 1048576,
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    int reads = 0;
    for (const emu::DeviceEvent& e : emu::DeviceRequests()) {
        if (e.accepted && e.outSize == 4096) ++reads;
    }
    EXPECT_EQ(reads, 256);
    EXPECT_EQ(emu::OpenDeviceHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Roms, ReadRomTest,
                         ::testing::Values(RomCase{"TwoMegabytePart", 0x200000}, RomCase{"OneMegabytePart", 0x100000}),
                         [](const ::testing::TestParamInfo<RomCase>& info) { return std::string(info.param.name); });

TEST_F(PlatformTest, ReadRomImageWritesOverAnExistingFileWithoutCuttingIt) {
    MakeMachine();
    const std::string old(0x180000, 'o');
    PutFile(std::string(kProgramFolder) + "\\ReadRomFile.bin", old);
    ReadRomImage("ReadRomFile.bin");
    const std::string file = ReadFileBytes(std::string(kProgramFolder) + "\\ReadRomFile.bin");
    ASSERT_EQ(file.size(), old.size());
    const std::vector<uint8_t> flash = emu::FlashContents();
    EXPECT_EQ(static_cast<uint8_t>(file[0]), flash[0x100000]);
    EXPECT_EQ(static_cast<uint8_t>(file[0xFFFFF]), flash[0x1FFFFF]);
    EXPECT_EQ(file.substr(0x100000), old.substr(0x100000));
}

TEST_F(PlatformTest, ReadRomImageWithoutTheAccessDriverMakesNoFile) {
    MakeMachine(kNoDriver);
    ReadRomImage("ReadRomFile.bin");
    EXPECT_FALSE(FileExists(std::string(kProgramFolder) + "\\ReadRomFile.bin"));
}

}  // namespace
