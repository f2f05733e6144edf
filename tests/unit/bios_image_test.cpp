// The new image's side: choosing the images for the platform, the flash block marks of bios.wph,
// and the identification read from an image file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "core/run_options.h"
#include "base/text.h"
#include "bios/image.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"
#include "tests/unit/wph_builder.h"

namespace {

class ImageTest : public EmulatedWorldTest {
  protected:
    void SetUp() override {
        ResetUpdateContext();
        MakeWorld();
        ASSERT_TRUE(os::CreateDirectory("C:\\work"));
        ASSERT_TRUE(os::SetCurrentDirectory("C:\\work"));
    }

    void Put(const std::string& name, const std::string& bytes) { PutFile("C:\\work\\" + name, bytes); }
    std::string Get(const std::string& name) { return ReadFileBytes("C:\\work\\" + name); }
    bool Exists(const std::string& name) { return FileExists("C:\\work\\" + name); }
    std::string Log() { return Get("DebugLog.txt"); }
};

// --- Choosing the images -----------------------------------------------------------------------

class SelectImagesTest : public ImageTest {
  protected:
    // Puts each file (content = its name) into the working directory and lists it.
    void Images(const std::vector<std::string>& names) {
        for (size_t i = 0; i < names.size(); ++i) {
            Put(names[i], "image " + names[i]);
            CopyText(ctx.ImageFileList[i], names[i].c_str());
        }
        ctx.imageFileCount = static_cast<uint8_t>(names.size());
    }
    void Micoms(const std::vector<std::string>& names) {
        for (size_t i = 0; i < names.size(); ++i) {
            Put(names[i], "micom " + names[i]);
            CopyText(ctx.MicomFileList[i], names[i].c_str());
        }
        ctx.micomFileCount = static_cast<uint8_t>(names.size());
    }
    void Platform(const char* version) {
        CopyText(ctx.currentVersion, version);
        CopyText(ctx.currentModel, "R580");
        CopyText(ctx.currentPartNumber, "047");
    }
};

TEST_F(SelectImagesTest, LogsTheRunningBiosBeforeChoosing) {
    Platform("07RK");
    Images({"R5RK0800.wph"});
    Micoms({"R5RK0102.bin"});
    EXPECT_EQ(SelectUpdateImages(), kResultOk);
    EXPECT_EQ(Log(),
              "*** Old Bios Info ***\r\n"
              "Bios Part Number : 047\r\n"
              "Bios Model Number : R580\r\n"
              "Bios Part Version : 07RK\r\n");
}

struct ChoiceCase {
    const char* name;
    const char* version;
    std::vector<std::string> images;
    const char* chosen;  // nullptr: none
};

class ImageChoiceTest : public SelectImagesTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ImageChoiceTest, CopiesTheImageWhoseThirdAndFourthCharactersMatchTheVersion) {
    const ChoiceCase& c = GetParam();
    Platform(c.version);
    Images(c.images);
    ctx.runOptions = SkipUpdateMicom;
    if (c.chosen == nullptr) {
        EXPECT_EQ(SelectUpdateImages(), kResultBiosFile);
        EXPECT_FALSE(Exists("bios.wph"));
        EXPECT_EQ(Log().find("Bios File"), std::string::npos);
        return;
    }
    EXPECT_EQ(SelectUpdateImages(), kResultOk);
    EXPECT_EQ(Get("bios.wph"), std::string("image ") + c.chosen);
    EXPECT_TRUE(Exists(c.chosen)) << "the candidate itself stays";
    if (c.images.size() > 1) {
        EXPECT_NE(Log().find(std::string("Bios File : ") + c.chosen + "\r\n"), std::string::npos);
    } else {
        EXPECT_EQ(Log().find("Bios File"), std::string::npos) << "the only candidate is taken unlogged";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageChoiceTest,
    ::testing::Values(
        ChoiceCase{"FirstOfTwo", "07AB", {"R5AB0800.wph", "R5CD0800.wph"}, "R5AB0800.wph"},
        ChoiceCase{"SecondOfTwo", "07CD", {"R5AB0800.wph", "R5CD0800.wph"}, "R5CD0800.wph"},
        ChoiceCase{"VersionInLowerCase", "07ab", {"R5AB0800.wph", "R5CD0800.wph"}, "R5AB0800.wph"},
        ChoiceCase{"NameInMixedCase", "07CD", {"R5AB0800.wph", "r5cD0800.wph"}, "r5cD0800.wph"},
        ChoiceCase{"FirstMatchWins", "07AB", {"R5CD0800.wph", "X1AB0900.wph", "R5AB0800.wph"}, "X1AB0900.wph"},
        ChoiceCase{"OnlyCandidateWhateverItsName", "07AB", {"ZZZZ.wph"}, "ZZZZ.wph"},
        ChoiceCase{"OnlyCandidateWithoutAnyVersion", "", {"R5CD0800.wph"}, "R5CD0800.wph"},
        ChoiceCase{"NoMatch", "07EF", {"R5AB0800.wph", "R5CD0800.wph"}, nullptr},
        ChoiceCase{"NoCandidate", "07AB", {}, nullptr},
        ChoiceCase{"VersionTooShortForAKey", "07", {"R5AB0800.wph", "R5"}, nullptr},
        ChoiceCase{"NamesTooShortForAKey", "07AB", {"R5A", "R5"}, nullptr},
        ChoiceCase{"TenCandidatesNoneMatches", "07QQ",
                   {"a0AB.wph", "a1AB.wph", "a2AB.wph", "a3AB.wph", "a4AB.wph", "a5AB.wph", "a6AB.wph",
                    "a7AB.wph", "a8AB.wph", "a9AB.wph"},
                   nullptr}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST_F(SelectImagesTest, ReplacesAnEarlierBiosWph) {
    Platform("07CD");
    Put("bios.wph", "stale");
    Images({"R5AB0800.wph", "R5CD0800.wph"});
    ctx.runOptions = SkipUpdateMicom;
    EXPECT_EQ(SelectUpdateImages(), kResultOk);
    EXPECT_EQ(Get("bios.wph"), "image R5CD0800.wph");
}

TEST_F(SelectImagesTest, SkipUpdateMicomChoosesNoMicomImage) {
    Platform("07RK");
    Images({"R5RK0800.wph"});
    ctx.runOptions = SkipUpdateMicom;
    EXPECT_EQ(SelectUpdateImages(), kResultOk);
    EXPECT_FALSE(Exists("kbc.bin"));
}

struct MicomCase {
    const char* name;
    std::vector<std::string> micoms;
    const char* chosen;
};

class MicomChoiceTest : public SelectImagesTest, public ::testing::WithParamInterface<MicomCase> {};

TEST_P(MicomChoiceTest, CopiesTheMicomImageByTheSameRule) {
    const MicomCase& c = GetParam();
    Platform("07RK");
    Images({"R5RK0800.wph", "R5AB0800.wph"});
    Micoms(c.micoms);
    if (c.chosen == nullptr) {
        EXPECT_EQ(SelectUpdateImages(), kResultMicomFile);
        EXPECT_FALSE(Exists("kbc.bin"));
        EXPECT_EQ(Get("bios.wph"), "image R5RK0800.wph") << "the BIOS image is chosen first";
        return;
    }
    EXPECT_EQ(SelectUpdateImages(), kResultOk);
    EXPECT_EQ(Get("kbc.bin"), std::string("micom ") + c.chosen);
    const bool logged = Log().find(std::string("Micom File : ") + c.chosen + "\r\n") != std::string::npos;
    EXPECT_EQ(logged, c.micoms.size() > 1);
}

INSTANTIATE_TEST_SUITE_P(
    Micom, MicomChoiceTest,
    ::testing::Values(MicomCase{"OnlyOne", {"KB010203.bin"}, "KB010203.bin"},
                      MicomCase{"MatchingOfTwo", {"KBAB0102.bin", "kbrk0102.bin"}, "kbrk0102.bin"},
                      MicomCase{"NoneMatches", {"KBAB0102.bin", "KBCD0102.bin"}, nullptr},
                      MicomCase{"NoneAtAll", {}, nullptr}),
    [](const ::testing::TestParamInfo<MicomCase>& info) { return std::string(info.param.name); });

// --- Flash block marks -------------------------------------------------------------------------

constexpr uint32_t k2MiB = 0x200000;
constexpr uint32_t k1MiB = 0x100000;
constexpr uint32_t k512KiB = 0x80000;

class MarkBlocksTest : public ImageTest {
  protected:
    // Writes image as bios.wph and returns its bytes.
    std::string Place(const wph::Image& image) {
        std::string bytes = image.Bytes();
        Put("bios.wph", bytes);
        return bytes;
    }
    std::string After() { return Get("bios.wph"); }
};

// Everything outside the listed records is as it was.
void ExpectOnlyRecordsChanged(const std::string& before, const std::string& after, size_t tableStart,
                              const std::vector<int>& changed) {
    ASSERT_EQ(before.size(), after.size());
    std::string a = before;
    std::string b = after;
    for (int i : changed) {
        a.replace(tableStart + static_cast<size_t>(i) * 16, 16, 16, '\0');
        b.replace(tableStart + static_cast<size_t>(i) * 16, 16, 16, '\0');
    }
    EXPECT_TRUE(a == b) << "bytes outside the records " << ::testing::PrintToString(changed) << " changed";
}

TEST_F(MarkBlocksTest, MarkLastFlashBlockTurnsTheTopBlockOf32IntoAPlainWrite) {
    wph::Image image;  // 2 MiB, records 0..31, end record at 32
    const std::string before = Place(image);
    ctx.runOptions = MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 1);
    const std::string after = After();
    wph::Record expected = image.records[31];
    ASSERT_EQ(expected.attributes, 0x122);
    expected.attributes = 0x22;
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 31), expected);
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), {31});
}

// An ESCD record that starts inside its 64 KiB block.
wph::Record EscdRecord(uint32_t romSize, uint32_t blockOffset) {
    wph::Record r;
    r.imageOffset = blockOffset + 0x3000;
    r.length = 0x10000 - 0x3000;
    r.flashAddress = static_cast<uint32_t>(wph::kFourGiB - romSize + r.imageOffset);
    r.attributes = 0;
    return r;
}

struct EscdCase {
    const char* name;
    uint32_t romSize;
    int records;
    int escdIndex;
};

class BreakEscdTest : public MarkBlocksTest, public ::testing::WithParamInterface<EscdCase> {};

TEST_P(BreakEscdTest, WidensTheEscdRecordToItsBlockAndMarksItForWriting) {
    const EscdCase& c = GetParam();
    wph::Image image;
    image.romSize = c.romSize;
    image.records = wph::WholeBlocks(c.romSize, c.records);
    image.records[c.escdIndex] = EscdRecord(c.romSize, static_cast<uint32_t>(c.escdIndex) * 0x10000);
    const std::string before = Place(image);
    ctx.runOptions = BreakEscd;
    EXPECT_EQ(MarkFlashBlocks(), 0) << "no last block is marked without MarkLastFlashBlock";
    const std::string after = After();
    wph::Record widened;
    widened.imageOffset = static_cast<uint32_t>(c.escdIndex) * 0x10000;
    widened.length = 0x10000;
    widened.flashAddress = static_cast<uint32_t>(wph::kFourGiB - c.romSize + widened.imageOffset);
    widened.attributes = 0x22;
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), c.escdIndex), widened);
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), {c.escdIndex});
}

INSTANTIATE_TEST_SUITE_P(
    Escd, BreakEscdTest,
    ::testing::Values(EscdCase{"Record8Of2MiBImage", k2MiB, 32, 8},
                      EscdCase{"Record8Of1MiBImage", k1MiB, 16, 8},
                      EscdCase{"Record0BelowOneMiB", k512KiB, 8, 0}),
    [](const ::testing::TestParamInfo<EscdCase>& info) { return std::string(info.param.name); });

TEST_F(MarkBlocksTest, BreakEscdWithMarkLastFlashBlockDoesBoth) {
    wph::Image image;
    image.records[8] = EscdRecord(k2MiB, 0x80000);
    const std::string before = Place(image);
    ctx.runOptions = BreakEscd | MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 1);
    const std::string after = After();
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 8).imageOffset, 0x80000u);
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 8).attributes, 0x22);
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 31).attributes, 0x22);
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), {8, 31});
}

TEST_F(MarkBlocksTest, BreakEscdNeverTurnsTheEndRecordIntoABlock) {
    wph::Image image;
    image.records = wph::WholeBlocks(k2MiB, 8);  // the end record is record 8, the ESCD index
    const std::string before = Place(image);
    ctx.runOptions = BreakEscd;
    EXPECT_EQ(MarkFlashBlocks(), 0);
    EXPECT_EQ(After(), before);
}

struct DmiOnlyCase {
    const char* name;
    uint32_t options;
    uint8_t keptIndex;
    bool ruleApplies;
};

class DmiOnlyMarksTest : public MarkBlocksTest, public ::testing::WithParamInterface<DmiOnlyCase> {};

TEST_P(DmiOnlyMarksTest, ExactlyDmiOnlyLeavesOutEveryBlockButTheDmiBlock) {
    const DmiOnlyCase& c = GetParam();
    wph::Image image;
    const std::string before = Place(image);
    ctx.runOptions = c.options;
    ctx.dmiBlockIndex = c.keptIndex;
    MarkFlashBlocks();
    const std::string after = After();
    std::vector<int> changed;
    for (int i = 0; i < 32; ++i) {
        const wph::Record r = wph::RecordAt(after, image.TableStart(), i);
        wph::Record expected = image.records[i];
        if (c.ruleApplies && i != c.keptIndex) expected.attributes = 0;
        if ((c.options & MarkLastFlashBlock) != 0 && i == 31) expected.attributes = 0x22;
        EXPECT_EQ(r, expected) << "record " << i;
        changed.push_back(i);
    }
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), changed);
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 32), wph::Record()) << "end record";
}

INSTANTIATE_TEST_SUITE_P(
    DmiOnly, DmiOnlyMarksTest,
    ::testing::Values(DmiOnlyCase{"KeepsRecord0", DmiOnly, 0, true},
                      DmiOnlyCase{"KeepsTheChosenRecord", DmiOnly, 5, true},
                      DmiOnlyCase{"WithMarkLastFlashBlockTheRuleDoesNotApply", DmiOnly | MarkLastFlashBlock, 0, false},
                      DmiOnlyCase{"WithNoMessageBoxTheRuleDoesNotApply", DmiOnly | NoMessageBox, 0, false}),
    [](const ::testing::TestParamInfo<DmiOnlyCase>& info) { return std::string(info.param.name); });

struct UntouchedCase {
    const char* name;
    std::string (*make)();
};

// A 1 MiB file with a whole trailer inside its first megabyte: no position lies in the search range.
std::string ExactlyOneMiB() {
    wph::Image image;
    image.romSize = 0x90000;
    image.records = wph::WholeBlocks(k1MiB, 16);
    std::string s = image.Bytes();
    s.resize(k1MiB, '\x90');
    return s;
}

std::string ExactlyHalfMiB() {
    wph::Image image;
    image.romSize = 0x40000;
    image.records = wph::WholeBlocks(k512KiB, 8);
    std::string s = image.Bytes();
    s.resize(k512KiB, '\x90');
    return s;
}

std::string EmptyTable() {
    wph::Image image;
    image.records.clear();
    return image.Bytes();
}

std::string NoTableMarker() {
    std::string s = wph::Image().Bytes();
    s.replace(s.find("ZQDS"), 4, "ZQDX");
    return s;
}

std::string NoHeaderMarker() {
    std::string s = wph::Image().Bytes();
    s.replace(s.find("ZFLPF"), 5, "ZFLPX");
    return s;
}

// "ZQDS" first and "ZFLPF" within the last 61 bytes: the header cannot be read whole.
std::string ShortHeader() {
    std::string s(k2MiB, '\x90');
    s += "ZQDS";
    s += std::string(20, '\0');
    s += "ZFLPF";
    s += std::string(30, '\0');
    return s;
}

// The table runs into the end of the file without an end record.
std::string NoEndRecord() {
    wph::Image image;
    image.endRecord = false;
    return image.Bytes();
}

// 256 block records and no end record among them.
std::string TooManyRecords() {
    wph::Image image;
    image.records = wph::WholeBlocks(k2MiB, 32);
    while (image.records.size() < 256) image.records.push_back(image.records[0]);
    return image.Bytes();
}

// The markers lie in the last five bytes, which the search never reaches.
std::string MarkersInTheLastFiveBytes() {
    std::string s(k2MiB, '\x90');
    s += "ZQDS";
    s += "ZFLPF";
    return s;
}

class UntouchedImageTest : public MarkBlocksTest, public ::testing::WithParamInterface<UntouchedCase> {};

TEST_P(UntouchedImageTest, LeavesTheImageAsItWas) {
    const std::string before = GetParam().make();
    Put("bios.wph", before);
    ctx.runOptions = MarkLastFlashBlock | BreakEscd;
    EXPECT_EQ(MarkFlashBlocks(), 0);
    EXPECT_TRUE(After() == before);
}

INSTANTIATE_TEST_SUITE_P(
    Untouched, UntouchedImageTest,
    ::testing::Values(UntouchedCase{"ExactlyOneMiB", ExactlyOneMiB}, UntouchedCase{"ExactlyHalfMiB", ExactlyHalfMiB},
                      UntouchedCase{"EmptyTable", EmptyTable}, UntouchedCase{"NoTableMarker", NoTableMarker},
                      UntouchedCase{"NoHeaderMarker", NoHeaderMarker}, UntouchedCase{"ShortHeader", ShortHeader},
                      UntouchedCase{"NoEndRecord", NoEndRecord}, UntouchedCase{"TooManyRecords", TooManyRecords},
                      UntouchedCase{"MarkersInTheLastFiveBytes", MarkersInTheLastFiveBytes}),
    [](const ::testing::TestParamInfo<UntouchedCase>& info) { return std::string(info.param.name); });

TEST_F(MarkBlocksTest, MissingImageIsNoFailure) {
    ctx.runOptions = MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 0);
    EXPECT_FALSE(Exists("bios.wph"));
}

TEST_F(MarkBlocksTest, TableCountsFromTheLowerMarker) {
    wph::Image image;
    image.tableMarkerFirst = true;
    image.tableGap = 100;
    const std::string before = Place(image);
    ctx.runOptions = MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 1);
    const std::string after = After();
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 31).attributes, 0x22);
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), {31});
}

TEST_F(MarkBlocksTest, FindsMarkersThatStraddleTheSearchPieces) {
    // Markers around the 64 KiB steps past the search start, where a reader in pieces joins them.
    for (uint32_t gap : {0x10000u - 2, 0x10000u - 61 - 2, 0x20000u - 4}) {
        wph::Image image;
        image.trailerGap = gap;
        const std::string before = Place(image);
        ctx.runOptions = MarkLastFlashBlock;
        EXPECT_EQ(MarkFlashBlocks(), 1) << "gap " << gap;
        const std::string after = After();
        EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 31).attributes, 0x22) << "gap " << gap;
        ExpectOnlyRecordsChanged(before, after, image.TableStart(), {31});
    }
}

TEST_F(MarkBlocksTest, TakesTheLatestHeaderBeforeTheTableMarker) {
    // A decoy header earlier in the image whose table offset leads nowhere useful.
    wph::Image image;
    std::string bytes = image.Bytes();
    std::string decoy(61, '\0');
    decoy.replace(0, 5, "ZFLPF");
    wph::PutU32(decoy, 53, 0x7FFFFFFF);
    bytes.replace(0x180000, decoy.size(), decoy);
    Put("bios.wph", bytes);
    ctx.runOptions = MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 1);
    EXPECT_EQ(wph::RecordAt(After(), image.TableStart(), 31).attributes, 0x22);
}

TEST_F(MarkBlocksTest, EndRecordIgnoresItsReservedField) {
    wph::Image image;
    image.records = wph::WholeBlocks(k2MiB, 4);
    image.endRecordReserved = 0xBEEF;
    const std::string before = Place(image);
    ctx.runOptions = MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 1);
    const std::string after = After();
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 3).attributes, 0x22);
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), {3});
}

TEST_F(MarkBlocksTest, A255BlockTableIsMarkedAtItsLastBlock) {
    wph::Image image;
    image.records = wph::WholeBlocks(k2MiB, 32);
    while (image.records.size() < 255) image.records.push_back(image.records[0]);
    image.records[254].attributes = 0;
    const std::string before = Place(image);
    ctx.runOptions = MarkLastFlashBlock;
    EXPECT_EQ(MarkFlashBlocks(), 1);
    const std::string after = After();
    EXPECT_EQ(wph::RecordAt(after, image.TableStart(), 254).attributes, 0x22);
    ExpectOnlyRecordsChanged(before, after, image.TableStart(), {254});
}

// --- Identification of an image file -----------------------------------------------------------

class ImageIdentityTest : public ImageTest {
  protected:
    void SetUp() override {
        ImageTest::SetUp();
        CopyText(ctx.newModel, "old1");
        CopyText(ctx.newVersion, "old2");
        CopyText(ctx.newPartNumber, "old");
    }
    void ExpectFields(const char* model, const char* version, const char* part) {
        EXPECT_STREQ(ctx.newModel, model);
        EXPECT_STREQ(ctx.newVersion, version);
        EXPECT_STREQ(ctx.newPartNumber, part);
    }
};

TEST_F(ImageIdentityTest, ReadsModelVersionAndPartNumber) {
    wph::Image image;
    image.partBlockAt = 0x1000;
    image.identityBlockAt = 0x2000;
    image.model = "X123";
    image.version = "09AB";
    image.partNumber = "051";
    Put("newSys.bin", image.Bytes());
    ReadImageIdentity("newSys.bin");
    ExpectFields("X123", "09AB", "051");
}

TEST_F(ImageIdentityTest, PartNumberAfterTheIdentityBlockIsNotReached) {
    wph::Image image;
    image.identityBlockAt = 0x1000;
    image.partBlockAt = 0x2000;
    image.model = "X123";
    image.version = "09AB";
    Put("newSys.bin", image.Bytes());
    ReadImageIdentity("newSys.bin");
    ExpectFields("X123", "09AB", "old");
}

TEST_F(ImageIdentityTest, FirstIdentityBlockEndsTheScan) {
    wph::Image image;
    image.identityBlockAt = 0x1000;
    image.model = "AAAA";
    image.version = "01AA";
    std::string bytes = image.Bytes();
    std::string second(40, '\0');
    second.replace(0, 5, "DiaG@");
    second.replace(12, 4, "BBBB");
    bytes.replace(0x3000, second.size(), second);
    Put("newSys.bin", bytes);
    ReadImageIdentity("newSys.bin");
    EXPECT_STREQ(ctx.newModel, "AAAA");
}

TEST_F(ImageIdentityTest, MissingFileChangesNothing) {
    ReadImageIdentity("newSys.bin");
    ExpectFields("old1", "old2", "old");
}

struct LimitCase {
    const char* name;
    uint32_t size;
    uint32_t blockAt;
    bool found;
};

class IdentityScanLimitTest : public ImageIdentityTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(IdentityScanLimitTest, ScanStopsBeforeTheLastFortyBytesOfTheFirstMegabyteOrHalf) {
    const LimitCase& c = GetParam();
    std::string bytes(c.size, '\x90');
    std::string block(40, '\0');
    block.replace(0, 5, "DiaG@");
    block.replace(12, 4, "M123");
    block.replace(25, 4, "V456");
    bytes.replace(c.blockAt, block.size(), block);
    Put("newSys.bin", bytes);
    ReadImageIdentity("newSys.bin");
    if (c.found) {
        ExpectFields("M123", "V456", "old");
    } else {
        ExpectFields("old1", "old2", "old");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, IdentityScanLimitTest,
    ::testing::Values(LimitCase{"LastPositionOfALargeFile", k2MiB, 0xFFFD7, true},
                      LimitCase{"LimitOfALargeFile", k2MiB, 0xFFFD8, false},
                      LimitCase{"LastPositionOfASmallFile", k512KiB + 0x1000, 0x7FFD7, true},
                      LimitCase{"LimitOfASmallFile", k512KiB + 0x1000, 0x7FFD8, false},
                      LimitCase{"ExactlyOneMiBIsLarge", k1MiB, 0x80000, true},
                      LimitCase{"JustBelowOneMiBIsSmall", k1MiB - 1, 0x80000, false}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

struct ShortFileCase {
    const char* name;
    std::string bytes;
    const char* model;
    const char* version;
    const char* part;
};

class ShortImageFileTest : public ImageIdentityTest, public ::testing::WithParamInterface<ShortFileCase> {};

TEST_P(ShortImageFileTest, TakesOnlyBlocksThatLieWhollyInTheFile) {
    const ShortFileCase& c = GetParam();
    Put("newSys.bin", c.bytes);
    ReadImageIdentity("newSys.bin");
    ExpectFields(c.model, c.version, c.part);
}

std::string Page(const std::string& tail) { return std::string(4096 - tail.size(), '\x90') + tail; }

INSTANTIATE_TEST_SUITE_P(
    Short, ShortImageFileTest,
    ::testing::Values(
        ShortFileCase{"IdentityBlockCutByTheEnd", Page(std::string("DiaG@") + std::string(7, '\0') + "M123"), "old1",
                      "old2", "old"},
        ShortFileCase{"IdentityBlockEndingWithTheFile",
                      Page(std::string("DiaG@") + std::string(7, '\0') + "M123" + std::string(9, '\0') + "V456"),
                      "M123", "V456", "old"},
        ShortFileCase{"PartNumberCutByTheEnd", Page("DEVEL05"), "old1", "old2", "old"},
        ShortFileCase{"PartNumberEndingWithTheFile", Page("DEVEL051"), "old1", "old2", "051"},
        ShortFileCase{"JustAMarker", "DiaG@", "old1", "old2", "old"},
        ShortFileCase{"OneByte", "D", "old1", "old2", "old"}),
    [](const ::testing::TestParamInfo<ShortFileCase>& info) { return std::string(info.param.name); });

}  // namespace
