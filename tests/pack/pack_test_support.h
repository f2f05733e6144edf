// Folders, files and runs of romshell-pack for the release tool's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace packtest {

namespace fs = std::filesystem;

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t U32At(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
    return v;
}

// A stand-in program file: "MZ", zeros, and the unpacker marker of a variant ("" for none).
inline std::string Program(const std::string& marker = "UnPaCkErSiG@Version 2.02", size_t size = 4096) {
    std::string program(size, '\0');
    program[0] = 'M';
    program[1] = 'Z';
    if (!marker.empty()) program.replace(512, marker.size() + 1, marker + '\0');
    return program;
}

// A fresh folder per test, removed afterwards.
class TempFolderTest : public ::testing::Test {
  public:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(::testing::TempDir()) / (std::string("romshell-pack-") + info->test_suite_name() + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path Path(const std::string& name) const { return dir_ / name; }
    std::string PathText(const std::string& name) const { return Path(name).string(); }

    fs::path dir_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a command line through the shell with stdout and stderr captured.
inline RunResult RunCommand(const std::string& commandLine, const fs::path& scratch) {
    fs::path out = scratch / "run.stdout";
    fs::path err = scratch / "run.stderr";
    int status = std::system((commandLine + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadBytes(out);
    result.err = ReadBytes(err);
    fs::remove(out);
    fs::remove(err);
    return result;
}

}  // namespace packtest
