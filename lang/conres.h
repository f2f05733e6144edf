// Head of every language library script: the resource definitions, the vendor set being built,
// and the character sets the dialog fonts name.
//
// ROMSHELL_AMI (0 or 1) tells which set is built from the script: 0 for ConRes<Code>.dll, loaded
// on Phoenix platforms, 1 for ConRes<Code>_ami.dll, loaded on AMI platforms. The two sets hold the
// same ids; a text differs only where the AMI path does something else, and each script says
// where.
#pragma once
#include <winresrc.h>

#ifndef ROMSHELL_AMI
#error "ROMSHELL_AMI must be defined by the build (0: Phoenix set, 1: AMI set)"
#endif

// Font character sets (the values of the GDI header, which the resource headers do not carry).
// A dialog font with the script's character set makes Windows pick a face that has its glyphs even
// when the named face is missing.
#define CONRES_ANSI_CHARSET 0
#define CONRES_HANGEUL_CHARSET 129
#define CONRES_GB2312_CHARSET 134
#define CONRES_CHINESEBIG5_CHARSET 136
#define CONRES_RUSSIAN_CHARSET 204
