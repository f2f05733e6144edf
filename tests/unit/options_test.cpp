// The command-line options of the Phoenix path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/context.h"
#include "app/options.h"
#include "core/run_options.h"

namespace {

struct ParseCase {
    const char* commandLine;
    uint32_t packageOptions;
    ResultCode result;
    uint32_t runOptions;
    const char* biosCommand;   // nullptr: not checked
    const char* micomCommand;  // nullptr: not checked
};

class ParseRunOptionsTest : public ::testing::TestWithParam<ParseCase> {
  protected:
    void SetUp() override { ResetUpdateContext(); }
};

TEST_P(ParseRunOptionsTest, SetsFlagsAndCommandLines) {
    const ParseCase& c = GetParam();
    ctx.runOptions = c.packageOptions;
    std::string line = c.commandLine;
    char bios[kCommandSize] = "garbage";
    char micom[kCommandSize] = "garbage";
    EXPECT_EQ(ParseRunOptions(micom, bios, line.data()), c.result) << c.commandLine;
    EXPECT_EQ(ctx.runOptions, c.runOptions) << c.commandLine;
    if (c.biosCommand) {
        EXPECT_STREQ(bios, c.biosCommand) << c.commandLine;
    }
    if (c.micomCommand) {
        EXPECT_STREQ(micom, c.micomCommand) << c.commandLine;
    }
}

// Each option's bits by their numbers, as package makers and technicians write them: a wrong value
// in the flag names would pass every test that compares against the names.
TEST(RunOptionBits, EachOptionSetsItsNumber) {
    const struct {
        const char* option;
        uint32_t bits;
    } rows[] = {
        {"/BLOCK_POWER_OFF", 0x00000001},  {"/SKIP_CHECK_PART", 0x00000002},
        {"/SKIP_CHECK_MODEL", 0x00000004}, {"/SKIP_UPDATE_MICOM", 0x00000010},
        {"/NO_MESSAGEBOX", 0x00000020},    {"/BREAK_ESCD", 0x00000100},
        {"/MODE=3", 0x00000200},           {"/MODE=2", 0x00000400},
        {"/MODE=1", 0x00000800},           {"/READ_BIOS", 0x00002000},
        {"/SKIP_UPDATE_FILES", 0x00004000}, {"/SKIP_CHECK_DATE", 0x00008000},
        {"/SKIP_CHECK_POWER", 0x00010000}, {"/VISTA_UPGRADE", 0x00020021},
    };
    for (const auto& row : rows) {
        ResetUpdateContext();
        std::string line = row.option;
        char bios[kCommandSize];
        char micom[kCommandSize];
        ASSERT_EQ(ParseRunOptions(micom, bios, line.data()), kResultOk) << row.option;
        EXPECT_EQ(ctx.runOptions, row.bits) << row.option;
    }
    // The bits only the package header sets.
    EXPECT_EQ(uint32_t{MarkLastFlashBlock}, 0x00000008u);
    EXPECT_EQ(uint32_t{ClearCmosOnUpdate}, 0x00000040u);
    EXPECT_EQ(uint32_t{DmiOnly}, 0x00001000u);
    EXPECT_EQ(uint32_t{NoPowerCycle}, 0x00040000u);
    EXPECT_EQ(uint32_t{LongModelId}, 0x00080000u);
}

const ParseCase kParseCases[] = {
    // Defaults and the package's value.
    {"", 8, kResultOk, 8, "SWinFlash bios.wph /P", "WinUpV01_10 kbc.bin /FORCE"},
    {"   ", 0, kResultOk, 0, "SWinFlash bios.wph /P", "WinUpV01_10 kbc.bin /FORCE"},
    {"/mode=1 /bbl /mserial", 8, kResultOk, 8 | Mode1, "SWinFlash bios.wph /P /MODE=1 /BBL",
     "WinUpV01_10 kbc.bin /FORCE /SERIAL"},
    // "/READ_BIOS" replaces the whole word and ends the parse unread.
    {"/read_bios /bogus", 8, kResultOk, ReadBios, nullptr, nullptr},
    {"/bogus /read_bios", 8, kResultInvalidOption, 8, nullptr, nullptr},
    {"/NO_MESSAGEBOX /READ_BIOS", 0, kResultOk, ReadBios, nullptr, nullptr},
    // Prefix matches accept anything after the matched part; the MICOM options must match whole.
    {"-skip_check_power", 0, kResultOk, SkipCheckPower, nullptr, nullptr},
    {"/SKIP_CHECK_POWERX", 0, kResultOk, SkipCheckPower, nullptr, nullptr},
    {"/MFORCE2", 0, kResultInvalidOption, 0, nullptr, nullptr},
    {"/BBL2", 0, kResultOk, 0, "SWinFlash bios.wph /P /BBL", nullptr},
    {"/BREAK_CMOX", 0, kResultOk, 0, "SWinFlash bios.wph /P /C", nullptr},
    {"/break_escd", 0, kResultOk, BreakEscd, "SWinFlash bios.wph /P", nullptr},
    {"/BB", 0, kResultInvalidOption, 0, nullptr, nullptr},
    {"BBL", 0, kResultInvalidOption, 0, nullptr, nullptr},
    // The mode option appends the upper-cased token; its seventh character picks the bit.
    {"/mode=9", 0, kResultOk, 0, "SWinFlash bios.wph /P /MODE=9", nullptr},
    {"/MODE=3", 0, kResultOk, Mode3, "SWinFlash bios.wph /P /MODE=3", nullptr},
    {"-mode:2", 0, kResultOk, Mode2, "SWinFlash bios.wph /P -MODE:2", nullptr},
    {"/MODE", 0, kResultOk, 0, "SWinFlash bios.wph /P /MODE", nullptr},
    // A quote or a control character in the token would change the tool's words: refused unappended.
    {"/MODE=1\"", 0, kResultInvalidOption, 0, "SWinFlash bios.wph /P", nullptr},
    {"/MODE=\"3 /BBL", 0, kResultInvalidOption, 0, "SWinFlash bios.wph /P", nullptr},
    {"/MODE=3\x01", 0, kResultInvalidOption, 0, "SWinFlash bios.wph /P", nullptr},
    // Combined bits and repeats.
    {"/VISTA_UPGRADE", 8, kResultOk, 8 | 0x20021, nullptr, nullptr},
    {"/mforce /mforce /mauto", 0, kResultOk, 0, nullptr, "WinUpV01_10 kbc.bin /FORCE /FORCE /FORCE /A"},
    {"/BLOCK_POWER_OFF /SKIP_CHECK_PART /SKIP_CHECK_MODEL /SKIP_UPDATE_MICOM /NO_MESSAGEBOX "
     "/SKIP_UPDATE_FILES /SKIP_CHECK_DATE",
     0, kResultOk,
     BlockPowerOff | SkipCheckPart | SkipCheckModel | SkipUpdateMicom | NoMessageBox |
         SkipUpdateFiles | SkipCheckDate,
     nullptr, nullptr},
    // Blanks: several spaces, leading blanks and tabs separate tokens.
    {"  /BBL     /MAUTO  ", 0, kResultOk, 0, "SWinFlash bios.wph /P /BBL", "WinUpV01_10 kbc.bin /FORCE /A"},
    {"/BBL\t/MAUTO\t", 0, kResultOk, 0, "SWinFlash bios.wph /P /BBL", "WinUpV01_10 kbc.bin /FORCE /A"},
    // The first token that is no option ends the parse.
    {"/BBL /what /MAUTO", 0, kResultInvalidOption, 0, "SWinFlash bios.wph /P /BBL",
     "WinUpV01_10 kbc.bin /FORCE"},
};

INSTANTIATE_TEST_SUITE_P(Table, ParseRunOptionsTest, ::testing::ValuesIn(kParseCases));

class ParseRunOptionsLimitsTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetUpdateContext(); }
    ResultCode Parse(std::string line) {
        // The buffers sit between guard bytes so a write past either shows up.
        struct Guarded {
            char before[16];
            char buffer[kCommandSize];
            char after[16];
        };
        Guarded bios{}, micom{};
        std::memset(bios.before, 0x5A, 16);
        std::memset(bios.after, 0x5A, 16);
        std::memset(micom.before, 0x5A, 16);
        std::memset(micom.after, 0x5A, 16);
        ResultCode r = ParseRunOptions(micom.buffer, bios.buffer, line.data());
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(bios.before[i], 0x5A);
            EXPECT_EQ(bios.after[i], 0x5A);
            EXPECT_EQ(micom.before[i], 0x5A);
            EXPECT_EQ(micom.after[i], 0x5A);
        }
        biosCommand = bios.buffer;
        micomCommand = micom.buffer;
        return r;
    }
    std::string biosCommand, micomCommand;
};

TEST_F(ParseRunOptionsLimitsTest, TokenOf255CharactersIsReadWhole) {
    std::string token = "/SKIP_CHECK_POWER" + std::string(255 - 17, 'X');
    ASSERT_EQ(token.size(), 255u);
    EXPECT_EQ(Parse(token), kResultOk);
    EXPECT_EQ(ctx.runOptions, SkipCheckPower);
}

TEST_F(ParseRunOptionsLimitsTest, TokenLongerThan255CharactersIsInvalid) {
    std::string token = "/SKIP_CHECK_POWER" + std::string(256 - 17, 'X');
    EXPECT_EQ(Parse(token), kResultInvalidOption);
    EXPECT_EQ(ctx.runOptions, 0u);
}

TEST_F(ParseRunOptionsLimitsTest, BiosCommandLineMayReach255Characters) {
    // "SWinFlash bios.wph /P" is 21 characters; each " /MODE=..." token adds its length + 1.
    std::string mode = "/MODE=" + std::string(255 - 21 - 1 - 6, '1');
    EXPECT_EQ(Parse(mode), kResultOk);
    EXPECT_EQ(biosCommand.size(), 255u);
}

TEST_F(ParseRunOptionsLimitsTest, OptionThatWouldOverflowBiosCommandLineIsInvalid) {
    std::string mode = "/MODE=" + std::string(255 - 21 - 6, '1');
    EXPECT_EQ(Parse(mode), kResultInvalidOption);
    EXPECT_LE(biosCommand.size(), 255u);
}

TEST_F(ParseRunOptionsLimitsTest, RepeatedMicomSwitchesStopAtTheBufferLimit) {
    std::string line;
    for (int i = 0; i < 60; ++i) line += "/MFORCE ";  // 26 + 60 * 7 characters would not fit
    EXPECT_EQ(Parse(line), kResultInvalidOption);
    EXPECT_LE(micomCommand.size(), 255u);
    EXPECT_EQ(micomCommand.size() % 7, 26u % 7);  // only whole switches were appended
}

TEST(RunOptionNames, EveryBitHasAUniqueNameFoundWithoutRegardToCase) {
    uint32_t seen = 0;
    for (const RunOptionName& row : kRunOptionNames) {
        EXPECT_EQ(seen & row.bit, 0u) << row.name;
        seen |= row.bit;
        EXPECT_EQ(RunOptionBitByName(row.name), row.bit);
    }
    EXPECT_EQ(RunOptionBitByName("marklastflashblock"), MarkLastFlashBlock);
    EXPECT_EQ(RunOptionBitByName("ClearCmos"), 0u);
    // Bits 0x80 and 0x100000 and above are not used.
    EXPECT_EQ(seen & 0x80u, 0u);
    EXPECT_EQ(seen & ~0xFFFFFu, 0u);
}

}  // namespace
