// The working directory, the staging of the flash tools and the clean-up after a run.
//
// Every operation works on the current directory; renames and deletions that do not succeed are
// ignored. Only the directory failure and the searches' codes reach the update sequence.
#pragma once

#include "core/result_codes.h"

// The folder "Startup" inside the working folder (under TEMP, or "C:\" without TEMP): the files
// needed before the working folder is prepared (the access driver, the language library) are
// extracted there. Makes the working folder and that folder the run's own and the latter current.
// 1 on success.
int EnterStartupFolder();
#if !ROMSHELL_PHX
// Extracts the access driver file into the startup folder and leaves that folder current. 1 when
// the file was extracted.
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
// Builds workDir (TEMP + "__Korvane_Update\"), makes it the run's own (emptied when an earlier
// run left it) and current.
ResultCode PrepareWorkingDirectory();
// Lets go of the working folders the run holds (the process's end does it too), so that a next
// run in the same process makes them its own again.
void ReleaseWorkingFolders();
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
