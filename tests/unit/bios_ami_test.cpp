// The AMI notebook's identification and the AMI path's options: the running BIOS's version and
// part number from the BIOS area, the image's from its "$FID" record, their comparison, and the
// words the AMI path accepts.
#include <gtest/gtest.h>

#if !ROMSHELL_PHX

#include <cstdio>
#include <string>

#include "app/ami_update.h"
#include "bios/ami.h"
#include "bios/ami_image.h"
#include "core/context.h"
#include "tests/unit/notebook_fixture.h"

namespace {

constexpr const char* kAmiMachine =
    R"({"bios": {"vendor": "ami", "partNumber": "112", "amiVersion": 208}})";

// A notebook of vendor whose BIOS area holds bytes at address.
std::string MachineWith(const char* vendor, uint32_t address, const std::string& bytes) {
    return std::string(R"({"bios": {"vendor": ")") + vendor + R"(", "amiVersion": 208}, "memory": {"patches": [{"address": )" +
           std::to_string(address) + R"(, "hex": ")" + Hex(bytes) + R"("}]}})";
}

// An "$FID" record: the kind byte at 5, the part number at 9, the version text at 52.
std::string FidRecord(char kind, const std::string& part, const std::string& version) {
    std::string record(kFidRecordEnd, '\0');
    record.replace(0, 4, "$FID");
    record[kFidKindOffset] = kind;
    record.replace(kFidPartNumberOffset, part.size(), part);
    record.replace(kFidVersionOffset, version.size(), version);
    return record;
}

std::string ProgramFile(const char* name) { return std::string(kProgramFolder) + "\\" + name; }

class AmiTest : public NotebookTest {};

// --- the running BIOS ---------------------------------------------------------------------------

struct RunningVersionCase {
    const char* name;
    std::string patch;
    int32_t version;
};

class RunningVersionTest : public AmiTest, public ::testing::WithParamInterface<RunningVersionCase> {};

TEST_P(RunningVersionTest, VersionComesFromTheFirstAmibiosBlockOfTheBiosArea) {
    MakeMachine(GetParam().patch);
    EXPECT_EQ(ReadAmiBiosVersion(), GetParam().version);
    EXPECT_EQ(driverHandle, os::InvalidHandle()) << "the driver is closed again";
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, RunningVersionTest,
    ::testing::Values(
        RunningVersionCase{"NotebooksOwnBlock", kAmiMachine, 208},
        RunningVersionCase{"FirstBlockWins", MachineWith("ami", 0xF0000, std::string("AMIBIOS") + std::string(19, ' ') + "  000317"), 317},
        RunningVersionCase{"PhoenixHasNone", "{}", kAmiAbsent},
        // The version's digits would lie beyond the BIOS area.
        RunningVersionCase{"BlockCutByTheAreasEnd", MachineWith("phoenix", 0xFFFE0, "AMIBIOS"), kAmiAbsent},
        RunningVersionCase{"BlockAtTheAreasEnd", MachineWith("phoenix", 0xFFFDE, std::string("AMIBIOS") + std::string(19, ' ') + "00000042"), 42},
        RunningVersionCase{"NoDriver", kNoDriver, kAmiDriverFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AmiTest, PlatformPartNumberComesFromTheDevelBlock) {
    MakeMachine(kAmiMachine);
    char part[4] = "xxx";
    EXPECT_EQ(ReadPlatformPartNumber(part), 0);
    EXPECT_STREQ(part, "112");

    MakeMachine(kNoDriver);
    EXPECT_EQ(ReadPlatformPartNumber(part), kAmiDriverFailed);
}

// --- the image ----------------------------------------------------------------------------------

struct ImageCase {
    const char* name;
    std::string image;  // "bios.rom"; nullptr-like "-" for no file
    int32_t version;
    const char* partNumber;  // what the part-number read leaves in "old"
};

class ImageRecordTest : public AmiTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageRecordTest, VersionAndPartNumberComeFromTheFirstIdentityRecord) {
    MakeMachine();
    const ImageCase& c = GetParam();
    const bool hasFile = c.image != "-";
    if (hasFile) PutFile(ProgramFile("bios.rom"), c.image);
    EXPECT_EQ(ReadAmiImageVersion("bios.rom"), c.version);
    char part[4] = "old";
    EXPECT_EQ(ReadAmiImagePartNumber("bios.rom", part), hasFile && !c.image.empty() ? 0 : kAmiAbsent);
    EXPECT_STREQ(part, c.partNumber);
}

const std::string kPad(1000, '\xFF');

INSTANTIATE_TEST_SUITE_P(
    Images, ImageRecordTest,
    ::testing::Values(
        ImageCase{"RecordInsideTheImage", kPad + FidRecord('?', "112", "00000208") + kPad, 208, "112"},
        ImageCase{"RecordAtTheStart", FidRecord('?', "113", "00000209"), 209, "113"},
        ImageCase{"OtherKindsArePassedOver", FidRecord('!', "999", "00000999") + FidRecord('?', "112", "00000208"), 208, "112"},
        ImageCase{"LeadingBlanksAndTrailingText", FidRecord('?', "112", "  208abc"), 208, "112"},
        ImageCase{"SignedVersion", FidRecord('?', "112", "-0000005"), -5, "112"},
        ImageCase{"NoRecord", kPad, 0, "old"},
        // The version would lie past the file's end: no record, and nothing read beyond it.
        ImageCase{"RecordCutByTheEnd", kPad + FidRecord('?', "112", "00000208").substr(0, 40), 0, "old"},
        // Windows maps no empty file, and neither seam does: the image is as unreadable as a missing one.
        ImageCase{"EmptyFile", "", kAmiAbsent, "old"},
        ImageCase{"NoFile", "-", kAmiAbsent, "old"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the comparison -----------------------------------------------------------------------------

struct PartCase {
    const char* name;
    const char* imagePart;  // nullptr: no "bios.rom"
    const char* machine;
    ResultCode result;
};

class PartNumberTest : public AmiTest, public ::testing::WithParamInterface<PartCase> {};

TEST_P(PartNumberTest, PartNumbersMustBeEqualToTheLetter) {
    const PartCase& c = GetParam();
    MakeMachine(c.machine);
    if (c.imagePart != nullptr) PutFile(ProgramFile("bios.rom"), kPad + FidRecord('?', c.imagePart, "00000208"));
    EXPECT_EQ(CheckAmiPartNumber(), c.result);
    if (c.result == kResultPartNumberMismatch) {
        EXPECT_STREQ(ctx.currentPartNumber, "a1b");
        EXPECT_STREQ(ctx.newPartNumber, c.imagePart);
    } else {
        EXPECT_STREQ(ctx.newPartNumber, "");
    }
}

constexpr const char* kLowerCasePart = R"({"bios": {"vendor": "ami", "partNumber": "a1b"}})";

INSTANTIATE_TEST_SUITE_P(
    Parts, PartNumberTest,
    ::testing::Values(
        PartCase{"Equal", "a1b", kLowerCasePart, kResultOk},
        PartCase{"OnlyTheThirdCharacterDiffers", "a1c", kLowerCasePart, kResultPartNumberMismatch},
        PartCase{"OnlyTheLetterCaseDiffers", "A1B", kLowerCasePart, kResultPartNumberMismatch},
        PartCase{"NoImage", nullptr, kLowerCasePart, kAmiImageUnreadable},
        PartCase{"NoDriver", "a1b", R"({"faults": {"scmAccessDenied": true}})", kResultDriverLoad}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the options --------------------------------------------------------------------------------

struct AmiOptionCase {
    const char* name;
    std::string commandLine;
    int wow64;
    ResultCode result;
    const char* micom;
    const char* bios;
};

class AmiOptionsTest : public ::testing::TestWithParam<AmiOptionCase> {
  protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_P(AmiOptionsTest, OnlyTheMicomOptionsAreAccepted) {
    const AmiOptionCase& c = GetParam();
    ctx.isWow64 = c.wow64;
    char line[2048];
    std::snprintf(line, sizeof line, "%s", c.commandLine.c_str());
    char micom[256];
    char bios[256];
    std::memset(micom, '#', sizeof micom);
    std::memset(bios, '#', sizeof bios);
    EXPECT_EQ(ParseAmiOptions(line, micom, bios), c.result);
    EXPECT_STREQ(bios, c.bios);
    if (c.result == kResultOk) {
        EXPECT_STREQ(micom, c.micom);
        EXPECT_STREQ(line, "") << "every word is consumed";
    }
    EXPECT_EQ(ctx.runOptions, 0u) << "the AMI path takes no flag bits from the command line";
}

const std::string kLongWord = "/" + std::string(300, 'M');
const std::string kManyForces = [] {
    std::string s;
    for (int i = 0; i < 40; ++i) s += "/MFORCE ";
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Words, AmiOptionsTest,
    ::testing::Values(
        AmiOptionCase{"Nothing", "", 0, kResultOk, "WinUpV01_10 kbc.bin /FORCE", kAmiBiosCommand32},
        AmiOptionCase{"SixtyFourBit", "  ", 1, kResultOk, "WinUpV01_10 kbc.bin /FORCE", kAmiBiosCommand64},
        AmiOptionCase{"LowerCaseWithDash", "-mserial", 0, kResultOk, "WinUpV01_10 kbc.bin /FORCE /SERIAL", kAmiBiosCommand32},
        AmiOptionCase{"AllThree", " /MFORCE\t-MAuto  /mSerial ", 0, kResultOk,
                      "WinUpV01_10 kbc.bin /FORCE /FORCE /A /SERIAL", kAmiBiosCommand32},
        AmiOptionCase{"PhoenixOption", "/SKIP_CHECK_MODEL", 0, kResultInvalidOption, "", kAmiBiosCommand32},
        AmiOptionCase{"ComparedWhole", "/MFORCED", 0, kResultInvalidOption, "", kAmiBiosCommand32},
        AmiOptionCase{"NoSlash", "MFORCE", 0, kResultInvalidOption, "", kAmiBiosCommand32},
        AmiOptionCase{"WordOver255Characters", kLongWord, 0, kResultInvalidOption, "", kAmiBiosCommand32},
        AmiOptionCase{"MicomLineOutgrowsItsBuffer", kManyForces, 0, kResultInvalidOption, "", kAmiBiosCommand32}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AmiOptionParsing, StopsAtTheFirstBadWordLeavingTheRest) {
    ResetProgramState();
    char line[] = "/MAUTO /BAD /MFORCE";
    char micom[256];
    char bios[256];
    EXPECT_EQ(ParseAmiOptions(line, micom, bios), kResultInvalidOption);
    EXPECT_STREQ(line, "/MFORCE");
    EXPECT_STREQ(micom, "WinUpV01_10 kbc.bin /FORCE /A");
}

}  // namespace

#endif  // !ROMSHELL_PHX
