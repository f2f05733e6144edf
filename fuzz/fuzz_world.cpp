#include "fuzz/fuzz_world.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "emu/profile.h"
#include "emu/world.h"

namespace fuzz {
namespace {

std::filesystem::path gRoot;

}  // namespace

bool MakeWorld(const char* target, const char* profile) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + target + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    gRoot = pattern;
    std::atexit([] {
        emu::DetachWorld();
        std::error_code ec;
        std::filesystem::remove_all(gRoot, ec);
    });
    std::string text, error;
    const std::string path = std::string(ROMSHELL_SOURCE_DIR) + "/emu/machines/" + profile + ".json";
    if (!emu::ReadTextFile(path, &text, &error) || !emu::CreateWorld(pattern, text, &error)) {
        std::fprintf(stderr, "%s: no emulated world: %s\n", target, error.c_str());
        return false;
    }
    return true;
}

void Fail(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::abort();
}

}  // namespace fuzz
