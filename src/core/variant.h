// Which deliverable this copy of the program is: romshell (both BIOS vendors) or romshell-phx
// (Phoenix notebooks only).
//
// The program's sources are built twice. What differs between the two programs is written once,
// here, as data: one definition of `kVariant` per program (app/variant_romshell.cpp,
// app/variant_romshell_phx.cpp), chosen by the build as the seam's implementation is. Code asks the
// record. Only code that romshell-phx does not carry at all (the AMI path) is left out with
// `#if !ROMSHELL_PHX`.
#pragma once

#ifndef ROMSHELL_PHX
#error "ROMSHELL_PHX must be defined by the build (0 for romshell, 1 for romshell-phx)"
#endif

struct Variant {
    const char* programName;        // "romshell" or "romshell-phx"
    const char* unpackerMarker;     // the marker text in the program file (see the definitions)
    // The debug log carries the step lines ("Step 00", "01. Start to Unpack", ...) and the
    // details of each step ("Check Chip Vendor", "KEY OFF Start", ...).
    bool logsSteps;
    // The command line is parsed at the start, before the package is read; the package's default
    // options are then added to the word instead of replacing it.
    bool parsesOptionsFirst;
    // Chip identification 0x85 counts as the newer controller kind besides 0x4D.
    bool knowsSecondNewEcChip;
    // The newer controller is reached through its mailbox when logical device 9 is active.
    bool usesEcMailbox;
    // What happens when the display utility's devices (Windows 6.0 and 6.1) cannot be opened:
    // nullptr, the open fails and its caller decides; otherwise a function of the program that ends
    // the run (it shows "Driver Load Fail" and ends the process).
    void (*endWithoutDisplayUtility)();
    // The keyboard controller is reached through probes of its own with pauses between them, and
    // turned on interfaces first, without discarding a pending byte.
    bool keyboardOwnProbes;
    // The AMI path exists: AMI detection, the AMI flash, the AMI tool set and the "_ami" resource
    // libraries.
    bool hasAmiPath;
};

extern const Variant kVariant;
