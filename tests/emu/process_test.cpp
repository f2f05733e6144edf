#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "emu/process.h"
#include "emu/world.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

std::string ChildBytes() {
  std::ifstream in(EMU_TEST_CHILD, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class EmulatedProcesses : public EmulatedWorldTest {
 protected:
  void SetUp() override {
    MakeWorld();
    static const std::string bytes = ChildBytes();
    child_ = bytes;
    ASSERT_FALSE(child_.empty());
  }

  // Runs commandLine to its end; the exit code, or ~0 when it did not start.
  uint32_t Run(const std::string& commandLine, const char* directory = nullptr) {
    os::ProcessInfo info;
    if (!os::CreateProcess(nullptr, commandLine.c_str(), directory, &info)) return ~0u;
    EXPECT_EQ(os::WaitForSingleObject(info.process, os::kInfinite), os::kWaitObject0);
    uint32_t code = 0;
    EXPECT_TRUE(os::GetExitCodeProcess(info.process, &code));
    os::CloseHandle(info.thread);
    os::CloseHandle(info.process);
    return code;
  }

  std::string child_;
};

TEST_F(EmulatedProcesses, FirstWordNamesTheProgramWithExeAppendedAndTheRestReachesIt) {
  PutFile("C:\\Tools\\Child.exe", child_);
  ASSERT_EQ(Run("C:\\tools\\child report /P \"two words\"", "C:\\users"), 0u);
  auto reports = Events("child");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["argv"], nlohmann::json({"report", "/P", "two words"}));
  EXPECT_EQ(reports[0]["commandLine"], "C:\\tools\\child report /P \"two words\"");
  EXPECT_EQ(reports[0]["environmentCommandLine"], "C:\\tools\\child report /P \"two words\"");
  EXPECT_EQ(reports[0]["directory"], "C:\\users");
  EXPECT_EQ(reports[0]["hostDirectory"], root_ + "/C/Users");
  EXPECT_EQ(reports[0]["program"], "C:\\tools\\child.exe");  // as the command line spells it
  auto processes = Events("process");
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0]["commandLine"], "C:\\tools\\child report /P \"two words\"");
  EXPECT_EQ(processes[0]["directory"], "C:\\users");
  EXPECT_EQ(processes[0]["started"], true);
  EXPECT_EQ(processes[0]["exitCode"], 0);
}

TEST_F(EmulatedProcesses, ChildWithoutDirectoryStartsInTheParentsCurrentDirectory) {
  PutFile("C:\\Tools\\child.exe", child_);
  ASSERT_TRUE(os::SetCurrentDirectory("C:\\Tools"));
  ASSERT_EQ(Run("child.exe report"), 0u);
  EXPECT_EQ(Events("child")[0]["directory"], "C:\\Tools");
}

TEST_F(EmulatedProcesses, BareNameIsFoundBesideTheProgramThenInTheCurrentDirectory) {
  PutFile("C:\\Users\\tech\\Desktop\\helper.exe", child_);
  ASSERT_TRUE(os::SetCurrentDirectory("C:\\"));
  EXPECT_EQ(Run("helper report"), 0u);
  EXPECT_EQ(Events("child")[0]["program"], "C:\\Users\\tech\\Desktop\\helper.exe");
}

TEST_F(EmulatedProcesses, ANameWithAnExtensionIsTakenAsWritten) {
  PutFile("C:\\Tools\\child.com", child_);
  EXPECT_EQ(Run("C:\\Tools\\child.com report"), 0u);
  EXPECT_EQ(Run("C:\\Tools\\child report"), ~0u);  // "child.exe" does not exist
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
}

TEST_F(EmulatedProcesses, UnquotedNameWithBlanksIsTriedAtEachBlankAndQuotedNameAsAWhole) {
  PutFile("C:\\Program Files\\Tool.exe", child_);
  EXPECT_EQ(Run("\"C:\\Program Files\\Tool\" report x"), 0u);
  EXPECT_EQ(Events("child")[0]["argv"], nlohmann::json({"report", "x"}));
  // Unquoted, Windows runs it too, and the child's runtime sees "Files\Tool" as a word.
  EXPECT_EQ(Run("C:\\Program Files\\Tool report"), 98u);
  EXPECT_EQ(Events("process")[1]["program"], "C:\\Program Files\\Tool.exe");
}

TEST_F(EmulatedProcesses, StartFailuresAreReportedAndRecorded) {
  PutFile("C:\\Tools\\notes.exe", "just text");
  struct Row {
    const char* commandLine;
    const char* directory;
    uint32_t error;
  };
  const Row rows[] = {
      {"C:\\Tools\\missing report", nullptr, os::kErrorFileNotFound},
      {"C:\\Tools\\notes report", nullptr, 193},
      {"C:\\Tools\\notes report", "C:\\NoSuchFolder", 267},
      {"", nullptr, os::kErrorFileNotFound},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.commandLine);
    os::ProcessInfo info;
    EXPECT_FALSE(os::CreateProcess(nullptr, r.commandLine, r.directory, &info));
    EXPECT_EQ(os::GetLastError(), r.error);
  }
  auto processes = Events("process");
  ASSERT_EQ(processes.size(), 4u);
  EXPECT_EQ(processes[0]["started"], false);
  EXPECT_EQ(processes[0]["error"], os::kErrorFileNotFound);
}

TEST_F(EmulatedProcesses, ExitCodesKeepAllThirtyTwoBitsAndCrashesReadAsExceptions) {
  PutFile("C:\\Tools\\child.exe", child_);
  // The crash must reach the host as a signal, not as the sanitizer's report.
  const char* before = std::getenv("ASAN_OPTIONS");
  std::string saved = before != nullptr ? before : "";
  setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "handle_segv=0:allow_user_segv_handler=1").c_str(), 1);
  struct Row {
    const char* arguments;
    uint32_t code;
  };
  const Row rows[] = {
      {"exit 0", 0},
      {"exit 0x80000013", 0x80000013u},
      {"exit 0xFFFFFFFF", 0xFFFFFFFFu},
      {"exit 256", 256},
      {"plain 3", 3},  // a program that just returns
      {"crash", 0xC0000005u},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.arguments);
    EXPECT_EQ(Run(std::string("C:\\Tools\\child ") + r.arguments), r.code);
  }
  if (before != nullptr) setenv("ASAN_OPTIONS", saved.c_str(), 1); else unsetenv("ASAN_OPTIONS");
  auto processes = Events("process");
  ASSERT_EQ(processes.size(), 6u);
  EXPECT_EQ(processes[1]["exitCode"], 0x80000013u);
  EXPECT_EQ(processes[5]["exitCode"], 0xC0000005u);
}

TEST_F(EmulatedProcesses, RunningChildReportsStillActiveAndTimedWaitsTimeOut) {
  PutFile("C:\\Tools\\child.exe", child_);
  os::ProcessInfo info;
  ASSERT_TRUE(os::CreateProcess(nullptr, "C:\\Tools\\child sleep 400", nullptr, &info));
  uint32_t code = 0;
  EXPECT_TRUE(os::GetExitCodeProcess(info.process, &code));
  EXPECT_EQ(code, 259u);
  EXPECT_EQ(os::WaitForSingleObject(info.process, 10), os::kWaitTimeout);
  EXPECT_EQ(os::WaitForSingleObject(info.thread, os::kInfinite), os::kWaitObject0);
  EXPECT_TRUE(os::GetExitCodeProcess(info.process, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(os::GetExitCodeProcess(info.thread, &code));  // a thread handle is not a process
  os::CloseHandle(info.thread);
  os::CloseHandle(info.process);
}

TEST_F(EmulatedProcesses, ChildSeesTheFlushedStateAndItsChangesComeBack) {
  PutFile("C:\\Tools\\child.exe", child_);
  {
    auto lock = emu::LockState();
    emu::State()["parent"] = "before the child";
  }
  ASSERT_EQ(Run("C:\\Tools\\child state written-by-child"), 0u);
  auto lock = emu::LockState();
  EXPECT_EQ(emu::State()["child"], "written-by-child");
  EXPECT_EQ(emu::State()["parent"], "before the child");
}

TEST(CommandLineWords, SplitAsACRuntimeSplitsArgv) {
  struct Row {
    const char* text;
    std::vector<std::string> words;
  };
  const Row rows[] = {
      {"a b  c", {"a", "b", "c"}},
      {"  lead\ttab ", {"lead", "tab"}},
      {"\"two words\" x", {"two words", "x"}},
      {"/S\"serial no\"", {"/Sserial no"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"a\\\"b", {"a\"b"}},
      {"C:\\dir\\x.exe", {"C:\\dir\\x.exe"}},
      {"\"\"", {""}},
      {"", {}},
  };
  for (const Row& r : rows) EXPECT_EQ(emu::SplitCommandLine(r.text), r.words) << r.text;
}

TEST(CommandLineWords, ArgumentsFollowTheProgramNameAsWinMainGetsThem) {
  struct Row {
    const char* commandLine;
    const char* arguments;
  };
  const Row rows[] = {
      {"\"C:\\Program Files\\x.exe\" /a /b", "/a /b"},
      {"C:\\x.exe   /a", "/a"},
      {"C:\\x.exe", ""},
      {"\"C:\\x.exe\"", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(emu::ArgumentsOf(r.commandLine), r.arguments) << r.commandLine;
}

TEST(ExitCodes, HostWaitStatusesBecomeWindowsExitCodes) {
  struct Row {
    int status;
    uint32_t code;
  };
  const Row rows[] = {
      {0x0300, 3},                       // exited with 3
      {0x0000, 0},
      {SIGSEGV, 0xC0000005u}, {SIGBUS, 0xC0000005u}, {SIGILL, 0xC000001Du},
      {SIGFPE, 0xC0000094u},  {SIGABRT, 0xC0000409u}, {SIGKILL, 1},
  };
  for (const Row& r : rows) EXPECT_EQ(emu::ExitCodeOfWaitStatus(r.status), r.code) << r.status;
}

}  // namespace
