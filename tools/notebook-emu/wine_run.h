// notebook-emu's Wine bench: the real Windows program, packed, runs under Wine on the emulated
// notebook of a profile.
//
// A world is made from the profile as for an emulated run, and drive C: of a Wine prefix is the
// world's drive C:, so that the program, its TEMP, its working folder and the tools' files are
// the world's files. The prefix is made for the run from a prefix made once per bitness (its
// Windows folder is shared), with the profile's Windows version, language, TEMP and power
// supply. The bench server (bench_server.h) serves the ADDMEM driver, the tools' Windows builds
// and the watcher; the program runs on a virtual display (Xvfb) unless told to run without one.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace notebook_emu {

struct WineRun {
    std::string machineFile;
    std::string programFile;
    std::string root;             // the world's folder (absolute)
    std::string variant;
    int timeoutSeconds = 300;     // the whole run under Wine; 0: no limit
    std::vector<std::string> options;
    std::string benchFolder;      // bench-watch.exe
    std::string toolFolder;       // the tools' Linux builds
    std::string templateFolder;   // the prefixes made once, one per bitness
    bool display = true;
};

// Runs the program under Wine to its end (or the time limit) and leaves the world for the
// report; *run receives what notebook-emu keeps of the run. False with a reason when the run
// could not be set up.
bool RunUnderWine(const WineRun& wine, nlohmann::json* run, std::string* error);

// What Wine's relay trace of the program shows that the bench has no other way to see: calls
// of ExitWindowsEx and CreateProcess that failed, as transcript events.
std::vector<nlohmann::json> RelayEvents(const std::string& trace);

// Wine's name of a Windows version ("win10"), empty when Wine has none for it.
std::string WineVersionName(int major, int minor, bool nt);
// The Linux locale that makes Wine's system language the language id ("fr_FR.UTF-8").
std::string LocaleOfLanguage(unsigned languageId);

}  // namespace notebook_emu
