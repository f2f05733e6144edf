#include "tests/support/emulated_world.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "emu/profile.h"
#include "emu/winfs.h"
#include "emu/world.h"

namespace fs = std::filesystem;

std::string MachineProfilePath(const std::string& name) {
  return std::string(ROMSHELL_SOURCE_DIR) + "/emu/machines/" + name;
}

void EmulatedWorldTest::MakeWorld(const std::string& patch) {
  if (!root_.empty()) TearDown();
  std::string text, error;
  ASSERT_TRUE(emu::ReadTextFile(MachineProfilePath("default.json"), &text, &error)) << error;
  nlohmann::json base = nlohmann::json::parse(text);
  nlohmann::json change = nlohmann::json::parse(patch, nullptr, false);
  ASSERT_FALSE(change.is_discarded()) << "the patch is not JSON: " << patch;

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/emulated-world-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  ASSERT_NE(mkdtemp(buffer.data()), nullptr);
  root_ = buffer.data();
  ASSERT_TRUE(emu::CreateWorld(root_, emu::MergeProfile(base, change).dump(), &error)) << error;
}

void EmulatedWorldTest::TearDown() {
  emu::DetachWorld();
  if (!root_.empty()) {
    std::error_code ec;
    fs::remove_all(root_, ec);
    root_.clear();
  }
}

std::string EmulatedWorldTest::HostPath(const std::string& windowsPath) { return emu::HostPathOf(windowsPath); }

void EmulatedWorldTest::PutFile(const std::string& windowsPath, const std::string& bytes) {
  emu::ResolvedPath r;
  ASSERT_EQ(emu::ResolveWindowsPath(windowsPath, &r, false, false), 0u) << windowsPath;
  std::string folder = r.windows.substr(0, r.windows.rfind('\\'));
  if (folder.size() > 2) {
    ASSERT_EQ(emu::MakeWindowsFolders(folder), 0u) << folder;
  }
  std::ofstream out(emu::HostPathOf(r.windows), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << windowsPath;
}

bool EmulatedWorldTest::FileExists(const std::string& windowsPath) {
  emu::ResolvedPath r;
  return emu::ResolveWindowsPath(windowsPath, &r, false, false) == 0 && r.exists && !r.isDirectory;
}

std::string EmulatedWorldTest::ReadFileBytes(const std::string& windowsPath) {
  std::ifstream in(emu::HostPathOf(windowsPath), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<nlohmann::json> EmulatedWorldTest::MessageBoxes() { return emu::TranscriptOf("messageBox"); }

std::vector<nlohmann::json> EmulatedWorldTest::Events(const std::string& kind) { return emu::TranscriptOf(kind); }
