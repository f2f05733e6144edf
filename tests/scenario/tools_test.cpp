// The .wph image maker and the emulated flash tools, on their own: images made and read back, and
// each tool started in an emulated world the way the program starts it, judged by its exit code,
// the files it leaves and what it did to the notebook.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "emu/hardware.h"
#include "emu/process.h"
#include "emu/tools/wph_image.h"
#include "emu/world.h"
#include "tests/support/emulated_world.h"

namespace {

using emu::wph::BuildImage;
using emu::wph::FlashRecord;
using emu::wph::ImageInfo;
using emu::wph::ImageOptions;
using nlohmann::json;

constexpr uint32_t kTwoMiB = 0x200000;
constexpr uint32_t kPart2MiBBase = 0xFFE00000u;
const char* const kWorkFolder = "C:\\work";

std::vector<uint8_t> Image(const ImageOptions& o) {
    std::string error;
    std::vector<uint8_t> image = BuildImage(o, &error);
    EXPECT_FALSE(image.empty()) << error;
    return image;
}

std::string AsText(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

std::string HostFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---------------------------------------------------------------------------------------------
// The image maker

TEST(WphImage, ReadsBackTheIdentityAndTheFlashTableItWrote) {
    ImageOptions o;
    o.model = "AR580";
    o.version = "09XY";
    o.partNumber = "123";
    o.date = "12/31/13";
    std::vector<uint8_t> image = Image(o);
    ImageInfo info = emu::wph::ReadImage(image, kTwoMiB);
    EXPECT_EQ(info.model, "R580");
    EXPECT_EQ(info.longModel, "AR580");
    EXPECT_EQ(info.version, "09XY");
    EXPECT_EQ(info.partNumber, "123");
    EXPECT_EQ(info.date, "12/31/13");
    EXPECT_EQ(info.segment, 0xE000);
    ASSERT_TRUE(info.hasTrailer);
    EXPECT_TRUE(info.tableEnded);
    EXPECT_EQ(info.headerAt, kTwoMiB);
    EXPECT_EQ(info.records, emu::wph::DefaultRecords(o));
    ASSERT_EQ(info.records.size(), 32u);
    EXPECT_EQ(info.records[0], (FlashRecord{0x10000, 0, kPart2MiBBase, 0, 0x22}));
    EXPECT_EQ(info.records[8], (FlashRecord{0x8000, 0x88000, kPart2MiBBase + 0x88000, 0, 0x22}));
    EXPECT_EQ(info.records[31], (FlashRecord{0x10000, 0x1F0000, 0xFFFF0000u, 0, 0x122}));
    // The identification lies where the program's scan of a refused image finds it: in the
    // first MiB, the part number before the model.
    std::string text = AsText(image);
    EXPECT_LT(text.find("DEVEL"), text.find("DiaG@"));
    EXPECT_LT(text.find("DiaG@"), 0xFFFD8u);
}

TEST(WphImage, SizesPlaceTheEscdRecordAndTheDataModuleAsTheFormatSays) {
    struct Row {
        uint32_t romSize;
        size_t records;
        int escdRecord;
        size_t moduleAt;
    };
    const Row rows[] = {{0x80000, 8, 0, 0x60000}, {0x100000, 16, 8, 0xE0000}, {0x200000, 32, 8, 0xE0000}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.romSize);
        ImageOptions o;
        o.romSize = row.romSize;
        std::vector<uint8_t> image = Image(o);
        ImageInfo info = emu::wph::ReadImage(image, row.romSize);
        ASSERT_EQ(info.records.size(), row.records);
        EXPECT_EQ(info.records[row.escdRecord].imageOffset % 0x10000, o.escdKeep);
        EXPECT_EQ(info.records.back().attributes, 0x122);
        EXPECT_EQ(info.records.back().flashAddress, static_cast<uint32_t>(0x100000000ull - row.romSize + row.romSize - 0x10000));
        EXPECT_EQ(AsText(image).find("DEVEL"), row.moduleAt + 0x100);
        // No trailer marker stands anywhere before the trailer.
        EXPECT_EQ(AsText(image).find("ZFLPF"), row.romSize);
        EXPECT_EQ(AsText(image).find("ZQDS"), row.romSize + 61);
    }
}

TEST(WphImage, AttributesAndEscdPartAreChosenByOptions) {
    ImageOptions o;
    o.escdKeep = 0;
    o.attributes = {{3, 0}, {31, 0x22}};
    ImageInfo info = emu::wph::ReadImage(Image(o), kTwoMiB);
    ASSERT_EQ(info.records.size(), 32u);
    EXPECT_EQ(info.records[3].attributes, 0);
    EXPECT_EQ(info.records[31].attributes, 0x22);
    EXPECT_EQ(info.records[8], (FlashRecord{0x10000, 0x80000, kPart2MiBBase + 0x80000, 0, 0x22}));
}

TEST(WphImage, PageTagsNameTheImageTheBlockAndThePage) {
    ImageOptions o;
    o.tag = "T1";
    std::vector<uint8_t> image = Image(o);
    emu::wph::PageTag t = emu::wph::ReadPageTag(&image[5 * 0x10000 + 3 * 0x1000]);
    ASSERT_TRUE(t.valid);
    EXPECT_EQ(t.tag, "T1");
    EXPECT_EQ(t.block, 5);
    EXPECT_EQ(t.page, 3);
    image[5 * 0x10000 + 3 * 0x1000 + 12] ^= 1;  // another block number without its check bytes
    EXPECT_FALSE(emu::wph::ReadPageTag(&image[5 * 0x10000 + 3 * 0x1000]).valid);
    std::vector<uint8_t> erased(16, 0xFF);
    EXPECT_FALSE(emu::wph::ReadPageTag(erased.data()).valid);
    // Two images' fills differ in the same block.
    o.tag = "T2";
    std::vector<uint8_t> other = Image(o);
    EXPECT_NE(std::vector<uint8_t>(image.begin() + 0x20100, image.begin() + 0x20200),
              std::vector<uint8_t>(other.begin() + 0x20100, other.begin() + 0x20200));
}

TEST(WphImage, RefusesOptionsOutsideTheFormat) {
    struct Row {
        const char* what;
        std::function<void(ImageOptions&)> change;
    };
    const Row rows[] = {
        {"size", [](ImageOptions& o) { o.romSize = 0x300000; }},
        {"model", [](ImageOptions& o) { o.model = "R58"; }},
        {"version", [](ImageOptions& o) { o.version = "08RKXX"; }},
        {"part number", [](ImageOptions& o) { o.partNumber = "47"; }},
        {"date", [](ImageOptions& o) { o.date = "2012-01-20"; }},
        {"tag", [](ImageOptions& o) { o.tag = "NINECHARS"; }},
        {"ESCD part", [](ImageOptions& o) { o.escdKeep = 0x10000; }},
        {"record", [](ImageOptions& o) { o.attributes = {{32, 0x22}}; }},
        {"marker in the ROM", [](ImageOptions& o) { o.version = "ZQDS"; }},
    };
    for (const Row& row : rows) {
        ImageOptions o;
        row.change(o);
        std::string error;
        EXPECT_TRUE(BuildImage(o, &error).empty()) << row.what;
        EXPECT_FALSE(error.empty()) << row.what;
    }
}

// ---------------------------------------------------------------------------------------------
// The tools in a world

class EmulatedToolTest : public EmulatedWorldTest {
  protected:
    // Places the tool under its working name in the working folder.
    void PlaceTool(const char* host, const std::string& name) { PutFile(std::string(kWorkFolder) + "\\" + name, HostFile(host)); }
    void PutImage(const std::vector<uint8_t>& image, const std::string& name = "bios.wph") {
        PutFile(std::string(kWorkFolder) + "\\" + name, AsText(image));
    }
    // Runs a command line with the working folder current, as the program does; its exit code.
    uint32_t RunTool(const std::string& arguments, const std::string& tool = "SWinFlash") {
        emu::ChildHandle child;
        uint32_t error = emu::StartProcess("", std::string(kWorkFolder) + "\\" + tool + " " + arguments, kWorkFolder, &child);
        EXPECT_EQ(error, 0u);
        if (error != 0) return 0xFFFFFFFF;
        EXPECT_TRUE(emu::WaitProcess(child, emu::kWaitForever));
        uint32_t code = 0;
        EXPECT_TRUE(emu::ProcessExitCode(child, &code));
        return code;
    }
    std::string Work(const std::string& name) { return std::string(kWorkFolder) + "\\" + name; }
    std::vector<json> ToolEvents(const char* kind) { return emu::TranscriptOf(kind); }
};

ImageOptions NextRelease() {
    ImageOptions o;  // the default notebook: R580, part 047, version 07RK, released 03/15/2011
    o.version = "08RK";
    return o;
}

TEST_F(EmulatedToolTest, PhoenixToolJudgesTheImageAgainstTheRunningBios) {
    struct Row {
        const char* what;
        std::function<void(ImageOptions&)> change;
        int32_t exitCode;
        bool leavesNewSys;
        bool writes;
    };
    const Row rows[] = {
        {"next release", [](ImageOptions&) {}, 0, false, true},
        {"another model", [](ImageOptions& o) { o.model = "R590"; }, -120, true, false},
        {"another part number", [](ImageOptions& o) { o.partNumber = "051"; }, -120, true, false},
        {"same version", [](ImageOptions& o) { o.version = "07RK"; }, -110, true, false},
        {"older version", [](ImageOptions& o) { o.version = "06RK"; }, -110, true, false},
        {"newer version dated before the running BIOS", [](ImageOptions& o) { o.date = "01/01/10"; }, -109, true, false},
        {"ROM of another part size", [](ImageOptions& o) { o.romSize = 0x100000; }, -2, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MakeWorld();
        PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
        ImageOptions o = NextRelease();
        row.change(o);
        std::vector<uint8_t> image = Image(o);
        PutImage(image);
        std::vector<uint8_t> before = emu::FlashContents();

        EXPECT_EQ(static_cast<int32_t>(RunTool("bios.wph /P")), row.exitCode);
        EXPECT_EQ(FileExists(Work("newSys.bin")), row.leavesNewSys);
        if (row.leavesNewSys) {
            EXPECT_EQ(ReadFileBytes(Work("newSys.bin")), AsText(image));
        }
        EXPECT_EQ(emu::FlashContents() != before, row.writes);
        EXPECT_TRUE(FileExists(Work("PHLASH.LOG")));
        if (row.writes) {
            EXPECT_EQ(ReadFileBytes(Work("bios.bak")), AsText(before));
        }
        ASSERT_EQ(ToolEvents("biosFlashTool").size(), 1u);
        EXPECT_EQ(ToolEvents("biosFlashTool")[0]["exitCode"], row.exitCode);
    }
}

TEST_F(EmulatedToolTest, PhoenixToolWritesTheBlocksTheTableMarksAndKeepsTheRest) {
    MakeWorld();
    PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
    ImageOptions o = NextRelease();
    o.attributes = {{3, 0}, {7, 0x55}};  // left out; an attribute the tool does not know
    std::vector<uint8_t> image = Image(o);
    PutImage(image);
    std::vector<uint8_t> before = emu::FlashContents();
    ASSERT_EQ(RunTool("bios.wph /P"), 0u);

    std::vector<uint8_t> after = emu::FlashContents();
    ASSERT_EQ(after.size(), before.size());
    auto block = [](const std::vector<uint8_t>& b, int i) {
        return std::vector<uint8_t>(b.begin() + i * 0x10000, b.begin() + (i + 1) * 0x10000);
    };
    for (int i = 0; i < 32; ++i) {
        SCOPED_TRACE(i);
        if (i == 3 || i == 7) {
            EXPECT_EQ(block(after, i), block(before, i));
        } else if (i == 8) {
            // The ESCD record leaves the lower half of its block as it was.
            EXPECT_TRUE(std::equal(after.begin() + 0x80000, after.begin() + 0x88000, before.begin() + 0x80000));
            EXPECT_TRUE(std::equal(after.begin() + 0x88000, after.begin() + 0x90000, image.begin() + 0x88000));
        } else {
            EXPECT_EQ(block(after, i), block(image, i));
        }
    }
    json e = ToolEvents("biosFlashTool").at(0);
    EXPECT_EQ(e["blocks"][3]["written"], false);
    EXPECT_EQ(e["blocks"][7]["written"], false);
    EXPECT_EQ(e["blocks"][31]["written"], true);
    EXPECT_NE(ReadFileBytes(Work("PHLASH.LOG")).find("Record 7: attributes 0x55"), std::string::npos);
}

TEST_F(EmulatedToolTest, PhoenixToolTakesTheImagesBiosAsTheRunningOne) {
    MakeWorld();
    PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
    PutImage(Image(NextRelease()));
    ASSERT_EQ(RunTool("bios.wph /P"), 0u);
    EXPECT_EQ(emu::DmiString("biosVersion"), "P08RK.012");
    EXPECT_EQ(emu::DmiString("biosReleaseDate"), "01/20/2012");
    std::vector<uint8_t> segment(0x10000);
    emu::ReadPhysical(0xF0000, segment.data(), segment.size());
    EXPECT_EQ(emu::wph::ReadSegmentIdentity(segment).version, "08RK");
    // The same image again is no longer newer.
    EXPECT_EQ(static_cast<int32_t>(RunTool("bios.wph /P")), -110);
}

TEST_F(EmulatedToolTest, PhoenixToolChecksOnlyWithoutP) {
    MakeWorld();
    PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
    PutImage(Image(NextRelease()));
    std::vector<uint8_t> before = emu::FlashContents();
    EXPECT_EQ(RunTool("bios.wph"), 0u);
    EXPECT_EQ(emu::FlashContents(), before);
    EXPECT_EQ(ToolEvents("biosFlashTool").at(0)["outcome"], "checkedOnly");
}

TEST_F(EmulatedToolTest, PhoenixToolWithoutItsImageEndsWithMinusOne) {
    MakeWorld();
    PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
    PutFile(Work("other.wph"), "x");
    EXPECT_EQ(static_cast<int32_t>(RunTool("bios.wph /P")), -1);
    EXPECT_EQ(static_cast<int32_t>(RunTool("/P")), -1);
}

TEST_F(EmulatedToolTest, PhoenixToolWritesDmiValuesOnlyWithAMode) {
    struct Row {
        const char* arguments;
        const char* serial;
        const char* flag;
        const char* date;
    };
    const Row rows[] = {
        {"bios.wph /P /MODE=3 /DO0:000B000000000000 /DO1:05/06/2012 /DSS:KV SN 77", "KV SN 77", "000B000000000000",
         "05/06/2012"},
        {"bios.wph /P /MODE=1 /DSS:NEWSERIAL", "NEWSERIAL", "000A000000000000", "00/00/0000"},
        {"bios.wph /P /DO0:000B000000000000 /DSS:NEWSERIAL", "KV580A1234567", "000A000000000000", "00/00/0000"},
        {"bios.wph /P /MODE=9 /DSS:NEWSERIAL", "KV580A1234567", "000A000000000000", "00/00/0000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        MakeWorld();
        PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
        PutImage(Image(NextRelease()));
        ASSERT_EQ(RunTool(row.arguments), 0u);
        EXPECT_EQ(emu::DmiString("serial"), row.serial);
        EXPECT_EQ(emu::DmiString("biosFlag"), row.flag);
        EXPECT_EQ(emu::DmiString("purchaseDate"), row.date);
    }
}

TEST_F(EmulatedToolTest, PhoenixToolClearsCmosWithC) {
    for (bool clear : {false, true}) {
        SCOPED_TRACE(clear);
        MakeWorld();
        PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
        PutImage(Image(NextRelease()));
        uint8_t fill = emu::Cmos(0, 0x30);
        ASSERT_NE(fill, 0);
        ASSERT_EQ(RunTool(clear ? "bios.wph /P /C" : "bios.wph /P"), 0u);
        EXPECT_EQ(emu::Cmos(0, 0x30), clear ? 0 : fill);
        EXPECT_EQ(emu::Cmos(1, 0x00), clear ? 0 : fill);
        EXPECT_EQ(emu::Cmos(0, 0x0F), fill);  // the clock's status registers stay
    }
}

TEST_F(EmulatedToolTest, ProfileKnobsMakeAToolEndWithACodeOrCrash) {
    struct Row {
        const char* patch;
        const char* tool;
        const char* arguments;
        uint32_t exitCode;
    };
    const Row rows[] = {
        {R"({"tools":{"phoenix":{"exitCode":-120}}})", "SWinFlash", "bios.wph /P", 0xFFFFFF88u},
        {R"({"tools":{"phoenix":{"crash":true}}})", "SWinFlash", "bios.wph /P", 0xC0000005u},
        {R"({"tools":{"micom":{"exitCode":1}}})", "WinUpV01_10", "kbc.bin /FORCE", 1},
        {R"({"tools":{"micom":{"crash":true}}})", "WinUpV01_10", "kbc.bin /FORCE", 0xC0000005u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.patch);
        MakeWorld(row.patch);
        PlaceTool(EMU_SWINFLASH, "SWinFlash.exe");
        PlaceTool(EMU_WINUP, "WinUpV01_10.exe");
        PutImage(Image(NextRelease()));
        PutFile(Work("kbc.bin"), "MICOM:TEST\r\n");
        std::vector<uint8_t> before = emu::FlashContents();
        EXPECT_EQ(RunTool(row.arguments, row.tool), row.exitCode);
        EXPECT_EQ(emu::FlashContents(), before);
        EXPECT_FALSE(FileExists(Work("newSys.bin")));
        auto lock = emu::LockState();
        EXPECT_FALSE(emu::State().contains("micom"));
    }
}

TEST_F(EmulatedToolTest, MicomToolTakesItsImageIntoTheController) {
    struct Row {
        const char* what;
        const char* contents;  // nullptr: no kbc.bin
        int32_t exitCode;
    };
    const Row rows[] = {
        {"image", "MICOM:KBRK0105\r\nfirmware bytes", 0},
        {"no image", nullptr, 2},
        {"empty image", "", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MakeWorld();
        PlaceTool(EMU_WINUP, "WinUpV01_10.exe");
        if (row.contents != nullptr) PutFile(Work("kbc.bin"), row.contents);
        EXPECT_EQ(static_cast<int32_t>(RunTool("kbc.bin /FORCE", "WinUpV01_10")), row.exitCode);
        auto lock = emu::LockState();
        const json& state = emu::State();
        EXPECT_EQ(state.contains("micom"), row.exitCode == 0);
        if (row.exitCode == 0) {
            std::string bytes = row.contents;
            EXPECT_EQ(state["micom"]["size"], bytes.size());
            EXPECT_EQ(state["micom"]["crc32"], emu::wph::Crc32(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
            EXPECT_EQ(state["micom"]["label"], "KBRK0105");
            EXPECT_EQ(state["micom"]["switches"], json::array({"/FORCE"}));
        }
    }
}

}  // namespace
