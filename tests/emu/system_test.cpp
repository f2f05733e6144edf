#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "emu/codepage.h"
#include "emu/world.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

class EmulatedSystem : public EmulatedWorldTest {};

TEST_F(EmulatedSystem, VersionComesFromTheProfilePackedAsWindowsPacksIt) {
  struct Row {
    const char* patch;
    os::VersionInfo info;
    uint32_t packed;
  };
  const Row rows[] = {
      {R"({})", {10, 0, 19045, os::kPlatformWin32Nt}, 0x4A65000Au},
      {R"({"windows":{"major":6,"minor":1,"build":7601}})", {6, 1, 7601, os::kPlatformWin32Nt}, 0x1DB10106u},
      {R"({"windows":{"major":5,"minor":1,"build":2600}})", {5, 1, 2600, os::kPlatformWin32Nt}, 0x0A280105u},
      // The 9x family: the build's high word holds the version, GetVersion's high bit is set.
      {R"({"windows":{"major":4,"minor":10,"build":2222,"platform":"9x","wow64":false}})",
       {4, 10, 0x040A08AEu, os::kPlatformWin32Windows}, 0x80000A04u},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.patch);
    MakeWorld(r.patch);
    os::VersionInfo info = {};
    ASSERT_TRUE(os::GetVersionEx(&info));
    EXPECT_EQ(info.major, r.info.major);
    EXPECT_EQ(info.minor, r.info.minor);
    EXPECT_EQ(info.build, r.info.build);
    EXPECT_EQ(info.platformId, r.info.platformId);
    EXPECT_EQ(os::GetVersion(), r.packed);
  }
}

TEST_F(EmulatedSystem, IsWow64ProcessFollowsTheProfileAndFailsWhereItDoesNotExist) {
  struct Row {
    const char* patch;
    bool succeeds;
    int isWow64;
  };
  const Row rows[] = {
      {R"({"windows":{"wow64":true}})", true, 1},
      {R"({"windows":{"wow64":false}})", true, 0},
      {R"({"windows":{"wow64":false,"hasIsWow64Process":false}})", false, -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.patch);
    MakeWorld(r.patch);
    int isWow64 = -1;
    EXPECT_EQ(os::IsWow64Process(&isWow64), r.succeeds);
    EXPECT_EQ(isWow64, r.isWow64);
  }
}

TEST_F(EmulatedSystem, LanguageAndPowerComeFromTheProfile) {
  MakeWorld(R"({"windows":{"langId":"0x0412"},"power":{"acLine":0,"batteryPercent":255}})");
  EXPECT_EQ(os::GetSystemDefaultLangID(), 0x0412);
  os::PowerStatus power = {};
  ASSERT_TRUE(os::GetSystemPowerStatus(&power));
  EXPECT_EQ(power.acLineStatus, 0);
  EXPECT_EQ(power.batteryLifePercent, 255);
}

TEST_F(EmulatedSystem, EnvironmentVariablesReportLengthOrSizeNeeded) {
  MakeWorld(R"({"windows":{"temp":"C:\\T","environment":{"Path":"C:\\Windows"}}})");
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(os::GetEnvironmentVariable("TEMP", buffer, 4), 5u);  // "C:\T" needs 5 with its terminator
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(os::GetEnvironmentVariable("temp", buffer, 5), 4u);
  EXPECT_STREQ(buffer, "C:\\T");
  EXPECT_EQ(os::GetEnvironmentVariable("PATH", buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\Windows");
  EXPECT_EQ(os::GetEnvironmentVariable("NOPE", buffer, sizeof buffer), 0u);
  EXPECT_EQ(os::GetLastError(), 203u);
  MakeWorld(R"({"windows":{"temp":null}})");
  EXPECT_EQ(os::GetEnvironmentVariable("TEMP", buffer, sizeof buffer), 0u);
}

TEST_F(EmulatedSystem, ModuleFileNameIsCutAsTheWindowsVersionCutsIt) {
  const std::string path = "C:\\Users\\tech\\Desktop\\romshell.exe";  // 34 characters
  const uint32_t length = static_cast<uint32_t>(path.size());
  MakeWorld();
  char buffer[64];
  EXPECT_EQ(os::GetModuleFileName(buffer, sizeof buffer), length);
  EXPECT_STREQ(buffer, path.c_str());
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(os::GetModuleFileName(buffer, 10), 10u);  // Vista and later: cut and terminated
  EXPECT_STREQ(buffer, "C:\\Users\\");
  EXPECT_EQ(os::GetLastError(), os::kErrorInsufficientBuffer);
  EXPECT_EQ(os::GetModuleFileName(buffer, length), length);  // no room for the terminator
  EXPECT_EQ(std::string(buffer), path.substr(0, length - 1));

  MakeWorld(R"({"windows":{"major":5,"minor":1,"build":2600}})");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(os::GetModuleFileName(buffer, 10), 10u);  // XP: the whole buffer, no terminator
  EXPECT_EQ(std::string(buffer, 11), "C:\\Users\\tx");
}

TEST_F(EmulatedSystem, ProgramStringsLoadByIdCutToTheBuffer) {
  MakeWorld();
  char buffer[256];
  EXPECT_EQ(os::LoadString(os::ProgramModule(), 38, buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "Warning");
  EXPECT_EQ(os::LoadString(os::ProgramModule(), 35, buffer, sizeof buffer), 116);
  EXPECT_NE(std::strstr(buffer, "30%%."), nullptr);  // a format: the percent sign stays doubled
  EXPECT_EQ(os::LoadString(os::ProgramModule(), 2, buffer, 5), 4);
  EXPECT_STREQ(buffer, "File");
  buffer[0] = 'x';
  EXPECT_EQ(os::LoadString(os::ProgramModule(), 6, buffer, sizeof buffer), 0);  // id 6 does not exist
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(os::LoadString(os::ProgramModule(), 38, buffer, 0), 0);
}

// The system's code page follows the whole language id; what it lacks becomes "?" or a best fit,
// and no double-byte character is cut in two.
TEST_F(EmulatedSystem, AnsiTextsUseTheCodePageOfTheSystemsLanguage) {
  EXPECT_EQ(emu::AnsiCodePageOf(0x0409), 1252u);
  EXPECT_EQ(emu::AnsiCodePageOf(0x040C), 1252u);
  EXPECT_EQ(emu::AnsiCodePageOf(0x0419), 1251u);
  EXPECT_EQ(emu::AnsiCodePageOf(0x0404), 950u);
  EXPECT_EQ(emu::AnsiCodePageOf(0x0804), 936u);
  EXPECT_EQ(emu::AnsiCodePageOf(0x1004), 936u);
  EXPECT_EQ(emu::AnsiCodePageOf(0x0412), 949u);
  EXPECT_EQ(emu::Utf16ToCodePage(u"\u00e9t\u00e9", 1252), "\xe9t\xe9");
  EXPECT_EQ(emu::Utf16ToCodePage(u"\u0416", 1252), "?");           // Cyrillic in a western code page
  EXPECT_EQ(emu::Utf16ToCodePage(u"\u0416", 1251), "\xc6");
  EXPECT_EQ(emu::Utf16ToCodePage(u"\u8b66\u544a", 950), "\xc4\xb5\xa7\x69");
  EXPECT_EQ(emu::Utf16ToCodePage(u"\u8b66\u544a", 950, 3), "\xc4\xb5");  // no half character
  EXPECT_EQ(emu::Utf16ToCodePage(u"\xD800x", 1252), "?x");          // a lone surrogate
  EXPECT_EQ(emu::CodePageToUtf8("\xc4\xb5\xa7\x69", 950), "\u8b66\u544a");
  EXPECT_EQ(emu::CodePageToUtf8("\xc4", 950), "?");                 // a lead byte without its trail
  EXPECT_EQ(emu::CodePageToUtf8("\xc6", 1251), "\u0416");
  EXPECT_EQ(emu::Utf8ToCodePage("\xff\u00e9", 1252), "?\xe9");     // invalid UTF-8 stays invalid as "?"
}

// MessageBoxA reads its texts in the system's code page; the desktop keeps them in UTF-8.
TEST_F(EmulatedSystem, MessageBoxTextsAreReadInTheSystemsCodePage) {
  MakeWorld(R"({"windows":{"langId":"0x0419"}})");
  os::MessageBox(nullptr, "\xc6", "\xcf", os::kMbOk);
  auto boxes = MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]["text"], "\u0416");
  EXPECT_EQ(boxes[0]["caption"], "\u041f");
}

TEST_F(EmulatedSystem, MessageBoxesTakeTheProfilesAnswersInOrderThenOk) {
  MakeWorld(R"({"answers":{"messageBoxes":["cancel", 2, "ok"]}})");
  EXPECT_EQ(os::MessageBox(nullptr, "first", "One", os::kMbOkCancel), os::kIdCancel);
  EXPECT_EQ(os::MessageBox(reinterpret_cast<os::Window>(0x10), "second", "Two", os::kMbOkCancel), os::kIdCancel);
  EXPECT_EQ(os::MessageBox(nullptr, "third", "Three", os::kMbOkCancel), os::kIdOk);
  EXPECT_EQ(os::MessageBox(nullptr, "fourth", "Four", os::kMbOkCancel), os::kIdOk);  // list used up
  auto boxes = MessageBoxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0]["caption"], "One");
  EXPECT_EQ(boxes[0]["text"], "first");
  EXPECT_EQ(boxes[0]["style"], os::kMbOkCancel);
  EXPECT_EQ(boxes[0]["owner"], false);
  EXPECT_EQ(boxes[0]["answer"], os::kIdCancel);
  EXPECT_EQ(boxes[1]["owner"], true);
  EXPECT_EQ(boxes[3]["answer"], os::kIdOk);
}

TEST_F(EmulatedSystem, AnOkBoxIsAnsweredOkWhateverTheProfileSays) {
  MakeWorld(R"({"answers":{"messageBoxes":["cancel"]}})");
  EXPECT_EQ(os::MessageBox(nullptr, "failed", "Fail : Power", os::kMbOk | os::kMbIconError), os::kIdOk);
}

TEST_F(EmulatedSystem, AMatcherWaitsForItsBoxWhileEarlierBoxesGetOk) {
  MakeWorld(R"({"answers":{"messageBoxes":[{"caption":"Warning","text":"Flash ROM","answer":"cancel"}]}})");
  EXPECT_EQ(os::MessageBox(nullptr, "other", "Warning", os::kMbOkCancel), os::kIdOk);  // text does not fit
  EXPECT_EQ(os::MessageBox(nullptr, "updates the Flash ROM", "Notice", os::kMbOkCancel), os::kIdOk);
  EXPECT_EQ(os::MessageBox(nullptr, "updates the Flash ROM", "Warning", os::kMbOkCancel), os::kIdCancel);
  EXPECT_EQ(os::MessageBox(nullptr, "updates the Flash ROM", "Warning", os::kMbOkCancel), os::kIdOk);
}

TEST_F(EmulatedSystem, NonUtf8TextIsRecordedWithoutLosingTheBox) {
  MakeWorld();
  EXPECT_EQ(os::MessageBox(nullptr, "caf\xE9", "\xC0\xC1", os::kMbOk), os::kIdOk);
  ASSERT_EQ(MessageBoxes().size(), 1u);
}

TEST_F(EmulatedSystem, ShutdownIsRecordedWithTheStateOfThePrivilege) {
  MakeWorld();
  EXPECT_FALSE(os::ExitWindowsEx(os::kEwxPowerOff));  // NT refuses without the privilege
  EXPECT_EQ(os::GetLastError(), 1314u);
  os::EnableShutdownPrivilege();
  EXPECT_TRUE(os::ExitWindowsEx(os::kEwxPowerOff));
  auto events = Events("shutdown");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["privilegeEnabled"], false);
  EXPECT_EQ(events[0]["accepted"], false);
  EXPECT_EQ(events[1]["flags"], 8);
  EXPECT_EQ(events[1]["privilegeEnabled"], true);
  EXPECT_EQ(events[1]["accepted"], true);

  MakeWorld(R"({"windows":{"major":4,"minor":10,"platform":"9x","wow64":false}})");
  EXPECT_TRUE(os::ExitWindowsEx(os::kEwxPowerOff));  // the 9x family has no privileges to enable
  EXPECT_EQ(Events("shutdown")[0]["privilegeEnabled"], false);
}

TEST_F(EmulatedSystem, PriorityClassIsKeptAndRecorded) {
  MakeWorld();
  EXPECT_EQ(os::GetPriorityClass(), os::kNormalPriorityClass);
  EXPECT_TRUE(os::SetPriorityClass(os::kRealtimePriorityClass));
  EXPECT_EQ(os::GetPriorityClass(), os::kRealtimePriorityClass);
  EXPECT_FALSE(os::SetPriorityClass(0x12345));
  EXPECT_EQ(os::GetPriorityClass(), os::kRealtimePriorityClass);
  auto events = Events("priorityClass");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["class"], os::kRealtimePriorityClass);
  MakeWorld();
  EXPECT_EQ(os::GetPriorityClass(), os::kNormalPriorityClass);  // a new world, a new process
}

TEST_F(EmulatedSystem, SleepMovesTheTickCountByWholeTimerPeriods) {
  struct Row {
    const char* patch;
    uint32_t start;
    std::vector<std::pair<uint32_t, uint32_t>> sleeps;  // asked, tick count afterwards
  };
  const Row rows[] = {
      {R"({})", 3600000, {{1, 3600001}, {50, 3600051}, {0, 3600051}}},
      // Windows' default timer: a 1 ms sleep lasts a whole period of 15.625 ms.
      {R"({"windows":{"timerPeriodUs":15625}})", 3600000, {{1, 3600015}, {1, 3600031}, {16, 3600062}, {0, 3600062}}},
      // The count wraps at 2^32 ms.
      {R"({"windows":{"tickCountStart":4294967290}})", 4294967290u, {{5, 4294967295u}, {10, 9}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.patch);
    MakeWorld(r.patch);
    EXPECT_EQ(os::GetTickCount(), r.start);
    for (const auto& [asked, after] : r.sleeps) {
      os::Sleep(asked);
      EXPECT_EQ(os::GetTickCount(), after) << "after Sleep(" << asked << ")";
    }
  }
}

TEST_F(EmulatedSystem, StandardErrorLinesAreRecorded) {
  MakeWorld();
  os::WriteStandardError("can't gzopen x.gz");
  auto events = Events("stderr");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["text"], "can't gzopen x.gz");
}

TEST_F(EmulatedSystem, TranscriptKeepsEveryEventWrittenByConcurrentThreads) {
  MakeWorld();
  constexpr int kPerThread = 200;
  auto writer = [](void* tag) -> uint32_t {
    for (int i = 0; i < kPerThread; ++i)
      emu::Record({{"event", "test"}, {"thread", static_cast<const char*>(tag)}, {"i", i}});
    return 0;
  };
  os::Handle a = os::CreateThread(writer, const_cast<char*>("a"));
  os::Handle b = os::CreateThread(writer, const_cast<char*>("b"));
  ASSERT_EQ(os::WaitForSingleObject(a, 10000), os::kWaitObject0);
  ASSERT_EQ(os::WaitForSingleObject(b, 10000), os::kWaitObject0);
  os::CloseHandle(a);
  os::CloseHandle(b);
  auto events = Events("test");
  ASSERT_EQ(events.size(), 2u * kPerThread);
  int nextA = 0, nextB = 0;
  for (const auto& e : events) {
    int& next = e["thread"] == "a" ? nextA : nextB;
    EXPECT_EQ(e["i"], next);  // each thread's events in its own order
    ++next;
  }
}

}  // namespace

namespace {

TEST(SeamWithoutAWorld, CallsFailOrAnswerPlainlyInsteadOfCrashing) {
  emu::DetachWorld();
  os::VersionInfo info;
  EXPECT_FALSE(os::GetVersionEx(&info));
  os::PowerStatus power;
  EXPECT_FALSE(os::GetSystemPowerStatus(&power));
  uint64_t free = 0;
  EXPECT_FALSE(os::GetDiskFreeSpace(&free));
  char buffer[64];
  EXPECT_EQ(os::GetEnvironmentVariable("TEMP", buffer, sizeof buffer), 0u);
  EXPECT_EQ(os::CreateFile("C:\\a.txt", os::kGenericRead, 0, os::kOpenExisting, 0), os::InvalidHandle());
  EXPECT_EQ(os::MessageBox(nullptr, "text", "caption", os::kMbOkCancel), os::kIdOk);
}

}  // namespace
