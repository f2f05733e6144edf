// romshell-pack: building packages, reading them back, and the refusals.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pack.h"
#include "pe/pe_resources.h"
#include "emu/wine-driver/bench_marker.h"
#include "tests/pack/pack_test_support.h"
#include "tests/windows/pe_builder.h"

namespace {

using namespace packtest;

std::string Noise(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    for (char& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

uint32_t Crc(const std::string& data) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// One entry of a built package, read straight from the bytes.
struct RawEntry {
    std::string name;
    std::string data;
};

std::vector<RawEntry> RawEntries(const std::string& file, uint32_t* options = nullptr) {
    uint32_t offset = U32At(file, 40);
    EXPECT_EQ(file.substr(offset, 4), "LPCK");
    if (options) *options = U32At(file, offset + 4);
    uint32_t count = U32At(file, offset + 8);
    std::vector<RawEntry> entries;
    size_t at = offset + 12;
    for (uint32_t i = 0; i < count; ++i) {
        std::string name = file.substr(at, 260);
        name.resize(name.find('\0'));
        uint32_t size = U32At(file, at + 260);
        entries.push_back({name, file.substr(at + 264, size)});
        at += 264 + size;
    }
    EXPECT_EQ(at, file.size()) << "the package runs to the end of the file";
    return entries;
}

class PackTest : public TempFolderTest {
  public:
    void SetUp() override {
        TempFolderTest::SetUp();
        WriteBytes(Path("romshell.exe"), Program());
    }
    // A payload folder with the given files.
    void Payload(const std::vector<std::pair<std::string, std::string>>& files, const std::string& folder = "payload") {
        fs::create_directories(Path(folder));
        for (const auto& [name, data] : files) WriteBytes(Path(folder) / name, data);
    }
    pack::BuildRequest Request(uint32_t options = 8) {
        return {PathText("romshell.exe"), PathText("payload"), options, PathText("out.exe")};
    }
    // Builds and expects success.
    std::string Build(uint32_t options = 8) {
        pack::Problems problems;
        EXPECT_TRUE(pack::BuildPackage(Request(options), &problems));
        for (const auto& p : problems) ADD_FAILURE() << p;
        return ReadBytes(Path("out.exe"));
    }
    // Builds and expects exactly one problem, returned; nothing may be left behind.
    std::string Refusal(const pack::BuildRequest& request) {
        pack::Problems problems;
        EXPECT_FALSE(pack::BuildPackage(request, &problems));
        EXPECT_FALSE(fs::exists(request.output)) << "a refused build leaves no output";
        EXPECT_FALSE(fs::exists(request.output + ".partial"));
        EXPECT_EQ(problems.size(), 1u);
        return problems.empty() ? "" : problems[0];
    }
};

// ---------------------------------------------------------------------------------------------
// build

TEST_F(PackTest, BuildAppendsThePackageBehindTheProgramAndWritesItsOffset) {
    Payload({{"AddMem.sys", "driver"}, {"RSAB0101.WPH", Noise(70000, 1)}});
    std::string out = Build(0x48);
    std::string program = Program();
    EXPECT_EQ(U32At(out, 40), program.size());
    std::string head = out.substr(0, program.size());
    head.replace(40, 4, std::string(4, '\0'));
    EXPECT_EQ(head, program) << "the program's bytes stay as they were, but for the offset";
    uint32_t options = 0;
    auto entries = RawEntries(out, &options);
    EXPECT_EQ(options, 0x48u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "AddMem.sys.gz");
    EXPECT_EQ(entries[1].name, "RSAB0101.WPH.gz");
}

TEST_F(PackTest, EachEntryIsOneGzipMemberWithTheFixedHeader) {
    Payload({{"a.bin", Noise(5000, 2)}, {"empty.bin", ""}, {"b.txt", std::string(100000, 'b')}});
    for (const RawEntry& e : RawEntries(Build())) {
        SCOPED_TRACE(e.name);
        ASSERT_GE(e.data.size(), 18u);
        EXPECT_EQ(static_cast<unsigned char>(e.data[0]), 0x1F);
        EXPECT_EQ(static_cast<unsigned char>(e.data[1]), 0x8B);
        EXPECT_EQ(e.data[2], 8) << "deflate";
        EXPECT_EQ(e.data[3], 0) << "flags: no name, comment, extra or header CRC";
        EXPECT_EQ(U32At(e.data, 4), 0u) << "modification time";
        EXPECT_EQ(e.data[8], 2) << "best compression";
        EXPECT_EQ(e.data[9], 11) << "operating system";
    }
}

TEST_F(PackTest, EntriesAreOrderedByNameWithoutRegardToCase) {
    Payload({{"WinUpV01_10.exe", "w"}, {"PhlashLc_32.dll", "l"}, {"PHLASH_32.INI", "i"}, {"addmem.sys", "a"},
             {"AFUWIN.exe", "f"}, {"ConResEn_ami.dll", "e2"}, {"ConResEn.dll", "e1"}, {"b", "b"}});
    std::vector<std::string> names;
    for (const RawEntry& e : RawEntries(Build())) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"addmem.sys.gz", "AFUWIN.exe.gz", "b.gz", "ConResEn.dll.gz",
                                               "ConResEn_ami.dll.gz", "PHLASH_32.INI.gz", "PhlashLc_32.dll.gz",
                                               "WinUpV01_10.exe.gz"}));
}

TEST_F(PackTest, SameInputsGiveTheSameBytes) {
    Payload({{"a.bin", Noise(300000, 3)}, {"b.bin", "bee"}});
    std::string first = Build();
    // A later modification time and another folder order must not show.
    fs::last_write_time(Path("payload/a.bin"), fs::last_write_time(Path("payload/a.bin")) + std::chrono::hours(5));
    fs::remove(Path("out.exe"));
    EXPECT_EQ(Build(), first);
}

TEST_F(PackTest, BuildReplacesAnEarlierOutput) {
    Payload({{"a.bin", "a"}});
    WriteBytes(Path("out.exe"), std::string(100000, 'x'));
    std::string out = Build();
    EXPECT_EQ(RawEntries(out).size(), 1u);
}

TEST_F(PackTest, BuildRefusals) {
    struct Case {
        const char* what;
        std::function<void(PackTest*)> prepare;
        std::string expected;  // the problem line, with @ for the test's folder
    };
    std::vector<Case> cases = {
        {"program shorter than 64 bytes",
         [](PackTest* t) { WriteBytes(t->Path("romshell.exe"), std::string(63, 'M')); },
         "@/romshell.exe: too short for a program file (63 bytes; at least 64)"},
        {"program carrying a package",
         [](PackTest* t) {
             std::string p = Program();
             p.replace(40, 4, std::string("\x00\x0C\x00\x00", 4));  // 3072
             p.replace(3072, 4, "LPCK");
             WriteBytes(t->Path("romshell.exe"), p);
         },
         "@/romshell.exe: already carries a package (at offset 3072); pack the program file as built"},
        {"program with something at byte 40",
         [](PackTest* t) {
             std::string p = Program();
             p[41] = 1;
             WriteBytes(t->Path("romshell.exe"), p);
         },
         "@/romshell.exe: bytes 40-43 are not zero (0x00000100); the package offset cannot be written there"},
        {"program missing", [](PackTest* t) { fs::remove(t->Path("romshell.exe")); },
         "@/romshell.exe: cannot be opened"},
        {"payload folder missing", [](PackTest* t) { fs::remove_all(t->Path("payload")); }, "@/payload: not a folder"},
        {"payload folder empty", [](PackTest* t) { fs::remove(t->Path("payload/ok.bin")); },
         "@/payload: holds no files"},
        {"device name", [](PackTest* t) { t->Payload({{"CON", "x"}}); }, "@/payload/CON: name is a Windows device name"},
        {"device name with extension", [](PackTest* t) { t->Payload({{"nul.txt", "x"}}); },
         "@/payload/nul.txt: name is a Windows device name"},
        {"colon", [](PackTest* t) { t->Payload({{"a:b", "x"}}); }, "@/payload/a:b: name holds a drive or a colon"},
        {"backslash", [](PackTest* t) { t->Payload({{"a\\b", "x"}}); },
         "@/payload/a\\b: name holds a folder separator"},
        {"wildcard", [](PackTest* t) { t->Payload({{"a*b", "x"}}); },
         "@/payload/a*b: name holds a character Windows refuses in file names"},
        {"control character", [](PackTest* t) { t->Payload({{"a\tb", "x"}}); },
         "@/payload/a\tb: name holds a character Windows refuses in file names"},
        {"not ASCII", [](PackTest* t) { t->Payload({{"caf\xC3\xA9.dll", "x"}}); },
         "@/payload/caf\xC3\xA9.dll: name is not plain ASCII"},
        {"names that differ in case only", [](PackTest* t) { t->Payload({{"AddMem.sys", "1"}, {"addmem.SYS", "2"}}); },
         "@/payload: \"AddMem.sys\" and \"addmem.SYS\" differ only in case; Windows keeps one of them"},
        {"folder inside", [](PackTest* t) { fs::create_directories(t->Path("payload/sub")); },
         "@/payload/sub: not a file; the package holds files only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Path("payload"));
        fs::remove(Path("out.exe"));
        WriteBytes(Path("romshell.exe"), Program());
        Payload({{"ok.bin", "ok"}});
        c.prepare(this);
        std::string expected = c.expected;
        for (size_t at; (at = expected.find('@')) != std::string::npos;) expected.replace(at, 1, dir_.string());
        EXPECT_EQ(Refusal(Request()), expected);
    }
}

// File systems hold names of at most 255 characters, so the limit of the name field is shown on
// the name check alone.
TEST(PackNames, StoredNameFitsTheFieldWithItsTerminator) {
    std::string reason;
    EXPECT_EQ(pack::StoredName(std::string(256, 'n'), &reason), std::string(256, 'n') + ".gz");
    EXPECT_EQ(pack::StoredName(std::string(257, 'n'), &reason), "");
    EXPECT_EQ(reason, "name too long (260 characters with \".gz\"; at most 259)");
}

TEST_F(PackTest, EntryTooBigForTheSizeFieldIsRefused) {
    Payload({{"big.bin", Noise(5000, 4)}, {"small.bin", "s"}});
    pack::BuildRequest request = Request();
    request.maxEntrySize = 4096;
    EXPECT_EQ(Refusal(request), PathText("payload/big.bin") +
                                    ": too big for the package's 32-bit size field (more than 4096 bytes compressed)");
}

// ---------------------------------------------------------------------------------------------
// Options

TEST(PackOptions, ParsesNumbersAndFlagNames) {
    struct Case {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"8", 8},
        {"0", 0},
        {"0x48", 0x48},
        {"0X1000", 0x1000},
        {"4294967295", 0xFFFFFFFF},
        {"0xFFFFFFFF", 0xFFFFFFFF},
        {"MarkLastFlashBlock", 0x8},
        {"MarkLastFlashBlock,ClearCmosOnUpdate", 0x48},
        {"marklastflashblock", 0x8},
        {" DmiOnly , 8 ", 0x1008},
        {"NoPowerCycle,LongModelId", 0xC0000},
        {"0x80", 0x80},
    };
    for (const Case& c : cases) {
        uint32_t value = 0x12345;
        std::string error;
        EXPECT_TRUE(pack::ParseOptions(c.text, &value, &error)) << c.text << ": " << error;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(PackOptions, RefusesWhatIsNeitherNumberNorName) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "no value given"},
        {"4294967296", "\"4294967296\" does not fit 32 bits"},
        {"0x100000000", "\"0x100000000\" does not fit 32 bits"},
        {"99999999999999999999999", "\"99999999999999999999999\" does not fit 32 bits"},
        {"Bogus", "\"Bogus\" is neither a number nor a flag name"},
        {"-1", "\"-1\" is neither a number nor a flag name"},
        {"0x", "\"0x\" is neither a number nor a flag name"},
        {"8,,DmiOnly", "empty item in \"8,,DmiOnly\""},
        {"MarkLastFlashBlock|DmiOnly", "\"MarkLastFlashBlock|DmiOnly\" is neither a number nor a flag name"},
    };
    for (const Case& c : cases) {
        uint32_t value = 7;
        std::string error;
        EXPECT_FALSE(pack::ParseOptions(c.text, &value, &error)) << c.text;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(value, 7u) << "a refused value leaves the options alone";
    }
}

TEST(PackOptions, NamesTheBitsInBitOrder) {
    EXPECT_EQ(pack::OptionNames(0), "");
    EXPECT_EQ(pack::OptionNames(8), "MarkLastFlashBlock");
    EXPECT_EQ(pack::OptionNames(0x1048), "MarkLastFlashBlock,ClearCmosOnUpdate,DmiOnly");
    EXPECT_EQ(pack::OptionNames(0x80000088), "MarkLastFlashBlock,0x80000080");
}

// ---------------------------------------------------------------------------------------------
// list and its checks

TEST_F(PackTest, ReadingBackGivesSizesAndCrcsOfTheFiles) {
    std::string image = Noise(123457, 5);
    Payload({{"RSAB0101.WPH", image}, {"AddMem.sys", "driver"}, {"empty.bin", ""}});
    Build(0x48);
    pack::PackageInfo info;
    pack::Problems problems;
    ASSERT_TRUE(pack::ReadPackage(PathText("out.exe"), &info, &problems));
    pack::CheckMembers(PathText("out.exe"), &info, &problems);
    EXPECT_TRUE(problems.empty()) << problems[0];
    EXPECT_EQ(info.offset, 4096u);
    EXPECT_EQ(info.defaultOptions, 0x48u);
    EXPECT_EQ(info.variant, "romshell");
    ASSERT_EQ(info.entries.size(), 3u);
    EXPECT_EQ(info.entries[0].name, "AddMem.sys.gz");
    EXPECT_EQ(info.entries[0].unpackedSize, 6u);
    EXPECT_EQ(info.entries[0].crc, Crc("driver"));
    EXPECT_EQ(info.entries[1].unpackedSize, 0u);
    EXPECT_EQ(info.entries[1].crc, 0u);
    EXPECT_EQ(info.entries[2].unpackedSize, image.size());
    EXPECT_EQ(info.entries[2].crc, Crc(image));
    EXPECT_TRUE(info.entries[2].checked);
}

TEST_F(PackTest, ListingShowsOffsetOptionsAndAnAlignedTable) {
    Payload({{"RSAB0101.WPH", Noise(50000, 6)}, {"a.sys", "a"}});
    Build(0x48);
    pack::PackageInfo info;
    pack::Problems problems;
    ASSERT_TRUE(pack::ReadPackage(PathText("out.exe"), &info, &problems));
    pack::CheckMembers(PathText("out.exe"), &info, &problems);
    std::string listing = pack::FormatListing("out.exe", info);
    EXPECT_NE(listing.find("  package offset   0x00001000 (4096)\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  default options  0x00000048 MarkLastFlashBlock,ClearCmosOnUpdate\n"), std::string::npos);
    EXPECT_NE(listing.find("  entries          2\n"), std::string::npos);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Crc("a"));
    // Columns end where their headings end: the names left-aligned, the numbers right-aligned.
    std::istringstream lines(listing.substr(listing.find("  name")));
    std::string heading, first, second;
    std::getline(lines, heading);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(heading.size(), first.size());
    EXPECT_EQ(heading.size(), second.size());
    EXPECT_EQ(first.substr(0, 9), "  a.sys.g");
    EXPECT_EQ(first.substr(first.size() - 8), crc);
    size_t unpackedEnd = heading.find("unpacked") + 7;
    EXPECT_EQ(first[unpackedEnd], '1');
    EXPECT_EQ(first[unpackedEnd + 1], ' ');
}

// ---------------------------------------------------------------------------------------------
// verify

// A language library of the win32 build, or "" when it has not made it.
std::string BuiltLibrary(const std::string& name) {
    std::error_code ec;
    const fs::path path = fs::path(ROMSHELL_WINDOWS_LANG) / name;
    return fs::is_regular_file(path, ec) ? ReadBytes(path) : std::string();
}
bool HaveBuiltLibraries() { return !BuiltLibrary("ConResEn.dll").empty() && !BuiltLibrary("ConResEn_ami.dll").empty(); }
#define REQUIRE_BUILT_LIBRARIES() \
    if (!HaveBuiltLibraries()) GTEST_SKIP() << "the win32 build has not made the language libraries"

bool HasEnding(const std::string& name, const std::string& ending) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.size() >= ending.size() && lower.compare(lower.size() - ending.size(), ending.size(), ending) == 0;
}

enum Machine : uint16_t { kAnyMachine = 0, kI386 = 0x014C, kX64 = 0x8664 };

// A small PE file of the kind a name's ending says (".sys" a native driver, ".dll" a library, else
// a windowed program), for x64 when the name says 64, else i386, unless machine says otherwise.
std::string WindowsFile(const std::string& name, uint16_t machine = kAnyMachine, const std::string& data = "") {
    pe_test::PeOptions o;
    o.machine = machine != kAnyMachine ? machine : name.find("64") != std::string::npos ? kX64 : kI386;
    o.pe32Plus = o.machine == kX64;
    o.subsystem = HasEnding(name, ".sys") ? 1 : 2;
    const std::string text = data.empty() ? "stand-in for " + name : data;
    o.data.assign(text.begin(), text.end());
    o.data.push_back(0);
    std::vector<uint8_t> bytes = pe_test::BuildPe(o).bytes;
    if (HasEnding(name, ".dll")) bytes[0x40 + 23] |= 0x20;  // IMAGE_FILE_DLL
    return std::string(bytes.begin(), bytes.end());
}

// A payload with every file a variant needs: the built language libraries, Windows files of the
// right kind for the programs and drivers, text stand-ins for the rest.
std::vector<std::pair<std::string, std::string>> FullPayload(const std::string& variant) {
    std::vector<std::pair<std::string, std::string>> files = {{"RSAB0101.WPH", Noise(9000, 7)}};
    for (std::string name : pack::RequiredEntries(variant)) {
        name.resize(name.size() - 3);
        const bool library = name.rfind("ConRes", 0) == 0;
        const bool windows = HasEnding(name, ".exe") || HasEnding(name, ".dll") || HasEnding(name, ".sys");
        files.push_back({name, library ? BuiltLibrary(name) : windows ? WindowsFile(name) : "stand-in for " + name});
    }
    return files;
}

TEST_F(PackTest, RequiredEntriesPerVariant) {
    EXPECT_EQ(pack::RequiredEntries("romshell").size(), 33u);
    EXPECT_EQ(pack::RequiredEntries("romshell-phx").size(), 19u);
}

TEST_F(PackTest, VerifyPassesAFullPackageOfEachVariant) {
    REQUIRE_BUILT_LIBRARIES();
    for (const char* variant : {"romshell", "romshell-phx"}) {
        SCOPED_TRACE(variant);
        fs::remove_all(Path("payload"));
        WriteBytes(Path("romshell.exe"),
                   Program(std::string("UnPaCkErSiG@Version ") + (variant == std::string("romshell") ? "2.02" : "1.50")));
        Payload(FullPayload(variant));
        Build();
        pack::Problems problems;
        std::string summary;
        EXPECT_TRUE(pack::VerifyPackage(PathText("out.exe"), std::nullopt, &problems, &summary));
        EXPECT_TRUE(problems.empty()) << problems[0];
        EXPECT_EQ(summary, PathText("out.exe") + ": " + variant + " package, " +
                               std::to_string(pack::RequiredEntries(variant).size() + 1) +
                               " entries, default options 0x00000008 (MarkLastFlashBlock), not signed");
    }
}

// Verifies and returns the problem lines without the file's name in front.
std::vector<std::string> VerifyProblems(const std::string& file, std::optional<std::string> variant = std::nullopt) {
    pack::Problems problems;
    std::string summary;
    bool good = pack::VerifyPackage(file, variant, &problems, &summary);
    EXPECT_EQ(good, problems.empty());
    for (std::string& p : problems) {
        if (p.rfind(file + ": ", 0) == 0) p = p.substr(file.size() + 2);
    }
    return problems;
}

TEST_F(PackTest, VerifyNamesEveryMissingEntry) {
    REQUIRE_BUILT_LIBRARIES();
    Payload(FullPayload("romshell-phx"));
    Build();
    std::vector<std::string> problems = VerifyProblems(PathText("out.exe"), "romshell");
    std::vector<std::string> expected;
    for (const char* code : {"Chs", "Cht", "En", "Fr", "Gr", "Kr", "Po", "Ru", "Sp"}) {
        expected.push_back(std::string("missing entry \"ConRes") + code + "_ami.dll.gz\" (needed by romshell)");
    }
    for (const char* tool : {"AFUWIN.exe", "afuwinx64.exe", "amifldrv.vxd", "amifldrv32.sys", "amifldrv64.sys"}) {
        expected.push_back(std::string("missing entry \"") + tool + ".gz\" (needed by romshell)");
    }
    EXPECT_EQ(problems, expected);
}

TEST_F(PackTest, VerifyTakesTheVariantFromTheMarker) {
    REQUIRE_BUILT_LIBRARIES();
    Payload(FullPayload("romshell-phx"));
    Build();  // the program carries the romshell marker
    EXPECT_EQ(VerifyProblems(PathText("out.exe")).size(), 14u);
    EXPECT_TRUE(VerifyProblems(PathText("out.exe"), "romshell-phx").empty());
}

TEST_F(PackTest, VerifyWithoutMarkerOrVariantAsksForTheVariant) {
    REQUIRE_BUILT_LIBRARIES();
    WriteBytes(Path("romshell.exe"), Program(""));
    Payload(FullPayload("romshell"));
    Build();
    EXPECT_EQ(VerifyProblems(PathText("out.exe")),
              (std::vector<std::string>{"carries no unpacker marker; name the variant with --variant"}));
    EXPECT_TRUE(VerifyProblems(PathText("out.exe"), "romshell").empty());
}

// Every program, library and driver must be the Windows file its name says; the bench's ADDMEM
// driver, recognised by the words it carries, is never released. A package for the tests reports
// both as warnings.
TEST_F(PackTest, VerifyRefusesStandInsWrongKindsAndProcessorsAndTheBenchsDriver) {
    const std::string bench = WindowsFile("AddMem.sys", kI386, "...." ROMSHELL_BENCH_DRIVER_MARKER "....");
    const struct {
        const char* name;
        std::string data;
        bool forTests;
        const char* problem;  // "" for none
    } rows[] = {
        {"AddMem.sys", WindowsFile("AddMem.sys"), false, ""},
        {"AddMem64.sys", WindowsFile("AddMem64.sys"), false, ""},
        {"AddMem.sys", "the hardware's access driver, as a line of text", false, "AddMem.sys: not a Windows file (no MZ header)"},
        {"AddMem.sys", bench, false, "AddMem.sys is the test bench's driver (it forwards to notebook-emu): never release this package"},
        {"AddMem64.sys", WindowsFile("AddMem64.sys", kX64, "...." ROMSHELL_BENCH_DRIVER_MARKER "...."), false,
         "AddMem64.sys is the test bench's driver (it forwards to notebook-emu): never release this package"},
        {"AddMem.sys", WindowsFile("AddMem.sys", kX64), false, "AddMem.sys: is a driver for x64; its name says a driver for i386"},
        {"AddMem64.sys", WindowsFile("AddMem64.sys", kI386), false, "AddMem64.sys: is a driver for i386; its name says a driver for x64"},
        {"AddMem.sys", WindowsFile("AddMem.exe"), false, "AddMem.sys: is a program for i386; its name says a driver for i386"},
        {"SWinFlash_64.exe", WindowsFile("SWinFlash_64.exe", kI386), false,
         "SWinFlash_64.exe: is a program for i386; its name says a program for x64"},
        {"afuwinx64.exe", WindowsFile("afuwinx64.exe", kI386), false,
         "afuwinx64.exe: is a program for i386; its name says a program for x64"},
        {"PhlashLc_32.dll", WindowsFile("PhlashLc_32.exe"), false,
         "PhlashLc_32.dll: is a program for i386; its name says a library for i386"},
        {"WinUpV01_10.exe", WindowsFile("WinUpV01_10.dll"), false,
         "WinUpV01_10.exe: is a library for i386; its name says a program for i386"},
        {"devcon.exe", WindowsFile("devcon.exe", kX64), false, ""},
        {"devcon.exe", "stand-in", false, "devcon.exe: not a Windows file (no MZ header)"},
        {"PHLASH_32.INI", "[Settings]", false, ""},
        {"AddMem.sys", bench, true, ""},
        {"SWinFlash_64.exe", "stand-in", true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + (row.forTests ? " for tests: " : ": ") + row.problem);
        fs::remove_all(Path("payload"));
        fs::remove(Path("out.exe"));
        Payload({{"RSAB0101.WPH", "1"}, {row.name, row.data}});
        Build();
        pack::Problems problems, warnings;
        std::string summary;
        pack::VerifyPackage(PathText("out.exe"), "romshell-phx", &problems, &summary, &warnings, row.forTests);
        std::vector<std::string> found;
        for (const std::string& p : problems) {
            if (p.find("missing entry") == std::string::npos) found.push_back(p.substr(PathText("out.exe").size() + 2));
        }
        EXPECT_EQ(found, row.problem[0] == '\0' ? std::vector<std::string>{} : std::vector<std::string>{row.problem});
        EXPECT_EQ(warnings.size(), row.forTests ? 1u : 0u);
    }
}

TEST_F(PackTest, VerifyWantsExactlyOneImage) {
    REQUIRE_BUILT_LIBRARIES();
    auto files = FullPayload("romshell-phx");
    files.erase(files.begin());
    Payload(files);
    Build();
    EXPECT_EQ(VerifyProblems(PathText("out.exe"), "romshell-phx"),
              (std::vector<std::string>{"0 BIOS images (\"*.wph\"); exactly one is needed"}));
    Payload({{"RSAB0101.WPH", "1"}, {"rscd0101.wph", "2"}});
    fs::remove(Path("out.exe"));
    Build();
    EXPECT_EQ(VerifyProblems(PathText("out.exe"), "romshell-phx"),
              (std::vector<std::string>{"2 BIOS images (\"*.wph\"): RSAB0101.WPH.gz, rscd0101.wph.gz; exactly one is needed"}));
}

// Rewrites bytes of a built package to make one fault.
struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    std::vector<std::string> problems;
};

TEST_F(PackTest, VerifyReportsEachDamage) {
    REQUIRE_BUILT_LIBRARIES();
    Payload(FullPayload("romshell-phx"));
    std::string good = Build();
    uint32_t offset = 4096;
    size_t first = offset + 12;  // AddMem.sys.gz
    uint32_t firstSize = U32At(good, first + 260);
    size_t second = first + 264 + firstSize;
    auto setName = [](std::string& f, size_t at, const std::string& name) {
        f.replace(at, 260, std::string(260, '\0'));
        f.replace(at, std::min<size_t>(name.size(), 260), name.substr(0, 260));
    };
    std::vector<Damage> damages = {
        {"name without .gz", [&](std::string& f) { setName(f, first, "AddMem.sys"); },
         {"entry 1 \"AddMem.sys\": name does not end in \".gz\"",
          "missing entry \"AddMem.sys.gz\" (needed by romshell-phx)"}},
        {"name with a folder", [&](std::string& f) { setName(f, first, "..\\AddMem.sys.gz"); },
         {"entry 1 \"..\\AddMem.sys.gz\": name holds a folder separator",
          "missing entry \"AddMem.sys.gz\" (needed by romshell-phx)"}},
        {"name not terminated", [&](std::string& f) { setName(f, first, std::string(260, 'A')); },
         {"entry 1 \"" + std::string(260, 'A') + "\": name is not terminated within its field",
          "entry 1 \"" + std::string(260, 'A') + "\": name does not end in \".gz\"",
          "missing entry \"AddMem.sys.gz\" (needed by romshell-phx)"}},
        {"name twice", [&](std::string& f) { setName(f, second, "ADDMEM.SYS.gz"); },
         {"entry 2 \"ADDMEM.SYS.gz\": same name as \"AddMem.sys.gz\" without regard to case",
          "missing entry \"ConResChs.dll.gz\" (needed by romshell-phx)"}},
        {"crc broken", [&](std::string& f) { f[first + 264 + firstSize - 8] ^= 1; },
         {"entry 1 \"AddMem.sys.gz\": does not decompress (incorrect data check)"}},
        {"length broken", [&](std::string& f) { f[first + 264 + firstSize - 4] ^= 1; },
         {"entry 1 \"AddMem.sys.gz\": does not decompress (incorrect length check)"}},
        {"data not gzip", [&](std::string& f) { f[first + 264] = 'x'; },
         {"entry 1 \"AddMem.sys.gz\": does not decompress (incorrect header check)"}},
        {"bytes behind the last entry", [&](std::string& f) { f += "tail"; }, {"4 bytes behind the last entry"}},
        {"negative count", [&](std::string& f) { f.replace(offset + 8, 4, std::string("\xFF\xFF\xFF\xFF", 4)); },
         {"entry count is negative (-1)", "missing entry \"AddMem.sys.gz\" (needed by romshell-phx)"}},
        {"offset zero", [&](std::string& f) { f.replace(40, 4, std::string(4, '\0')); },
         {"no package (the offset at byte 40 is 0)"}},
        {"magic wrong", [&](std::string& f) { f[offset + 3] = 'k'; }, {"no package at offset 4096 (no \"LPCK\" there)"}},
    };
    for (Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::string damaged = good;
        d.apply(damaged);
        WriteBytes(Path("damaged.exe"), damaged);
        std::vector<std::string> problems = VerifyProblems(PathText("damaged.exe"), "romshell-phx");
        // Missing-entry lines that follow from the damage are checked only as far as listed.
        problems.resize(std::min(problems.size(), d.problems.size()));
        EXPECT_EQ(problems, d.problems);
    }
}

// Replaces the first occurrence of what in bytes, from `from` on.
bool Patch(std::string& bytes, const std::string& what, const std::string& with, size_t from = 0) {
    size_t at = bytes.find(what, from);
    if (at == std::string::npos) return false;
    bytes.replace(at, what.size(), with);
    return true;
}
// Empties string id in its block of the library: its length becomes 0, the strings behind it move
// up and the block is padded at its end, so that the block still holds together.
bool EmptyString(std::string& library, uint32_t id) {
    pe::Image image;
    std::string error;
    if (!pe::ParseImage(std::vector<uint8_t>(library.begin(), library.end()), &image, &error)) return false;
    const pe::Resource* block = pe::FindResource(image, pe::kTypeString, static_cast<uint16_t>(id / 16 + 1));
    if (block == nullptr) return false;
    size_t at = block->fileOffset;
    for (uint32_t i = 0; i < id % 16; ++i) at += 2 + 2 * static_cast<uint8_t>(library[at]) + 512 * static_cast<uint8_t>(library[at + 1]);
    const size_t length = 2 * (static_cast<uint8_t>(library[at]) + 256 * static_cast<uint8_t>(library[at + 1]));
    library[at] = library[at + 1] = '\0';
    library.erase(at + 2, length);
    library.insert(block->fileOffset + block->size - length, length, '\0');
    return true;
}
std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

// Each fault of a library is one line naming the library, the id and the fault.
TEST_F(PackTest, VerifyRefusesALibraryThatLacksAnIdADialogOrAControlOrChangesAConversion) {
    const std::string french = BuiltLibrary("ConResFr.dll");
    if (french.empty()) GTEST_SKIP() << "the win32 build has not made ConResFr.dll";
    struct Row {
        const char* what;
        std::function<bool(std::string&)> damage;
        std::vector<std::string> problems;
    };
    const Row rows[] = {
        {"intact", [](std::string&) { return true; }, {}},
        // A counted string of length 0 does not exist: the block closes up behind it.
        {"string 38 gone", [](std::string& f) { return EmptyString(f, 38); }, {"ConResFr.dll: string 38 is missing"}},
        {"a conversion changed", [](std::string& f) { return Patch(f, Utf16("%s"), Utf16("%d")); },
         {"ConResFr.dll: string 21 changes the conversions (English \"%s %s %s %s\", here \"%d %s %s %s\")"}},
        {"a doubled percent sign made single",
         [](std::string& f) { return Patch(f, Utf16("30 %%"), Utf16("30 % ")); },
         {"ConResFr.dll: string 35 changes the conversions (English \"%%\", here \"\")"}},
        // Control 1012 of the progress window, a 32-bit id in the extended template, becomes 1016.
        {"a control renumbered", [](std::string& f) { return Patch(f, std::string("\xF4\x03\0\0", 4), std::string("\xF8\x03\0\0", 4)); },
         {"ConResFr.dll: dialog 117 has no control 1012"}},
        // Windows would show a Cyrillic letter of a French text as "?" in code page 1252.
        {"a character code page 1252 lacks", [](std::string& f) { return Patch(f, Utf16("%s(%s)"), Utf16("%s(%s") + std::string("\x16\x04", 2)); },
         {"ConResFr.dll: string 21 has characters that code page 1252 lacks (U+0416); Windows would show them as other "
          "characters or \"?\""}},
        {"no library", [](std::string& f) { f = "stand-in for ConResFr.dll"; return true; }, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string library = french;
        ASSERT_TRUE(row.damage(library));
        pack::Problems problems;
        pack::CheckLibrary("ConResFr.dll", "Fr", std::vector<uint8_t>(library.begin(), library.end()), &problems);
        if (std::string(row.what) == "no library") {
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_EQ(problems[0].rfind("ConResFr.dll: not a resource library (", 0), 0u) << problems[0];
            continue;
        }
        EXPECT_EQ(problems, row.problems);
    }
}

// A dialog the library lacks.
TEST_F(PackTest, VerifyRefusesALibraryWithoutADialog) {
    const std::string korean = BuiltLibrary("ConResKr.dll");
    if (korean.empty()) GTEST_SKIP() << "the win32 build has not made ConResKr.dll";
    pack::Problems problems;
    pack::CheckLibrary("ConResKr.dll", "Kr", std::vector<uint8_t>(korean.begin(), korean.end()), &problems);
    EXPECT_TRUE(problems.empty()) << problems[0];
    // The resource directory's entry for dialog 116 (id, then a subdirectory offset with its high
    // bit set) renamed to 216.
    std::string renamed = korean;
    bool found = false;
    for (size_t at = renamed.find(std::string("\x74\0\0\0", 4)); at != std::string::npos && !found;
         at = renamed.find(std::string("\x74\0\0\0", 4), at + 1)) {
        if (at % 4 == 0 && at + 8 <= renamed.size() && (static_cast<unsigned char>(renamed[at + 7]) & 0x80) != 0) {
            renamed[at] = static_cast<char>(216);
            found = true;
        }
    }
    ASSERT_TRUE(found);
    problems.clear();
    pack::CheckLibrary("ConResKr.dll", "Kr", std::vector<uint8_t>(renamed.begin(), renamed.end()), &problems);
    EXPECT_EQ(problems, (std::vector<std::string>{"ConResKr.dll: dialog 116 is missing"}));
}

TEST_F(PackTest, VerifyReportsACutPackageByEntry) {
    Payload({{"a.bin", Noise(3000, 8)}, {"RSAB0101.WPH", "i"}});
    std::string good = Build();
    WriteBytes(Path("cut.exe"), good.substr(0, 4096 + 12 + 100));
    WriteBytes(Path("cutdata.exe"), good.substr(0, good.size() - 5));
    EXPECT_EQ(VerifyProblems(PathText("cut.exe"), "romshell-phx")[0], "entry 1 of 2: head cut short at offset 4108");
    std::vector<std::string> problems = VerifyProblems(PathText("cutdata.exe"), "romshell-phx");
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems[0].find("entry 2 \"RSAB0101.WPH.gz\": data cut short (size "), std::string::npos) << problems[0];
}

// ---------------------------------------------------------------------------------------------
// signing

// Packed, then signed with Authenticode by osslsigncode with a throw-away certificate.
class SignedPackTest : public PackTest {
  public:
    void SetUp() override {
        PackTest::SetUp();
        if (std::system("command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "osslsigncode or openssl is not installed";
        // A program file the signing tool takes: a PE image carrying the unpacker marker.
        pe_test::PeOptions o;
        const std::string marker = "UnPaCkErSiG@Version 1.50";
        o.data.assign(marker.begin(), marker.end());
        o.data.push_back(0);
        const std::vector<uint8_t> program = pe_test::BuildPe(o).bytes;
        WriteBytes(Path("romshell.exe"), std::string(program.begin(), program.end()));
        RunResult made = RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Test -keyout '" +
                                        PathText("key.pem") + "' -out '" + PathText("cert.pem") + "'",
                                    dir_);
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    RunResult Sign(const std::string& in, const std::string& out, const std::string& hash = "sha256") {
        return RunCommand("osslsigncode sign -h " + hash + " -certs '" + PathText("cert.pem") + "' -key '" +
                              PathText("key.pem") + "' -in '" + PathText(in) + "' -out '" + PathText(out) + "'",
                          dir_);
    }
};

TEST_F(SignedPackTest, SignedAfterPackingVerifiesAndEveryChangeAfterSigningIsRefused) {
    Payload({{"RSAB0101.WPH", Noise(5000, 3)}, {"abc.bin", "abc"}});
    const std::string packed = Build();
    const uint32_t offset = U32At(packed, 40);
    struct Row {
        const char* what;
        const char* hash;
        std::function<void(std::string&)> change;  // of the signed file
        std::vector<std::string> problems;        // their beginnings
    };
    const Row rows[] = {
        {"signed", "sha256", [](std::string&) {}, {}},
        {"signed with SHA-1", "sha1", [](std::string&) {}, {}},
        // The padding of the first entry's name: the package still reads, only the digest differs.
        {"a byte of the package changed", "sha256", [&](std::string& f) { f[offset + 12 + 200] = 'x'; },
         {"file changed after it was signed (its digest differs from the signature's) (SHA-256 of the file "}},
        {"a byte of the header changed", "sha256", [](std::string& f) { f[0x30] ^= 1; },
         {"file changed after it was signed"}},
        {"certificate table plus extra bytes", "sha256", [](std::string& f) { f += "tail"; },
         {"certificate table is not where the security directory says, 8-aligned at the file's end (directory: offset ",
          "bytes behind the last entry"}},
        {"signature not readable", "sha256",
         [](std::string& f) {
             const uint32_t table = U32At(f, 0x40 + 24 + 96 + 32);
             f[table + 8] = 0x31;  // the ContentInfo's SEQUENCE made a SET
         },
         {"certificate table holds no Authenticode signature that can be read"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(Path("signed.exe"));
        RunResult signing = Sign("out.exe", "signed.exe", row.hash);
        ASSERT_EQ(signing.exitCode, 0) << signing.err;
        std::string file = ReadBytes(Path("signed.exe"));
        row.change(file);
        WriteBytes(Path("signed.exe"), file);
        std::vector<std::string> problems = VerifyProblems(PathText("signed.exe"), "romshell-phx");
        problems.erase(std::remove_if(problems.begin(), problems.end(),
                                      [](const std::string& p) { return p.find("missing entry") != std::string::npos; }),
                       problems.end());
        ASSERT_EQ(problems.size(), row.problems.size()) << (problems.empty() ? "" : problems[0]);
        for (size_t i = 0; i < problems.size(); ++i) EXPECT_NE(problems[i].find(row.problems[i]), std::string::npos) << problems[i];
    }
}

// The walk down to the signature's digest refuses what is not the expected DER, and reads no byte
// outside the table or the bytes at hand.
TEST_F(SignedPackTest, SignatureWalkFailsClosedOnMalformedTables) {
    Payload({{"RSAB0101.WPH", "1"}});
    Build();
    ASSERT_EQ(Sign("out.exe", "signed.exe").exitCode, 0);
    const std::string file = ReadBytes(Path("signed.exe"));
    const uint32_t offset = U32At(file, 0x40 + 24 + 96 + 32);
    const uint32_t size = U32At(file, 0x40 + 24 + 96 + 32 + 4);
    const std::string table = file.substr(offset, size);
    const std::string sha256Oid("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
    const struct {
        const char* what;
        std::function<void(std::string&, size_t&)> change;  // of the table and the bytes at hand
        SignatureCheck check;
    } rows[] = {
        {"intact", [](std::string&, size_t&) {}, SignatureCheck::Good},
        {"certificate longer than the table", [&](std::string& t, size_t&) { t[0] = static_cast<char>(size + 8); t[1] = static_cast<char>((size + 8) >> 8); },
         SignatureCheck::Unreadable},
        {"revision 1.0", [](std::string& t, size_t&) { t[5] = 0x01; }, SignatureCheck::Unreadable},
        {"indefinite length", [](std::string& t, size_t&) { t[9] = static_cast<char>(0x80); }, SignatureCheck::Unreadable},
        {"five length bytes", [](std::string& t, size_t&) { t[9] = static_cast<char>(0x85); }, SignatureCheck::Unreadable},
        {"bytes at hand end before the digest", [](std::string&, size_t& available) { available = 64; },
         SignatureCheck::Unreadable},
        // The second SHA-256 identifier is the content's; the first is the signer's list.
        {"digest algorithm unknown",
         [&](std::string& t, size_t&) { t[t.find(sha256Oid, t.find(sha256Oid) + 1) + 8] = 0x05; },
         SignatureCheck::UnknownDigest},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string changed = table;
        size_t available = std::min<size_t>(changed.size(), kSignedDigestReadSize);
        row.change(changed, available);
        SignedDigest digest;
        EXPECT_EQ(ReadSignedDigest(reinterpret_cast<const uint8_t*>(changed.data()), available, size, &digest), row.check);
        if (row.check == SignatureCheck::Good) EXPECT_EQ(std::string(digest.name), "SHA-256");
    }
}

TEST_F(SignedPackTest, SignedProgramListsExtractsAndPassesTheSigningToolsOwnCheck) {
    Payload({{"RSAB0101.WPH", Noise(5000, 3)}, {"abc.bin", "abc"}});
    Build();
    ASSERT_EQ(Sign("out.exe", "signed.exe").exitCode, 0);
    RunResult checked = RunCommand("osslsigncode verify -CAfile '" + PathText("cert.pem") + "' -in '" +
                                       PathText("signed.exe") + "'",
                                   dir_);
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;

    pack::Problems problems;
    pack::PackageInfo info;
    ASSERT_TRUE(pack::ReadPackage(PathText("signed.exe"), &info, &problems));
    pack::CheckMembers(PathText("signed.exe"), &info, &problems);
    pack::CheckSignature(PathText("signed.exe"), &info, &problems);
    EXPECT_TRUE(problems.empty()) << problems[0];
    const std::string listing = pack::FormatListing(PathText("signed.exe"), info, true);
    EXPECT_NE(listing.find("  signature        Authenticode, SHA-256 digest matches\n"), std::string::npos) << listing;
    // SHA-256 of "abc" (FIPS 180-2, appendix B.1).
    EXPECT_NE(listing.find("abc.bin.gz  "), std::string::npos) << listing;
    EXPECT_NE(listing.find("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"), std::string::npos) << listing;

    ASSERT_TRUE(pack::ExtractPackage(PathText("signed.exe"), PathText("unpacked"), &problems)) << problems[0];
    EXPECT_EQ(ReadBytes(Path("unpacked/abc.bin")), "abc");

    // A signed program cannot be packed: the package would lie outside the signature.
    ASSERT_EQ(Sign("romshell.exe", "signed-program.exe").exitCode, 0);
    fs::remove(Path("out.exe"));
    pack::BuildRequest request = Request();
    request.program = PathText("signed-program.exe");
    EXPECT_EQ(Refusal(request),
              PathText("signed-program.exe") + ": is signed already; pack the program file as built, then sign the packed file");
}

// ---------------------------------------------------------------------------------------------
// extract

TEST_F(PackTest, ExtractGivesBackTheFolder) {
    Payload({{"RSAB0101.WPH", Noise(200000, 9)}, {"AddMem.sys", "driver"}, {"empty.bin", ""}});
    Build();
    pack::Problems problems;
    ASSERT_TRUE(pack::ExtractPackage(PathText("out.exe"), PathText("unpacked/deeper"), &problems));
    for (const char* name : {"RSAB0101.WPH", "AddMem.sys", "empty.bin"}) {
        EXPECT_EQ(ReadBytes(Path("unpacked/deeper") / name), ReadBytes(Path("payload") / name)) << name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("unpacked/deeper")), fs::directory_iterator()), 3);
}

TEST_F(PackTest, ExtractRefusesABadPackageAndWritesNothing) {
    Payload({{"a.bin", "a"}, {"b.bin", "b"}});
    std::string good = Build();
    size_t second = 4096 + 12 + 264 + U32At(good, 4096 + 12 + 260);
    struct Case {
        const char* what;
        std::string name;
        const char* problem;
    } cases[] = {
        {"parent folder", "..\\b.bin.gz", "name holds a folder separator"},
        {"slash", "../b.bin.gz", "name holds a folder separator"},
        {"absolute", "/tmp/b.bin.gz", "name holds a folder separator"},
        {"drive", "C:b.bin.gz", "name holds a drive or a colon"},
        {"dot dot once decompressed", "...gz", "name stands for a folder (\".\" or \"..\")"},
        {"no .gz", "b.bin", "name does not end in \".gz\""},
        {".gz alone", ".gz", "name does not end in \".gz\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = good;
        damaged.replace(second, 260, std::string(260, '\0'));
        damaged.replace(second, c.name.size(), c.name);
        WriteBytes(Path("bad.exe"), damaged);
        fs::remove_all(Path("unpacked"));
        pack::Problems problems;
        EXPECT_FALSE(pack::ExtractPackage(PathText("bad.exe"), PathText("unpacked"), &problems));
        ASSERT_FALSE(problems.empty());
        EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
        EXPECT_FALSE(fs::exists(Path("unpacked"))) << "nothing is written when any entry is bad";
        EXPECT_FALSE(fs::exists(dir_.parent_path() / "b.bin"));
    }
}

}  // namespace
