// The built Windows programs and language resource libraries, read as files: what kind of
// executable each is, and the resources and marker each must carry. The expected strings come from
// the string table source itself, decoded here as C literals, so the test checks what the resource
// compiler made of them.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "pe/pe_resources.h"

namespace {

struct Program {
    const char* file;
    const char* marker;
    const char* otherMarker;
    const char* productName;
    const char* version;
    uint32_t fileVersionHigh;
};

const Program kPrograms[] = {
    {"romshell.exe", "UnPaCkErSiG@Version 2.02", "UnPaCkErSiG@Version 1.50", "romshell", "2.02", 0x00020002},
    {"romshell-phx.exe", "UnPaCkErSiG@Version 1.50", "UnPaCkErSiG@Version 2.02", "romshell-phx", "1.50", 0x00010032},
};

void PrintTo(const Program& program, std::ostream* os) { *os << program.file; }

constexpr uint16_t kEnglishUs = 0x409;

// The string table source: lines ROMSHELL_STRING(id, name, "text") with C escapes.
std::map<uint32_t, std::u16string> ReadStringSource(const std::string& path) {
    std::ifstream in(path);
    std::map<uint32_t, std::u16string> out;
    std::string line;
    while (std::getline(in, line)) {
        const std::string head = "ROMSHELL_STRING(";
        if (line.rfind(head, 0) != 0) continue;
        size_t pos = head.size();
        const uint32_t id = static_cast<uint32_t>(std::stoul(line.substr(pos)));
        pos = line.find('"', pos);
        std::u16string text;
        for (++pos; pos < line.size() && line[pos] != '"'; ++pos) {
            char c = line[pos];
            if (c == '\\') {
                c = line[++pos];
                switch (c) {
                    case 'n': c = '\n'; break;
                    case 'r': c = '\r'; break;
                    case 't': c = '\t'; break;
                    case '\\': case '"': case '\'': break;
                    default: ADD_FAILURE() << "escape \\" << c << " in string " << id; break;
                }
            }
            text.push_back(static_cast<unsigned char>(c));
        }
        out[id] = text;
    }
    return out;
}

std::string Printable(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out.push_back(static_cast<char>(c));
    }
    return out;
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

class ProgramFile : public ::testing::TestWithParam<Program> {
protected:
    void SetUp() override {
        path = std::string(ROMSHELL_WINDOWS_BIN) + "/" + GetParam().file;
        if (!std::filesystem::exists(path)) {
            GTEST_SKIP() << path << " has not been built (cmake --preset win32 && cmake --build build/win32); "
                         << "set ROMSHELL_WINDOWS_BIN to test another build";
        }
        std::string error;
        ASSERT_TRUE(pe::LoadImage(path, &image, &error)) << path << ": " << error;
    }
    std::vector<uint8_t> Resource(uint16_t type, uint16_t id) {
        std::vector<uint8_t> data;
        EXPECT_TRUE(pe::ReadResource(image, type, id, &data, kEnglishUs)) << "resource type " << type << " id " << id;
        return data;
    }
    std::string path;
    pe::Image image;
};

TEST_P(ProgramFile, IsA32BitWindowedProgram) {
    EXPECT_EQ(image.machine, pe::kMachineI386);
    EXPECT_FALSE(image.pe32Plus);
    EXPECT_EQ(image.subsystem, pe::kSubsystemGui);
    EXPECT_EQ(image.characteristics & pe::kCharacteristicDll, 0);
}

// The libraries a program imports are loaded when it starts, before its first statement can
// restrict where DLLs come from: each must be one Windows keeps as a known DLL (always taken from
// the system folder), so that none can be picked up from the folder the program was started from.
TEST_P(ProgramFile, ImportsOnlyLibrariesWindowsKeepsAsKnownDlls) {
    static const char* const kKnownDlls[] = {"advapi32.dll", "comdlg32.dll", "gdi32.dll",  "imagehlp.dll",
                                             "kernel32.dll", "msvcrt.dll",   "ole32.dll",  "oleaut32.dll",
                                             "psapi.dll",    "rpcrt4.dll",   "setupapi.dll", "shell32.dll",
                                             "shlwapi.dll",  "user32.dll",   "ws2_32.dll", "imm32.dll"};
    const auto fileOffset = [&](uint32_t rva) -> size_t {
        for (const pe::Section& s : image.sections)
            if (rva >= s.virtualAddress && rva < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
                return s.rawOffset + (rva - s.virtualAddress);
        return image.bytes.size();
    };
    const size_t optional = Le32(image.bytes, 0x3C) + 4 + 20;
    ASSERT_LT(optional + 112, image.bytes.size());
    const uint32_t importRva = Le32(image.bytes, optional + 104);
    ASSERT_NE(importRva, 0u) << "the program imports nothing";
    std::vector<std::string> imported;
    // Import descriptors of 20 bytes, ended by one of zeros; the name's RVA at offset 12.
    for (size_t at = fileOffset(importRva); at + 20 <= image.bytes.size(); at += 20) {
        const uint32_t nameRva = Le32(image.bytes, at + 12);
        if (nameRva == 0) break;
        std::string name;
        for (size_t n = fileOffset(nameRva); n < image.bytes.size() && image.bytes[n] != 0; ++n)
            name.push_back(static_cast<char>(std::tolower(image.bytes[n])));
        imported.push_back(name);
    }
    ASSERT_FALSE(imported.empty());
    for (const std::string& name : imported) {
        bool known = false;
        for (const char* k : kKnownDlls) known = known || name == k;
        EXPECT_TRUE(known) << GetParam().file << " imports " << name << ", which is no known DLL";
    }
}

TEST_P(ProgramFile, CarriesEveryEnglishStringExactly) {
    const auto expected = ReadStringSource(ROMSHELL_STRINGS);
    ASSERT_EQ(expected.size(), 54u) << "ids 1 to 55 without 6 in " << ROMSHELL_STRINGS;
    EXPECT_EQ(expected.count(6), 0u);
    std::vector<pe::StringEntry> strings;
    std::string error;
    ASSERT_TRUE(pe::ReadStringTable(image, &strings, &error, kEnglishUs)) << error;
    std::map<uint32_t, std::u16string> got;
    for (const auto& s : strings) got[s.id] = s.text;
    for (const auto& [id, text] : expected) {
        SCOPED_TRACE(id);
        ASSERT_EQ(got.count(id), 1u) << "string " << id << " missing";
        EXPECT_EQ(got[id], text) << "got:      " << Printable(got[id]) << "\nexpected: " << Printable(text);
    }
    for (const auto& [id, text] : got) EXPECT_EQ(expected.count(id), 1u) << "unexpected string " << id;
    // The resource compiler keeps "%%" for the formatting that follows, and makes real line breaks.
    EXPECT_NE(got[35].find(u"30%%."), std::u16string::npos);
    EXPECT_NE(got[37].find(u"30%. "), std::u16string::npos);
    EXPECT_NE(got[1].find(u"before it\ncompletes"), std::u16string::npos);
}

TEST_P(ProgramFile, ManifestAsksForAdministratorAndDeclaresVistaToWindows10) {
    const std::vector<uint8_t> data = Resource(pe::kTypeManifest, 1);
    const std::string manifest(data.begin(), data.end());
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    const char* systems[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
    };
    for (const char* id : systems) EXPECT_NE(manifest.find(id), std::string::npos) << id;
}

TEST_P(ProgramFile, VersionInformationNamesTheProgramAndItsVersion) {
    pe::VersionInfo info;
    std::string error;
    ASSERT_TRUE(pe::ParseVersionInfo(Resource(pe::kTypeVersion, 1), &info, &error)) << error;
    EXPECT_EQ(info.Value("ProductName"), GetParam().productName);
    EXPECT_EQ(info.Value("ProductVersion"), GetParam().version);
    EXPECT_EQ(info.Value("FileVersion"), GetParam().version);
    EXPECT_EQ(info.fileVersionHigh, GetParam().fileVersionHigh);
    EXPECT_EQ(info.productVersionHigh, GetParam().fileVersionHigh);
    EXPECT_EQ(info.fileType, 1u);  // VFT_APP
}

struct ExpectedControl {
    int32_t id;
    const char* className;
    uint32_t style;  // exact
    int x, y, cx, cy;
    const char16_t* text;  // nullptr: the text is a number
    uint16_t imageId;
};

constexpr uint32_t kChild = 0x40000000, kVisible = 0x10000000, kGroup = 0x00020000, kTabStop = 0x00010000;
constexpr uint32_t kBorder = 0x00800000;
constexpr uint32_t kText = kChild | kVisible | kGroup;            // LTEXT: SS_LEFT | WS_GROUP
constexpr uint32_t kHiddenCentredText = kChild | kGroup | 0x200;  // SS_CENTERIMAGE, not visible
constexpr uint32_t kMark = 0x50000A0E;  // SS_BITMAP | SS_CENTERIMAGE | SS_REALSIZEIMAGE, visible child
constexpr uint32_t kLogo = kChild | kVisible | 0x0E;  // SS_BITMAP

void ExpectControls(const pe::DialogTemplate& d, const std::vector<ExpectedControl>& expected) {
    ASSERT_EQ(d.controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const pe::DialogControl& c = d.controls[i];
        const ExpectedControl& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + ", id " + std::to_string(e.id));
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(pe::ClassName(c.windowClass), e.className);
        EXPECT_EQ(c.style, e.style) << std::hex << c.style;
        EXPECT_EQ((std::vector<int>{c.x, c.y, c.cx, c.cy}), (std::vector<int>{e.x, e.y, e.cx, e.cy}));
        if (e.text == nullptr) {
            EXPECT_TRUE(c.text.isNumber);
            EXPECT_EQ(c.text.number, e.imageId);
        } else {
            EXPECT_FALSE(c.text.isNumber && c.text.number != 0);
            EXPECT_EQ(c.text.text, std::u16string(e.text));
        }
    }
}

TEST_P(ProgramFile, ProgressWindowTemplateHasItsControlsInOrder) {
    pe::DialogTemplate d;
    std::string error;
    ASSERT_TRUE(pe::ParseDialog(Resource(pe::kTypeDialog, 117), &d, &error)) << error;
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.style, 0x80040840u);  // WS_POPUP | WS_THICKFRAME | DS_CENTER | DS_SETFONT
    EXPECT_EQ(d.cx, 230);
    EXPECT_EQ(d.cy, 162);
    EXPECT_EQ(d.title, u"");
    EXPECT_EQ(d.typeface, u"Arial");
    EXPECT_EQ(d.pointSize, 10);
    ExpectControls(d, {
        {1012, "Static", kText, 6, 7, 217, 18, u"Please do not interrupt the application before it", 0},
        {1008, "Static", kMark, 11, 42, 6, 6, u"", 0},
        {1014, "Static", kText, 24, 40, 163, 8, u"Flash Bios", 0},
        {1009, "Static", kMark, 11, 57, 6, 6, u"", 0},
        {1015, "Static", kText, 24, 55, 163, 8, u"Flash Micom", 0},
        {1010, "Static", kText, 6, 101, 217, 9, u"", 0},
        {1011, "Static", kMark, 11, 27, 6, 6, u"", 0},
        {1013, "Static", kText, 24, 25, 163, 8, u"Unpack Files", 0},
        {-1, "Static", kLogo, 6, 116, 129, 32, nullptr, 115},
        {-1, "Static", kLogo, 135, 116, 88, 32, nullptr, 113},
        {17, "Static", kHiddenCentredText, 6, 69, 94, 12, u"Current BIOS Version      : ", 0},
        {1017, "Static", kHiddenCentredText, 6, 83, 87, 12, u"New BIOS Version          :", 0},
        {1018, "Static", kHiddenCentredText, 108, 69, 107, 12, u"", 0},
        {1019, "Static", kHiddenCentredText, 108, 84, 107, 12, u"", 0},
    });
}

// Resources no code shows, carried as they always were: the stand-alone MICOM tool's window with its
// menu, and the MICOM step list with its progress bar.
TEST_P(ProgramFile, CarriesTheUnusedMicomDialogsAndTheirMenu) {
    pe::DialogTemplate tool;
    std::string error;
    ASSERT_TRUE(pe::ParseDialog(Resource(pe::kTypeDialog, 101), &tool, &error)) << error;
    EXPECT_TRUE(tool.menu.isNumber);
    EXPECT_EQ(tool.menu.number, 103) << "dialog 101 opens with menu 103";
    EXPECT_FALSE(Resource(pe::kTypeMenu, 103).empty());

    pe::DialogTemplate steps;
    ASSERT_TRUE(pe::ParseDialog(Resource(pe::kTypeDialog, 104), &steps, &error)) << error;
    std::vector<std::string> classes;
    for (const pe::DialogControl& c : steps.controls) {
        std::string name = pe::ClassName(c.windowClass);
        for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        classes.push_back(name);  // the resource compiler may store a class name in capitals
    }
    EXPECT_EQ(std::count(classes.begin(), classes.end(), "static"), 5) << "the five MICOM steps";
    EXPECT_EQ(std::count(classes.begin(), classes.end(), "msctls_progress32"), 1) << "the progress bar";
}

TEST_P(ProgramFile, DmiSettingsDialogHasItsControlsInOrder) {
    pe::DialogTemplate d;
    std::string error;
    ASSERT_TRUE(pe::ParseDialog(Resource(pe::kTypeDialog, 116), &d, &error)) << error;
    EXPECT_EQ(d.title, u"BCPDMI Setting");
    EXPECT_EQ(d.cx, 187);
    EXPECT_EQ(d.cy, 107);
    EXPECT_EQ(d.typeface, u"Arial");
    EXPECT_EQ(d.pointSize, 10);
    constexpr uint32_t kCaption = 0x00C00000, kSysMenu = 0x00080000, kModalFrame = 0x80, kCenter = 0x800;
    constexpr uint32_t kPopup = 0x80000000;
    for (uint32_t bit : {kPopup, kCaption, kSysMenu, kModalFrame, kCenter}) EXPECT_NE(d.style & bit, 0u) << bit;
    constexpr uint32_t kEdit = kChild | kVisible | kBorder | kTabStop | 0x80;  // ES_AUTOHSCROLL
    constexpr uint32_t kDefButton = kChild | kVisible | kTabStop | 0x1;
    constexpr uint32_t kButton = kChild | kVisible | kTabStop;
    ExpectControls(d, {
        {1, "Button", kDefButton, 71, 86, 50, 14, u"OK", 0},
        {2, "Button", kButton, 130, 86, 50, 14, u"Cancel", 0},
        {-1, "Static", kText, 7, 8, 53, 8, u"System Serial  :", 0},
        {1017, "Edit", kEdit, 61, 7, 119, 12, u"", 0},
        {-1, "Static", kText, 7, 32, 52, 8, u"Bios Flag         :", 0},
        {1018, "Edit", kEdit, 61, 31, 119, 12, u"", 0},
        {-1, "Static", kText, 7, 55, 52, 8, u"Purchase Date :", 0},
        {1019, "Edit", kEdit, 61, 54, 119, 12, u"", 0},
    });
}

pe::Bitmap BitmapOf(const pe::Image& image, uint16_t id) {
    std::vector<uint8_t> data;
    pe::Bitmap bitmap;
    std::string error;
    EXPECT_TRUE(pe::ReadResource(image, pe::kTypeBitmap, id, &data)) << "bitmap " << id;
    EXPECT_TRUE(pe::ParseBitmap(data, &bitmap, &error)) << "bitmap " << id << ": " << error;
    return bitmap;
}

TEST_P(ProgramFile, BitmapsHaveTheirSizesAndSixteenColours) {
    struct Case {
        uint16_t id;
        int width;
        int height;
    };
    const Case cases[] = {
        {116, 32, 32}, {117, 32, 32}, {118, 32, 32}, {103, 32, 32}, {119, 32, 32}, {120, 32, 32},
        {121, 32, 32}, {122, 32, 32}, {115, 225, 64}, {113, 154, 64}, {105, 32, 32}, {107, 16, 16},
        {108, 16, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const pe::Bitmap b = BitmapOf(image, c.id);
        EXPECT_EQ(b.width, c.width);
        EXPECT_EQ(b.height, c.height);
        EXPECT_EQ(b.bitCount, 4);
    }
}

constexpr uint32_t kPureBlue = 0x0000FF;
constexpr uint32_t kMagenta = 0xFF00FF;

// Angle of a set of pixels' centre around the frame's centre, clockwise from the top, in degrees.
double AngleOf(const pe::Bitmap& b, uint32_t colour, int* count) {
    double sx = 0, sy = 0;
    *count = 0;
    for (int y = 0; y < b.height; ++y) {
        for (int x = 0; x < b.width; ++x) {
            if (b.At(x, y) != colour) continue;
            sx += x + 0.5;
            sy += y + 0.5;
            ++*count;
        }
    }
    if (*count == 0) return -1;
    const double dx = sx / *count - b.width / 2.0;
    const double dy = sy / *count - b.height / 2.0;
    double degrees = std::atan2(dx, -dy) * 180.0 / M_PI;
    if (degrees < 0) degrees += 360;
    return degrees;
}

double AngleDistance(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return std::min(d, 360.0 - d);
}

TEST_P(ProgramFile, SpinnerFramesTurnABrightDotClockwiseFromTheTop) {
    const uint16_t frames[] = {116, 117, 118, 103, 119, 120, 121, 122};
    for (int frame = 0; frame < 8; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame) + ", bitmap " + std::to_string(frames[frame]));
        const pe::Bitmap b = BitmapOf(image, frames[frame]);
        ASSERT_EQ(b.width, 32);
        // The background, which the window never shows, is pure blue: the corners and most pixels.
        for (auto [x, y] : {std::pair{0, 0}, std::pair{31, 0}, std::pair{0, 31}, std::pair{31, 31}}) {
            EXPECT_EQ(b.At(x, y), kPureBlue);
        }
        int blue = 0;
        AngleOf(b, kPureBlue, &blue);
        EXPECT_GT(blue, 32 * 32 / 2);
        int bright = 0;
        const double brightAngle = AngleOf(b, kMagenta, &bright);
        EXPECT_GT(bright, 10);
        EXPECT_LT(AngleDistance(brightAngle, 45.0 * frame), 10.0) << brightAngle;
        // The trailing dot sits one position behind (counter-clockwise): a colour of its own that is
        // neither the background nor the bright dot.
        std::map<uint32_t, int> others;
        for (uint32_t p : b.pixels) {
            if (p != kPureBlue && p != kMagenta) others[p]++;
        }
        ASSERT_EQ(others.size(), 2u) << "resting dots and the trailing dot";
        uint32_t trailing = others.begin()->second < std::next(others.begin())->second ? others.begin()->first
                                                                                       : std::next(others.begin())->first;
        int trailingCount = 0;
        const double trailingAngle = AngleOf(b, trailing, &trailingCount);
        EXPECT_LT(AngleDistance(trailingAngle, 45.0 * ((frame + 7) % 8)), 10.0) << trailingAngle;
    }
}

TEST_P(ProgramFile, UnusedBitmapsShowWhatTheyAreDescribedAs) {
    auto red = [](uint32_t p) { return p >> 16; };
    auto green = [](uint32_t p) { return (p >> 8) & 0xFF; };
    auto blue = [](uint32_t p) { return p & 0xFF; };
    // A blue disc on red.
    const pe::Bitmap disc = BitmapOf(image, 105);
    for (auto [x, y] : {std::pair{0, 0}, std::pair{31, 31}}) {
        EXPECT_GT(red(disc.At(x, y)), 0x80u);
        EXPECT_EQ(green(disc.At(x, y)) + blue(disc.At(x, y)), 0u);
    }
    EXPECT_EQ(disc.At(16, 16), kPureBlue);
    auto hasPixel = [](const pe::Bitmap& b, auto predicate) {
        for (uint32_t p : b.pixels) {
            if (predicate(p)) return true;
        }
        return false;
    };
    const pe::Bitmap check = BitmapOf(image, 107);
    EXPECT_TRUE(hasPixel(check, [&](uint32_t p) { return green(p) >= 0x80 && red(p) < 0x40 && blue(p) < 0x40; }));
    const pe::Bitmap arrow = BitmapOf(image, 108);
    EXPECT_TRUE(hasPixel(arrow, [&](uint32_t p) {
        return blue(p) >= 0x40 && blue(p) <= 0xC0 && red(p) < 0x40 && green(p) < 0x40;
    }));
}

size_t FindText(const std::vector<uint8_t>& bytes, const std::string& text) {
    auto it = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    return it == bytes.end() ? std::string::npos : static_cast<size_t>(it - bytes.begin());
}

TEST_P(ProgramFile, MarkerLiesTerminatedInInitializedDataAndIsItsOwn) {
    const std::string marker = std::string(GetParam().marker) + '\0';
    const size_t at = FindText(image.bytes, marker);
    ASSERT_NE(at, std::string::npos) << "marker \"" << GetParam().marker << "\" with its terminator not found";
    const pe::Section* section = pe::SectionAtFileOffset(image, at);
    ASSERT_NE(section, nullptr) << "marker outside every section";
    EXPECT_NE(section->characteristics & pe::kSectionInitializedData, 0u) << section->name;
    EXPECT_EQ(section->characteristics & pe::kSectionCode, 0u) << section->name;
    EXPECT_LE(at + marker.size(), static_cast<uint64_t>(section->rawOffset) + section->rawSize);
    EXPECT_EQ(FindText(image.bytes, GetParam().otherMarker), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, ProgramFile, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program>& info) {
                             return std::string(info.param.productName == std::string("romshell") ? "romshell"
                                                                                                 : "romshell_phx");
                         });

// ---------------------------------------------------------------------------------------------
// The language resource libraries: ConRes<Code>.dll for Phoenix platforms and ConRes<Code>_ami.dll
// for AMI platforms. The program looks every text and both dialogs up in the one that matches the
// system's language, so each must answer every id the English table has, in a form the program's
// buffers and format calls take, and keep the controls the program addresses.

struct Library {
    const char* file;
    uint16_t language;     // the LANGUAGE of every resource in it
    const char* codePage;  // the language's Windows ANSI code page, as iconv names it
    uint8_t charset;       // of the dialogs' font
    bool ami;
    bool english;
};

constexpr uint8_t kAnsi = 0, kDefault = 1, kHangeul = 129, kGb2312 = 134, kBig5 = 136, kRussian = 204;

const Library kLibraries[] = {
    {"ConResEn.dll", 0x0409, "CP1252", kDefault, false, true},
    {"ConResEn_ami.dll", 0x0409, "CP1252", kDefault, true, true},
    {"ConResCht.dll", 0x0404, "CP950", kBig5, false, false},
    {"ConResCht_ami.dll", 0x0404, "CP950", kBig5, true, false},
    {"ConResChs.dll", 0x0804, "CP936", kGb2312, false, false},
    {"ConResChs_ami.dll", 0x0804, "CP936", kGb2312, true, false},
    {"ConResGr.dll", 0x0407, "CP1252", kAnsi, false, false},
    {"ConResGr_ami.dll", 0x0407, "CP1252", kAnsi, true, false},
    {"ConResSp.dll", 0x0C0A, "CP1252", kAnsi, false, false},
    {"ConResSp_ami.dll", 0x0C0A, "CP1252", kAnsi, true, false},
    {"ConResFr.dll", 0x040C, "CP1252", kAnsi, false, false},
    {"ConResFr_ami.dll", 0x040C, "CP1252", kAnsi, true, false},
    {"ConResKr.dll", 0x0412, "CP949", kHangeul, false, false},
    {"ConResKr_ami.dll", 0x0412, "CP949", kHangeul, true, false},
    {"ConResPo.dll", 0x0416, "CP1252", kAnsi, false, false},
    {"ConResPo_ami.dll", 0x0416, "CP1252", kAnsi, true, false},
    {"ConResRu.dll", 0x0419, "CP1251", kRussian, false, false},
    {"ConResRu_ami.dll", 0x0419, "CP1251", kRussian, true, false},
};

void PrintTo(const Library& library, std::ostream* os) { *os << library.file; }

// The confirmation (string 16) goes into a buffer of 512 characters, every other text into 256.
constexpr uint32_t kConfirmation = 16;
size_t BufferFor(uint32_t id) { return id == kConfirmation ? 512 : 256; }

// The printf conversions of a format, in order ("%%", "%s", "%ld"). A percent sign that begins no
// whole conversion is shown as written and yields "%" alone, so that a translation keeps it single
// whatever its language puts after it ("30%. " in English, "30%。" in Chinese).
std::vector<std::u16string> Conversions(const std::u16string& text) {
    std::vector<std::u16string> out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'%') continue;
        size_t j = i + 1;
        auto at = [&](std::u16string_view set) { return j < text.size() && set.find(text[j]) != set.npos; };
        if (at(u"%")) {
            ++j;
        } else {
            while (at(u"-+ #0")) ++j;
            while (at(u"0123456789*")) ++j;
            if (at(u".")) {
                ++j;
                while (at(u"0123456789*")) ++j;
            }
            while (at(u"hlLjzt")) ++j;
            if (at(u"diouxXcCsSpneEfgGaA")) {
                ++j;
            } else {
                j = i + 1;
            }
        }
        out.push_back(text.substr(i, j - i));
        i = j - 1;
    }
    return out;
}

// The text in a Windows code page, through iconv; false (with the reason) when the code page lacks
// one of its characters.
bool ToCodePage(const std::u16string& text, const char* codePage, std::string* out, std::string* error) {
    iconv_t cd = iconv_open(codePage, "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        *error = std::string("iconv knows no ") + codePage;
        return false;
    }
    std::string in;
    for (char16_t c : text) {
        in.push_back(static_cast<char>(c & 0xFF));
        in.push_back(static_cast<char>(c >> 8));
    }
    std::string buffer(in.size() * 2 + 16, '\0');
    char* inAt = in.data();
    size_t inLeft = in.size();
    char* outAt = buffer.data();
    size_t outLeft = buffer.size();
    const bool ok = iconv(cd, &inAt, &inLeft, &outAt, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(cd);
    if (!ok) {
        *error = std::string(codePage) + " lacks the character at " + std::to_string((in.size() - inLeft) / 2);
        return false;
    }
    out->assign(buffer.data(), buffer.size() - outLeft);
    return true;
}

std::map<uint32_t, std::u16string> StringsOf(const pe::Image& image) {
    std::vector<pe::StringEntry> strings;
    std::string error;
    EXPECT_TRUE(pe::ReadStringTable(image, &strings, &error)) << error;
    std::map<uint32_t, std::u16string> out;
    for (const auto& s : strings) out[s.id] = s.text;
    return out;
}

class LanguageLibrary : public ::testing::TestWithParam<Library> {
protected:
    void SetUp() override {
        if (!Load(GetParam().file, &image)) {
            GTEST_SKIP() << ROMSHELL_WINDOWS_LANG << "/" << GetParam().file
                         << " has not been built (cmake --preset win32 && cmake --build build/win32); "
                         << "set ROMSHELL_WINDOWS_LANG to test another build";
        }
        english = ReadStringSource(ROMSHELL_STRINGS);
        ASSERT_EQ(english.size(), 54u) << "ids 1 to 55 without 6 in " << ROMSHELL_STRINGS;
    }
public:
    // False when the library has not been built.
    static bool Load(const std::string& file, pe::Image* into) {
        const std::string path = std::string(ROMSHELL_WINDOWS_LANG) + "/" + file;
        if (!std::filesystem::exists(path)) return false;
        std::string error;
        EXPECT_TRUE(pe::LoadImage(path, into, &error)) << path << ": " << error;
        return true;
    }

protected:
    pe::Image image;
    std::map<uint32_t, std::u16string> english;
};

TEST_P(LanguageLibrary, IsAResourceOnlyLibraryWithoutCodeEntryOrImports) {
    EXPECT_EQ(image.machine, pe::kMachineI386);
    EXPECT_FALSE(image.pe32Plus);
    EXPECT_NE(image.characteristics & pe::kCharacteristicDll, 0);
    for (const pe::Section& section : image.sections) {
        constexpr uint32_t kExecutable = 0x20000000;
        EXPECT_EQ(section.characteristics & (pe::kSectionCode | kExecutable), 0u) << section.name;
    }
    // The optional header, read from the file: code size, entry point, export and import tables.
    const size_t optional = Le32(image.bytes, 0x3C) + 4 + 20;
    ASSERT_LT(optional + 112, image.bytes.size());
    EXPECT_EQ(Le32(image.bytes, optional + 4), 0u) << "SizeOfCode";
    EXPECT_EQ(Le32(image.bytes, optional + 16), 0u) << "AddressOfEntryPoint";
    EXPECT_EQ(Le32(image.bytes, optional + 96 + 4), 0u) << "export table";
    EXPECT_EQ(Le32(image.bytes, optional + 104 + 4), 0u) << "import table";
    ASSERT_FALSE(image.resources.empty());
    for (const pe::Resource& resource : image.resources) {
        EXPECT_EQ(resource.language, GetParam().language) << "resource type " << resource.type.number << " id "
                                                          << resource.name.number;
    }
}

TEST_P(LanguageLibrary, TranslatesEveryEnglishStringKeepingConversionsAndLineBreaks) {
    const std::map<uint32_t, std::u16string> got = StringsOf(image);
    for (const auto& [id, text] : got) EXPECT_EQ(english.count(id), 1u) << "unexpected string " << id;
    for (const auto& [id, text] : english) {
        if (got.count(id) == 0) {
            ADD_FAILURE() << "string " << id << " missing";
            continue;
        }
        const std::u16string& translated = got.at(id);
        SCOPED_TRACE("string " + std::to_string(id) + ": " + pe::ToUtf8(translated));
        EXPECT_EQ(Conversions(translated), Conversions(text));
        for (char16_t lineBreak : {u'\n', u'\r'}) {
            EXPECT_EQ(std::count(translated.begin(), translated.end(), lineBreak),
                      std::count(text.begin(), text.end(), lineBreak))
                << "line breaks " << static_cast<int>(lineBreak);
        }
        // The English libraries are the program's own table; the others say each text their own way.
        const bool differs = GetParam().english && GetParam().ami && id == kConfirmation;
        if (GetParam().english) {
            EXPECT_EQ(translated == text, !differs) << Printable(translated);
        } else {
            EXPECT_NE(translated, text) << "left in English";
        }
    }
}

// The two sets of a language differ in the confirmation alone: on AMI platforms it promises no MICOM
// update, because the AMI path runs no MICOM tool.
TEST(LanguageLibraries, AmiSetDiffersOnlyInTheConfirmationWhichPromisesNoMicomUpdate) {
    int pairs = 0;
    for (const Library& library : kLibraries) {
        if (!library.ami) continue;
        const std::string amiFile = library.file;
        const std::string phoenixFile = amiFile.substr(0, amiFile.find('_')) + ".dll";
        SCOPED_TRACE(phoenixFile + " and " + amiFile);
        pe::Image phoenix, ami;
        if (!LanguageLibrary::Load(phoenixFile, &phoenix) || !LanguageLibrary::Load(amiFile, &ami)) continue;
        ++pairs;
        const auto phoenixTexts = StringsOf(phoenix);
        const auto amiTexts = StringsOf(ami);
        ASSERT_EQ(phoenixTexts.size(), amiTexts.size());
        for (const auto& [id, text] : phoenixTexts) {
            if (id != kConfirmation) {
                EXPECT_EQ(amiTexts.at(id), text) << "string " << id;
            }
        }
        EXPECT_NE(phoenixTexts.at(kConfirmation).find(u"MICOM"), std::u16string::npos);
        EXPECT_EQ(amiTexts.at(kConfirmation).find(u"MICOM"), std::u16string::npos);
    }
    if (pairs == 0) GTEST_SKIP() << "no language library in " << ROMSHELL_WINDOWS_LANG;
}

TEST_P(LanguageLibrary, EveryTextFitsTheProgramsBufferInTheLanguagesCodePage) {
    for (const auto& [id, text] : StringsOf(image)) {
        SCOPED_TRACE("string " + std::to_string(id) + ": " + pe::ToUtf8(text));
        std::string bytes, error;
        ASSERT_TRUE(ToCodePage(text, GetParam().codePage, &bytes, &error)) << error;
        EXPECT_LT(bytes.size(), BufferFor(id)) << GetParam().codePage << " bytes, with the terminator beyond";
    }
}

// The program's dialog next to the library's: the same controls in the same order, each with the
// program's id, class, styles and image reference; only places, sizes and texts change.
void ExpectProgramControls(const pe::DialogTemplate& library, const pe::DialogTemplate& program) {
    EXPECT_EQ(library.extended, program.extended);
    EXPECT_EQ(library.style, program.style) << std::hex << library.style;
    EXPECT_EQ(library.exStyle, program.exStyle);
    EXPECT_EQ(library.title.empty(), program.title.empty());
    ASSERT_EQ(library.controls.size(), program.controls.size());
    for (size_t i = 0; i < program.controls.size(); ++i) {
        const pe::DialogControl& got = library.controls[i];
        const pe::DialogControl& want = program.controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + ", id " + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(pe::ClassName(got.windowClass), pe::ClassName(want.windowClass));
        EXPECT_EQ(got.style, want.style) << std::hex << got.style;
        EXPECT_EQ(got.exStyle, want.exStyle);
        EXPECT_EQ(got.text.isNumber, want.text.isNumber);
        if (want.text.isNumber) {
            EXPECT_EQ(got.text.number, want.text.number) << "image";
        } else {
            EXPECT_EQ(got.text.text.empty(), want.text.text.empty()) << pe::ToUtf8(got.text.text);
        }
        EXPECT_LE(got.x + got.cx, library.cx) << "beyond the right edge";
        EXPECT_LE(got.y + got.cy, library.cy) << "beyond the bottom edge";
        EXPECT_GE(got.cx * got.cy, want.cx * want.cy) << "less room than the English control";
    }
}

TEST_P(LanguageLibrary, DialogsKeepTheProgramsControlsInAFontOfTheScript) {
    const std::string programPath = std::string(ROMSHELL_WINDOWS_BIN) + "/romshell.exe";
    pe::Image program;
    std::string error;
    if (!std::filesystem::exists(programPath)) GTEST_SKIP() << programPath << " has not been built";
    ASSERT_TRUE(pe::LoadImage(programPath, &program, &error)) << error;
    for (uint16_t id : {116, 117}) {
        SCOPED_TRACE("dialog " + std::to_string(id));
        std::vector<uint8_t> libraryData, programData;
        ASSERT_TRUE(pe::ReadResource(image, pe::kTypeDialog, id, &libraryData, GetParam().language));
        ASSERT_TRUE(pe::ReadResource(program, pe::kTypeDialog, id, &programData, kEnglishUs));
        pe::DialogTemplate library, own;
        ASSERT_TRUE(pe::ParseDialog(libraryData, &library, &error)) << error;
        ASSERT_TRUE(pe::ParseDialog(programData, &own, &error)) << error;
        ExpectProgramControls(library, own);
        EXPECT_TRUE(library.hasFont);
        EXPECT_FALSE(library.typeface.empty());
        EXPECT_EQ(library.charset, GetParam().charset);
        if (GetParam().english) {
            EXPECT_EQ(library.typeface, own.typeface);
            EXPECT_EQ(library.pointSize, own.pointSize);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLanguageAndSet, LanguageLibrary, ::testing::ValuesIn(kLibraries),
                         [](const ::testing::TestParamInfo<Library>& info) {
                             std::string name = info.param.file;
                             name.resize(name.find('.'));
                             return name;
                         });

}  // namespace
