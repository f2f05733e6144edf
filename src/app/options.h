// The command-line options of the Phoenix path and the two flash-tool command lines.
#pragma once

#include "core/result_codes.h"

constexpr int kCommandSize = 256;
constexpr const char kDefaultBiosCommand[] = "SWinFlash bios.wph /P";
constexpr const char kDefaultMicomCommand[] = "WinUpV01_10 kbc.bin /FORCE";

// Writes the default tool command lines, then consumes commandLine option by option, adding bits
// to the run's flag word and switches to the command lines. 0, or kResultInvalidOption at the
// first token that is no option, is longer than 255 characters, or would make a command line
// longer than 255 characters.
ResultCode ParseRunOptions(char* micomToolCommand, char* biosToolCommand, char* commandLine);
