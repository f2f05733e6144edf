// The AMI path of the update (romshell only): the AMI flash tool with "bios.rom", after the
// program itself has compared versions and part numbers.
#pragma once

#include "core/result_codes.h"

constexpr const char kAmiBiosCommand32[] = "afuwin bios.rom /p /b /n /e /r";
constexpr const char kAmiBiosCommand64[] = "afuwinx64 bios.rom /p /b /n /e /r";

// Sets micomToolCommand (the MICOM default) and biosToolCommand (the AMI tool for the Windows
// bitness), then consumes commandLine word by word. Each word is upper-cased and must be one of
// the MICOM options, with "/" or "-"; anything else, a word of more than 255 characters, or a
// MICOM command line that would outgrow its buffer gives kResultInvalidOption.
ResultCode ParseAmiOptions(char* commandLine, char* micomToolCommand, char* biosToolCommand);

// The AMI path after the package has been unpacked, to its end: returns the run's result.
ResultCode RunAmiUpdate(char* commandLine);
