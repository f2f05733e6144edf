// A GoogleTest fixture that gives each test a fresh emulated world.
//
// MakeWorld lays out a new root from emu/machines/default.json with a patch merged over it
// (objects key by key; every other value, null included, replaces: {"windows":{"temp":null}}
// takes TEMP away) and attaches the test process to it, as the program the profile names.
// TearDown detaches and removes the root.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class EmulatedWorldTest : public ::testing::Test {
 protected:
  // A fresh world from emu/machines/default.json with `patch` merged over it.
  void MakeWorld(const std::string& patch = "{}");
  void TearDown() override;  // detaches and removes the root
  std::string HostPath(const std::string& windowsPath);
  void PutFile(const std::string& windowsPath, const std::string& bytes);  // makes folders
  bool FileExists(const std::string& windowsPath);
  std::string ReadFileBytes(const std::string& windowsPath);
  std::vector<nlohmann::json> MessageBoxes();
  std::vector<nlohmann::json> Events(const std::string& kind);

  // The root of the current world (empty before MakeWorld).
  std::string root_;
};

// The path of a machine profile of emu/machines/ ("default.json").
std::string MachineProfilePath(const std::string& name);
