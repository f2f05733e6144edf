// The native test program that stands in for a flash tool ("SWinFlash exit -120" ends with that
// code), and the working directory the tool tests run it in.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace stand_in_tool {

inline constexpr const char* kWorkDir = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update\\";

// The stand-in's program file, read once: placed in the working directory under a tool's name.
inline const std::string& Bytes() {
    static const std::string bytes = [] {
        std::ifstream in(EMU_TEST_CHILD, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }();
    return bytes;
}

}  // namespace stand_in_tool
