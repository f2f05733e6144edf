#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "emu/process.h"
#include "emu/world.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

namespace fs = std::filesystem;

struct FaceRun {
  int status = -1;  // the host exit status
  std::string out;  // standard output and standard error
};

std::string Quote(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

FaceRun RunFace(const std::vector<std::string>& arguments) {
  std::string command = Quote(EMU_TEST_PROGRAM);
  for (const std::string& a : arguments) command += " " + Quote(a);
  command += " 2>&1";
  FaceRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class EmulatedProgramFace : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("emulated-face-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    fs::create_directories(base_);
    root_ = (base_ / "world").string();
  }
  void TearDown() override {
    emu::DetachWorld();
    fs::remove_all(base_);
  }

  std::string WriteProfile(const std::string& text) {
    std::string path = (base_ / "profile.json").string();
    std::ofstream(path) << text;
    return path;
  }

  std::vector<nlohmann::json> EventsOfWorld(const std::string& kind) {
    std::string error;
    EXPECT_TRUE(emu::AttachWorld(root_, &error)) << error;
    return emu::TranscriptOf(kind);
  }

  fs::path base_;
  std::string root_;
};

TEST_F(EmulatedProgramFace, RunsTheProgramOnAFreshWorldAndPrintsWhatAPersonSaw) {
  FaceRun run = RunFace({"--machine", MachineProfilePath("default.json"), "--root", root_, "--", "box", "whoami",
                         "code=0x80000013"});
  EXPECT_EQ(run.status, 0x13) << run.out;
  EXPECT_NE(run.out.find("message box \"Greeting\" (style 0x41) answered OK\n    Hello\n    World\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("exit code 0x80000013"), std::string::npos) << run.out;
  // The program file lies where the profile says: this executable, with no package behind it.
  EXPECT_EQ(FileBytes(root_ + "/C/Users/tech/Desktop/romshell.exe"), FileBytes(EMU_TEST_PROGRAM));
  auto whoami = EventsOfWorld("whoami");
  ASSERT_EQ(whoami.size(), 1u);
  EXPECT_EQ(whoami[0]["commandLine"], "box whoami code=0x80000013");
  EXPECT_EQ(whoami[0]["module"], "C:\\Users\\tech\\Desktop\\romshell.exe");
  EXPECT_EQ(whoami[0]["directory"], "C:\\Users\\tech\\Desktop");
  auto exits = emu::TranscriptOf("exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0]["code"], 0x80000013u);
  EXPECT_EQ(emu::TranscriptOf("start")[0]["commandLine"],
            "\"C:\\Users\\tech\\Desktop\\romshell.exe\" box whoami code=0x80000013");
}

TEST_F(EmulatedProgramFace, AnswersOfTheProfileDecideTheRun) {
  std::string profile = WriteProfile(R"({"answers":{"messageBoxes":["cancel"]}})");
  FaceRun run = RunFace({"--machine", profile, "--root", root_, "--", "box", "code=0"});
  EXPECT_EQ(run.status, 7) << run.out;
  EXPECT_NE(run.out.find("answered Cancel"), std::string::npos) << run.out;
}

TEST_F(EmulatedProgramFace, ExitProcessRecordsTheFullCodeAndEndsWithItsLowByte) {
  FaceRun run = RunFace({"--machine", MachineProfilePath("default.json"), "--root", root_, "--", "exitprocess",
                         "code=1"});
  EXPECT_EQ(run.status, 0x0E) << run.out;
  EXPECT_NE(run.out.find("exit code 0x8000000E"), std::string::npos) << run.out;
  auto exits = EventsOfWorld("exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0]["code"], 0x8000000Eu);
}

TEST_F(EmulatedProgramFace, ShutdownIsPartOfTheSummary) {
  FaceRun run = RunFace({"--machine", MachineProfilePath("default.json"), "--root", root_, "--", "shutdown"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("shutdown (flags 0x8)\n"), std::string::npos) << run.out;
}

TEST_F(EmulatedProgramFace, ProgramFileGivenIsPlacedAtTheProfilesPath) {
  std::string file = (base_ / "packaged.exe").string();
  std::ofstream(file) << "MZ packaged";
  std::string profile = WriteProfile(R"({"windows":{"programPath":"C:\\Updates\\Update.exe"}})");
  FaceRun run = RunFace({"--machine", profile, "--root", root_, "--program", file, "--", "whoami"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(FileBytes(root_ + "/C/Updates/Update.exe"), "MZ packaged");
  EXPECT_EQ(EventsOfWorld("whoami")[0]["module"], "C:\\Updates\\Update.exe");
}

TEST_F(EmulatedProgramFace, BadArgumentsAndProfilesEndWithAClearError) {
  std::string badProfile = WriteProfile(R"({"windows":{"major":"ten"}})");
  fs::create_directories(base_ / "foreign");
  std::ofstream(base_ / "foreign" / "keep.txt") << "mine";
  struct Row {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Row rows[] = {
      {{}, "--machine is required"},
      {{"--machine", (base_ / "missing.json").string()}, "cannot read"},
      {{"--machine", badProfile, "--root", root_}, "windows.major: expected an unsigned integer"},
      {{"--machine", MachineProfilePath("default.json"), "--root", (base_ / "foreign").string()}, "refusing to clear"},
      {{"--machine", MachineProfilePath("default.json"), "--program", (base_ / "nothing.exe").string()}, "nothing.exe"},
      {{"--machine", MachineProfilePath("default.json"), "--bogus"}, "--bogus"},
  };
  for (const Row& r : rows) {
    FaceRun run = RunFace(r.arguments);
    EXPECT_EQ(run.status, 125) << run.out;
    EXPECT_NE(run.out.find(r.message), std::string::npos) << run.out;
  }
  EXPECT_EQ(FileBytes((base_ / "foreign" / "keep.txt").string()), "mine");
}

class EmulatedProgramAsChild : public EmulatedWorldTest {};

TEST_F(EmulatedProgramAsChild, StartedByCreateProcessItAttachesAndHandsBackItsFullCode) {
  MakeWorld();
  PutFile("C:\\Tools\\prog.exe", FileBytes(EMU_TEST_PROGRAM));
  os::ProcessInfo info;
  ASSERT_TRUE(os::CreateProcess(nullptr, "C:\\Tools\\prog whoami code=0x80000005", "C:\\Users", &info));
  ASSERT_EQ(os::WaitForSingleObject(info.process, os::kInfinite), os::kWaitObject0);
  uint32_t code = 0;
  ASSERT_TRUE(os::GetExitCodeProcess(info.process, &code));
  EXPECT_EQ(code, 0x80000005u);
  os::CloseHandle(info.thread);
  os::CloseHandle(info.process);
  auto whoami = Events("whoami");
  ASSERT_EQ(whoami.size(), 1u);
  EXPECT_EQ(whoami[0]["commandLine"], "whoami code=0x80000005");
  EXPECT_EQ(whoami[0]["module"], "C:\\Tools\\prog.exe");
  EXPECT_EQ(whoami[0]["directory"], "C:\\Users");
  EXPECT_EQ(Events("exit")[0]["code"], 0x80000005u);
}

}  // namespace
