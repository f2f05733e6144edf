// Which deliverable this copy of the program is built as.
//
// The program's sources are compiled twice: once as romshell (both BIOS vendors) and once as
// romshell-phx (the same program without the AMI path and with the small differences of that
// deliverable). ROMSHELL_PHX is set by the build for the second.
#pragma once

#ifndef ROMSHELL_PHX
#error "ROMSHELL_PHX must be defined by the build (0 for romshell, 1 for romshell-phx)"
#endif

inline constexpr bool kPhxVariant = ROMSHELL_PHX != 0;
