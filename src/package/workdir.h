// The working directory, the staging of the flash tools and the clean-up after a run.
//
// Every operation works on the current directory; renames and deletions that do not succeed are
// ignored. Only the directory failure and the searches' codes reach the update sequence.
#pragma once

#include "core/result_codes.h"

#if !ROMSHELL_PHX
// Extracts the access driver file into the TEMP directory ("C:\" without TEMP) and leaves that
// directory current. 1 when the file was extracted.
int PrepareLegacyDriver();
// Extracts the access driver for the running Windows into the current directory and notes which
// it is (ctx.accessDriver64): "AddMem64.sys" on 64-bit Windows when the package carries it, else
// "AddMem.sys". True when one was extracted.
bool ExtractAccessDriver();
#endif

// After the package has been extracted into the working directory: the access driver installed
// from there is "AddMem64.sys" on 64-bit Windows when the package carried it, else "AddMem.sys"
// (ctx.accessDriver64).
void ChooseUnpackedAccessDriver();
// Builds workDir (TEMP + "__Korvane_Update\"), empties or creates it and makes it current.
ResultCode PrepareWorkingDirectory();
void CleanWorkingDirectory();

void StagePhoenixTools32();
void StagePhoenixTools64();

void RemovePhoenixSet64();
void RemovePhoenixSet32();
void RemovePhoenixWorkingSet();
#if !ROMSHELL_PHX
void RemoveAmiToolSet();
#endif
void RemoveMicomTool();
void RemoveAccessDriverFile();
void RemoveFlashLog();
void RemoveResourceModules();
void RemoveCandidatesAndRuntime();
void CleanUpWorkingFiles();

ResultCode FindBiosImages();
#if !ROMSHELL_PHX
ResultCode FindAmiImages();
#endif
ResultCode FindMicomFiles();
