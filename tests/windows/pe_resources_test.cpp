// The PE reader: on a library built by the MinGW-w64 tools (what a real resource compiler and
// linker write), on files built byte by byte (the PE32+ form, names, malformed trees), and on
// every cut of those files (the reader must refuse or stay inside the file, never read past it).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pe/pe_resources.h"
#include "pe_builder.h"

namespace {

using pe_test::BuildPe;
using pe_test::Leaf;
using pe_test::PeOptions;
using pe_test::StringBlock;

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

size_t Find(const std::vector<uint8_t>& bytes, const std::string& text) {
    auto it = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    return it == bytes.end() ? std::string::npos : static_cast<size_t>(it - bytes.begin());
}

class TestLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(PE_TEST_LIBRARY).empty()) {
            GTEST_SKIP() << "the MinGW-w64 tools (i686-w64-mingw32-windres, -gcc) were not found when "
                            "configuring, so the test library was not built";
        }
        std::string error;
        ASSERT_TRUE(pe::LoadImage(PE_TEST_LIBRARY, &image, &error)) << error;
    }
    pe::Image image;
};

TEST_F(TestLibrary, ReadsHeaderOfA32BitLibrary) {
    EXPECT_EQ(image.machine, pe::kMachineI386);
    EXPECT_FALSE(image.pe32Plus);
    EXPECT_NE(image.characteristics & pe::kCharacteristicDll, 0);
    std::vector<std::string> names;
    for (const pe::Section& s : image.sections) names.push_back(s.name);
    EXPECT_NE(std::find(names.begin(), names.end(), ".rsrc"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), ".data"), names.end());
}

TEST_F(TestLibrary, LocatesInitializedDataBySection) {
    struct Case {
        std::string text;
        std::string section;
        bool writable;
    };
    for (const Case& c : {Case{"FIXTURE@MARKER", ".rdata", false}, Case{"writable", ".data", true}}) {
        SCOPED_TRACE(c.text);
        const size_t at = Find(image.bytes, c.text);
        ASSERT_NE(at, std::string::npos);
        const pe::Section* s = pe::SectionAtFileOffset(image, at);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->name, c.section);
        EXPECT_NE(s->characteristics & pe::kSectionInitializedData, 0u);
        EXPECT_EQ(s->characteristics & pe::kSectionCode, 0u);
        EXPECT_EQ((s->characteristics & pe::kSectionWritable) != 0, c.writable);
    }
    // The headers belong to no section.
    EXPECT_EQ(pe::SectionAtFileOffset(image, 0), nullptr);
    EXPECT_EQ(pe::SectionAtFileOffset(image, image.bytes.size()), nullptr);
}

TEST_F(TestLibrary, ReadsEveryStringWithItsIdAcrossBlocks) {
    std::vector<pe::StringEntry> strings;
    std::string error;
    ASSERT_TRUE(pe::ReadStringTable(image, &strings, &error, 0x409)) << error;
    std::vector<std::pair<uint32_t, std::u16string>> got;
    for (const auto& s : strings) got.emplace_back(s.id, s.text);
    const std::vector<std::pair<uint32_t, std::u16string>> expected = {
        {1, u"one"},
        {15, u"fifteen\nsecond line"},
        {16, u"sixteen 100%%"},
        {100, u"hundred\r\n\"quoted\""},
    };
    EXPECT_EQ(got, expected);
}

TEST_F(TestLibrary, LoadsSingleStringsByIdAndLanguage) {
    struct Case {
        uint32_t id;
        uint16_t language;
        bool exists;
        std::u16string text;
    };
    const Case cases[] = {
        {1, 0x409, true, u"one"},
        {1, 0x407, true, u"eins"},
        {15, 0x409, true, u"fifteen\nsecond line"},
        {16, 0x409, true, u"sixteen 100%%"},
        {2, 0x409, false, u""},     // empty in its block
        {17, 0x409, false, u""},    // block 2 exists, the string is empty
        {15, 0x407, false, u""},    // the German block holds only string 1
        {40000, 0x409, false, u""}, // no such block
        {1, 0x40C, false, u""},     // no French strings
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        std::u16string text = u"unchanged";
        EXPECT_EQ(pe::LoadString(image, c.id, &text, c.language), c.exists);
        EXPECT_EQ(text, c.text);
    }
}

TEST_F(TestLibrary, ReadsRawResourceBytesByTypeAndId) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(pe::ReadResource(image, pe::kTypeRcData, 200, &data));
    EXPECT_EQ(data, (std::vector<uint8_t>{0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 'a', 'b', 'c'}));
    EXPECT_FALSE(pe::ReadResource(image, pe::kTypeRcData, 201, &data));
    EXPECT_FALSE(pe::ReadResource(image, pe::kTypeRcData, 200, &data, 0x407));
}

TEST_F(TestLibrary, KeepsNamedResourcesWithTheirNames) {
    const pe::Resource* named = nullptr;
    for (const pe::Resource& r : image.resources) {
        if (!r.name.isNumber) named = &r;
    }
    ASSERT_NE(named, nullptr);
    EXPECT_TRUE(named->type.isNumber);
    EXPECT_EQ(named->type.number, pe::kTypeRcData);
    EXPECT_EQ(named->name.text, u"SETTINGS");
    const std::vector<uint8_t> data = pe::ResourceData(image, *named);
    EXPECT_EQ(std::string(data.begin(), data.end()), "named");
}

TEST_F(TestLibrary, ParsesClassicDialogTemplate) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(pe::ReadResource(image, pe::kTypeDialog, 300, &data));
    pe::DialogTemplate d;
    std::string error;
    ASSERT_TRUE(pe::ParseDialog(data, &d, &error)) << error;
    EXPECT_FALSE(d.extended);
    EXPECT_EQ(d.style & 0x80, 0x80u);  // DS_MODALFRAME
    EXPECT_EQ((std::vector<int>{d.x, d.y, d.cx, d.cy}), (std::vector<int>{10, 20, 120, 60}));
    EXPECT_EQ(d.title, u"Classic");
    EXPECT_TRUE(d.hasFont);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.typeface, u"MS Shell Dlg");
    ASSERT_EQ(d.controls.size(), 2u);
    EXPECT_EQ(pe::ClassName(d.controls[0].windowClass), "Button");
    EXPECT_EQ(d.controls[0].id, 1);
    EXPECT_EQ(d.controls[0].text.text, u"OK");
    EXPECT_EQ(pe::ClassName(d.controls[1].windowClass), "Static");
    EXPECT_EQ(d.controls[1].id, -1);
    EXPECT_EQ(d.controls[1].text.text, u"Label");
    EXPECT_EQ((std::vector<int>{d.controls[1].x, d.controls[1].y, d.controls[1].cx, d.controls[1].cy}),
              (std::vector<int>{5, 5, 100, 8}));
}

TEST_F(TestLibrary, ParsesExtendedDialogTemplate) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(pe::ReadResource(image, pe::kTypeDialog, 301, &data));
    pe::DialogTemplate d;
    std::string error;
    ASSERT_TRUE(pe::ParseDialog(data, &d, &error)) << error;
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.style, 0x80040840u);
    EXPECT_EQ(d.title, u"");
    EXPECT_EQ(d.pointSize, 10);
    EXPECT_EQ(d.typeface, u"Arial");
    ASSERT_EQ(d.controls.size(), 3u);
    EXPECT_EQ(pe::ClassName(d.controls[0].windowClass), "Edit");
    EXPECT_EQ(d.controls[0].id, 1017);
    EXPECT_NE(d.controls[0].style & 0x80, 0u);  // ES_AUTOHSCROLL
    // A bitmap static names its image by number.
    EXPECT_EQ(pe::ClassName(d.controls[1].windowClass), "Static");
    EXPECT_EQ(d.controls[1].id, -1);
    EXPECT_TRUE(d.controls[1].text.isNumber);
    EXPECT_EQ(d.controls[1].text.number, 302);
    EXPECT_EQ(d.controls[1].style, 0x5000000Eu);
    // Hidden: no WS_VISIBLE; vertically centred: SS_CENTERIMAGE.
    EXPECT_EQ(d.controls[2].style & 0x10000000u, 0u);
    EXPECT_NE(d.controls[2].style & 0x200u, 0u);
    EXPECT_EQ(d.controls[2].text.text, u"Hidden");
}

TEST_F(TestLibrary, BitmapResourceIsTheFileWithoutItsFileHeader) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(pe::ReadResource(image, pe::kTypeBitmap, 302, &data));
    const std::vector<uint8_t> file = ReadBytes(PE_TEST_BITMAP);
    ASSERT_GT(file.size(), 14u);
    EXPECT_EQ(data, std::vector<uint8_t>(file.begin() + 14, file.end()));
    pe::Bitmap bitmap;
    std::string error;
    ASSERT_TRUE(pe::ParseBitmap(data, &bitmap, &error)) << error;
    EXPECT_EQ(bitmap.width, 16);
    EXPECT_EQ(bitmap.height, 16);
    EXPECT_EQ(bitmap.bitCount, 4);
    EXPECT_EQ(bitmap.palette.size(), 16u);
}

TEST_F(TestLibrary, ReadsVersionInformation) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(pe::ReadResource(image, pe::kTypeVersion, 1, &data));
    pe::VersionInfo info;
    std::string error;
    ASSERT_TRUE(pe::ParseVersionInfo(data, &info, &error)) << error;
    EXPECT_EQ(info.fileVersionHigh, 0x00030004u);
    EXPECT_EQ(info.fileVersionLow, 0x00050006u);
    EXPECT_EQ(info.productVersionHigh, 0x00070008u);
    EXPECT_EQ(info.fileType, 2u);  // VFT_DLL
    EXPECT_EQ(info.Value("ProductName"), "fixture");
    EXPECT_EQ(info.Value("ProductVersion"), "7.8");
    EXPECT_EQ(info.Value("Translation"), "");
    ASSERT_FALSE(info.texts.empty());
    EXPECT_EQ(info.texts[0].table, "040904B0");
}

// Every cut of the library: the reader refuses it, or whatever it reports lies inside the bytes
// it was given. Under the address sanitizer this also shows that no read goes past them.
TEST_F(TestLibrary, EveryCutOfTheFileIsRefusedOrReadWithinItsBytes) {
    size_t refused = 0;
    for (size_t length = 0; length < image.bytes.size(); ++length) {
        std::vector<uint8_t> cut(image.bytes.begin(), image.bytes.begin() + length);
        pe::Image partial;
        std::string error;
        if (!pe::ParseImage(cut, &partial, &error)) {
            EXPECT_FALSE(error.empty());
            ++refused;
            continue;
        }
        for (const pe::Resource& r : partial.resources) {
            ASSERT_LE(static_cast<uint64_t>(r.fileOffset) + r.size, length) << "cut at " << length;
        }
        std::vector<pe::StringEntry> strings;
        pe::ReadStringTable(partial, &strings, &error);
    }
    // The resource section is last: every cut inside it loses resources and is refused.
    EXPECT_GT(refused, 0u);
}

// --- Files built byte by byte -----------------------------------------------------------------

std::vector<Leaf> SampleLeaves() {
    return {
        Leaf{{pe::kTypeString, u""}, {1, u""}, 0x409, StringBlock({{1, u"first"}, {15, u"last"}})},
        Leaf{{pe::kTypeString, u""}, {7, u""}, 0x409, StringBlock({{4, u"hundred"}})},
        Leaf{{0, u"CUSTOM"}, {0, u"ENTRY"}, 0x000, {1, 2, 3}},
        Leaf{{pe::kTypeRcData, u""}, {5, u""}, 0x411, {9, 8, 7, 6, 5}},
    };
}

TEST(BuiltImage, ReadsBothHeaderForms) {
    struct Case {
        bool pe32Plus;
        uint16_t machine;
        uint16_t subsystem;
    };
    for (const Case& c : {Case{false, pe::kMachineI386, pe::kSubsystemGui},
                          Case{true, pe::kMachineAmd64, pe::kSubsystemConsole}}) {
        SCOPED_TRACE(c.pe32Plus);
        PeOptions o;
        o.pe32Plus = c.pe32Plus;
        o.machine = c.machine;
        o.subsystem = c.subsystem;
        o.resources = pe_test::BuildResourceSection(SampleLeaves());
        pe::Image image;
        std::string error;
        ASSERT_TRUE(pe::ParseImage(BuildPe(o).bytes, &image, &error)) << error;
        EXPECT_EQ(image.pe32Plus, c.pe32Plus);
        EXPECT_EQ(image.machine, c.machine);
        EXPECT_EQ(image.subsystem, c.subsystem);
        EXPECT_EQ(image.resources.size(), 4u);
        std::u16string text;
        EXPECT_TRUE(pe::LoadString(image, 100, &text));
        EXPECT_EQ(text, u"hundred");
        EXPECT_TRUE(pe::LoadString(image, 15, &text));
        EXPECT_EQ(text, u"last");
    }
}

TEST(BuiltImage, ReadsNamedTypesAndNames) {
    PeOptions o;
    o.resources = pe_test::BuildResourceSection(SampleLeaves());
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::ParseImage(BuildPe(o).bytes, &image, &error)) << error;
    // Named entries come first in a directory.
    ASSERT_FALSE(image.resources.empty());
    const pe::Resource& custom = image.resources.front();
    EXPECT_FALSE(custom.type.isNumber);
    EXPECT_EQ(custom.type.text, u"CUSTOM");
    EXPECT_EQ(custom.name.text, u"ENTRY");
    EXPECT_EQ(pe::ResourceData(image, custom), (std::vector<uint8_t>{1, 2, 3}));
    const pe::Resource* data = pe::FindResource(image, pe::kTypeRcData, 5);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->language, 0x411);
}

TEST(BuiltImage, FileWithoutResourcesHasNone) {
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::ParseImage(BuildPe(PeOptions{}).bytes, &image, &error)) << error;
    EXPECT_TRUE(image.resources.empty());
    std::u16string text;
    EXPECT_FALSE(pe::LoadString(image, 1, &text));
}

// A file bent in one field, and the reason the reader must give.
TEST(BuiltImage, RefusesMalformedFiles) {
    using Bend = void (*)(pe_test::BuiltPe*);
    struct Case {
        const char* what;
        Bend bend;
    };
    const Case cases[] = {
        {"no MZ", [](pe_test::BuiltPe* p) { p->bytes[0] = 'X'; }},
        {"PE header offset past the end", [](pe_test::BuiltPe* p) { pe_test::Put32(&p->bytes, 0x3C, 0x7FFFFFF0); }},
        {"no PE signature", [](pe_test::BuiltPe* p) { p->bytes[0x40] = 'X'; }},
        {"unknown optional header", [](pe_test::BuiltPe* p) { pe_test::Put16(&p->bytes, 0x58, 0x999); }},
        {"section table past the end", [](pe_test::BuiltPe* p) { pe_test::Put16(&p->bytes, 0x46, 0xFFFF); }},
        {"resource directory outside every section",
         [](pe_test::BuiltPe* p) { pe_test::Put32(&p->bytes, p->dataDirectoryOffset, 0x90000); }},
        {"directory claims more entries than it holds",
         [](pe_test::BuiltPe* p) { pe_test::Put16(&p->bytes, p->resourceOffset + 14, 0xFFFF); }},
        {"type entry points outside the section",
         [](pe_test::BuiltPe* p) { pe_test::Put32(&p->bytes, p->resourceOffset + 16 + 4, 0x8000FFF0); }},
        {"type entry points at data, not a directory",
         [](pe_test::BuiltPe* p) { pe_test::Put32(&p->bytes, p->resourceOffset + 16 + 4, 0x10); }},
        {"type entry points back at the root (a loop)",
         [](pe_test::BuiltPe* p) { pe_test::Put32(&p->bytes, p->resourceOffset + 16 + 4, 0x80000000); }},
        {"name of a type outside the section",
         [](pe_test::BuiltPe* p) { pe_test::Put32(&p->bytes, p->resourceOffset + 16, 0x8000FFF0); }},
    };
    PeOptions o;
    o.resources = pe_test::BuildResourceSection(
        {Leaf{{pe::kTypeRcData, u""}, {1, u""}, 0x409, {1, 2, 3, 4}}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pe_test::BuiltPe built = BuildPe(o);
        c.bend(&built);
        pe::Image image;
        std::string error;
        EXPECT_FALSE(pe::ParseImage(built.bytes, &image, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(BuiltImage, RefusesResourceDataOutsideTheFile) {
    PeOptions o;
    o.resources = pe_test::BuildResourceSection({Leaf{{pe::kTypeRcData, u""}, {1, u""}, 0x409, {1, 2, 3, 4}}});
    pe_test::BuiltPe built = BuildPe(o);
    // The one data entry follows the three one-entry directories (3 x 24 bytes).
    const size_t entry = built.resourceOffset + 3 * 24;
    for (uint32_t size : {0x10000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(size);
        pe_test::Put32(&built.bytes, entry + 4, size);
        pe::Image image;
        std::string error;
        EXPECT_FALSE(pe::ParseImage(built.bytes, &image, &error));
    }
    pe_test::Put32(&built.bytes, entry + 4, 4);
    pe_test::Put32(&built.bytes, entry, 0xFFFFFFFE);
    pe::Image image;
    std::string error;
    EXPECT_FALSE(pe::ParseImage(built.bytes, &image, &error));
}

// Directories shared over and over would make a tree of millions of leaves from a few bytes.
TEST(BuiltImage, RefusesTreesThatShareDirectoriesWithoutEnd) {
    std::vector<uint8_t> rsrc;
    constexpr uint16_t kEntries = 200;
    auto directory = [&](uint32_t target) {
        rsrc.resize(rsrc.size() + 12, 0);
        pe_test::Add16(&rsrc, 0);
        pe_test::Add16(&rsrc, kEntries);
        for (uint16_t i = 0; i < kEntries; ++i) {
            pe_test::Add32(&rsrc, i + 1u);
            pe_test::Add32(&rsrc, target);
        }
    };
    const uint32_t dirSize = 16 + 8 * kEntries;
    directory(0x80000000u | dirSize);      // every type -> the one name directory
    directory(0x80000000u | 2 * dirSize);  // every name -> the one language directory
    directory(3 * dirSize);                // every language -> the one data entry
    pe_test::Add32(&rsrc, pe_test::kResourceRva);
    pe_test::Add32(&rsrc, 4);
    pe_test::Add32(&rsrc, 0);
    pe_test::Add32(&rsrc, 0);
    PeOptions o;
    o.resources = rsrc;
    pe::Image image;
    std::string error;
    EXPECT_FALSE(pe::ParseImage(BuildPe(o).bytes, &image, &error));
    EXPECT_NE(error.find("too many"), std::string::npos) << error;
}

TEST(BuiltImage, StringBlockCutShortIsAnError) {
    std::vector<uint8_t> block;
    pe_test::Add16(&block, 5);  // claims five characters, holds two
    pe_test::AddText16(&block, u"ab", false);
    PeOptions o;
    o.resources = pe_test::BuildResourceSection({Leaf{{pe::kTypeString, u""}, {1, u""}, 0x409, block}});
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::ParseImage(BuildPe(o).bytes, &image, &error)) << error;
    std::vector<pe::StringEntry> strings;
    EXPECT_FALSE(pe::ReadStringTable(image, &strings, &error));
    std::u16string text;
    EXPECT_FALSE(pe::LoadString(image, 0, &text));
    EXPECT_EQ(text, u"");
}

// --- Resource formats on their own ------------------------------------------------------------

std::vector<uint8_t> BitmapBytes(int32_t width, int32_t height, uint16_t bits, const std::vector<uint32_t>& palette,
                                 const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> b;
    pe_test::Add32(&b, 40);
    pe_test::Add32(&b, static_cast<uint32_t>(width));
    pe_test::Add32(&b, static_cast<uint32_t>(height));
    pe_test::Add16(&b, 1);
    pe_test::Add16(&b, bits);
    pe_test::Add32(&b, 0);
    pe_test::Add32(&b, static_cast<uint32_t>(pixels.size()));
    pe_test::Add32(&b, 0);
    pe_test::Add32(&b, 0);
    pe_test::Add32(&b, static_cast<uint32_t>(palette.size()));
    pe_test::Add32(&b, 0);
    for (uint32_t c : palette) pe_test::Add32(&b, c);
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

TEST(BitmapFormat, DecodesRowsInBothDirectionsAndEveryDepth) {
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        std::vector<uint32_t> expected;  // 2 x 2, rows from the top
    };
    const std::vector<uint32_t> colours = {0x0000FF, 0xFF00FF, 0x102030, 0xFFFFFF};
    const Case cases[] = {
        // Bottom-up: the first row in the file is the bottom row. Rows padded to four bytes.
        {"24 bits bottom-up",
         BitmapBytes(2, 2, 24, {}, {0xFF, 0x00, 0xFF, 0x30, 0x20, 0x10, 0, 0,
                                    0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0, 0}),
         {0x0000FF, 0xFFFFFF, 0xFF00FF, 0x102030}},
        {"32 bits top-down",
         BitmapBytes(2, -2, 32, {}, {0xFF, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0x30, 0x20, 0x10, 0}),
         {0x0000FF, 0xFFFFFF, 0xFF00FF, 0x102030}},
        {"4 bits", BitmapBytes(2, 2, 4, colours, {0x12, 0, 0, 0, 0x03, 0, 0, 0}), {0x0000FF, 0xFFFFFF, 0xFF00FF, 0x102030}},
        {"8 bits", BitmapBytes(2, 2, 8, colours, {1, 2, 0, 0, 0, 3, 0, 0}), {0x0000FF, 0xFFFFFF, 0xFF00FF, 0x102030}},
        {"1 bit", BitmapBytes(2, 2, 1, {0x000000, 0xFFFFFF}, {0x40, 0, 0, 0, 0x80, 0, 0, 0}),
         {0xFFFFFF, 0x000000, 0x000000, 0xFFFFFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pe::Bitmap bitmap;
        std::string error;
        ASSERT_TRUE(pe::ParseBitmap(c.data, &bitmap, &error)) << error;
        EXPECT_EQ(bitmap.width, 2);
        EXPECT_EQ(bitmap.height, 2);
        EXPECT_EQ(bitmap.pixels, c.expected);
    }
}

TEST(BitmapFormat, RefusesBitmapsThatDoNotHoldTogether) {
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"pixels cut", BitmapBytes(2, 2, 24, {}, {1, 2, 3})},
        {"index past the colour table", BitmapBytes(2, 1, 4, {0, 1}, {0x5F, 0, 0, 0})},
        {"compressed", [] {
             auto b = BitmapBytes(2, 1, 8, {0, 1}, {0, 0, 0, 0});
             pe_test::Put32(&b, 16, 1);
             return b;
         }()},
        {"zero width", BitmapBytes(0, 2, 24, {}, {})},
        {"absurd size", BitmapBytes(0x7FFFFFFF, 0x7FFFFFFF, 24, {}, {})},
        {"unsupported depth", BitmapBytes(2, 2, 16, {}, std::vector<uint8_t>(16, 0))},
        {"core header", [] {
             auto b = BitmapBytes(2, 2, 24, {}, std::vector<uint8_t>(16, 0));
             pe_test::Put32(&b, 0, 12);
             return b;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pe::Bitmap bitmap;
        std::string error;
        EXPECT_FALSE(pe::ParseBitmap(c.data, &bitmap, &error));
        EXPECT_FALSE(error.empty());
    }
}

class TestLibraryCuts : public TestLibrary {};

// Templates, version records and bitmaps cut at every length are refused without reading past
// them; the whole one reads.
TEST_F(TestLibraryCuts, EveryCutOfAResourceIsRefused) {
    struct Case {
        uint16_t type;
        uint16_t id;
    };
    for (const Case& c : {Case{pe::kTypeDialog, 300}, Case{pe::kTypeDialog, 301}, Case{pe::kTypeVersion, 1},
                          Case{pe::kTypeBitmap, 302}}) {
        SCOPED_TRACE(c.id);
        std::vector<uint8_t> data;
        ASSERT_TRUE(pe::ReadResource(image, c.type, c.id, &data));
        auto parse = [&](const std::vector<uint8_t>& bytes) {
            std::string error;
            if (c.type == pe::kTypeDialog) {
                pe::DialogTemplate d;
                return pe::ParseDialog(bytes, &d, &error);
            }
            if (c.type == pe::kTypeVersion) {
                pe::VersionInfo v;
                return pe::ParseVersionInfo(bytes, &v, &error);
            }
            pe::Bitmap b;
            return pe::ParseBitmap(bytes, &b, &error);
        };
        EXPECT_TRUE(parse(data));
        // The version record and the dialogs end with padding that a cut may drop harmlessly;
        // every cut of more than that must fail.
        for (size_t length = 0; length + 4 < data.size(); ++length) {
            std::vector<uint8_t> cut(data.begin(), data.begin() + length);
            EXPECT_FALSE(parse(cut)) << "cut at " << length;
        }
    }
}

TEST(Utf8, ConvertsEveryRangeAndReplacesLoneSurrogates) {
    EXPECT_EQ(pe::ToUtf8(u"A\u00e9\u20ac"), "A\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(pe::ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(pe::ToUtf8(std::u16string(1, static_cast<char16_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
