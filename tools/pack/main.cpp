// romshell-pack: builds the update package behind a program file, and lists, extracts and
// verifies packed programs. Exit codes: 0 done, 1 problems (one line each on stderr), 2 usage.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "pack.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

int Report(const pack::Problems& problems) {
    for (const std::string& line : problems) std::cerr << "romshell-pack: " << line << "\n";
    return problems.empty() ? kExitOk : kExitProblems;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Builds the update package behind a romshell program file, and lists, extracts and verifies packed "
                 "programs.\nExit codes: 0 done, 1 problems found (one line each), 2 wrong usage.",
                 "romshell-pack"};
    app.require_subcommand(1);

    pack::BuildRequest build;
    std::string optionsText;
    CLI::App* buildCommand = app.add_subcommand("build", "Pack the files of a folder behind a program file");
    buildCommand->add_option("--program", build.program, "The program file, as built")->required();
    buildCommand->add_option("--from", build.from, "The folder whose files become the package's entries")->required();
    buildCommand
        ->add_option("--options", optionsText,
                     "The package's default options: a number (decimal or 0x hex) or flag names joined by commas, "
                     "e.g. MarkLastFlashBlock,ClearCmosOnUpdate")
        ->required();
    buildCommand->add_option("-o,--output", build.output, "The packed program to write")->required();

    std::string listFile;
    CLI::App* listCommand = app.add_subcommand("list", "Show a packed program's package and its entries");
    listCommand->add_option("FILE", listFile, "The packed program")->required();
    bool listSha256 = false;
    listCommand->add_flag("--sha256", listSha256, "Show the SHA-256 of each unpacked file (for the release notes)");

    std::string extractFile, extractFolder;
    CLI::App* extractCommand = app.add_subcommand("extract", "Unpack every entry into a folder");
    extractCommand->add_option("FILE", extractFile, "The packed program")->required();
    extractCommand->add_option("-o,--output", extractFolder, "The folder to unpack into (made when missing)")->required();

    std::string verifyFile;
    std::string variant;
    CLI::App* verifyCommand = app.add_subcommand("verify", "Check a packed program before release");
    verifyCommand->add_option("FILE", verifyFile, "The packed program")->required();
    verifyCommand
        ->add_option("--variant", variant,
                     "romshell or romshell-phx; without it the program's unpacker marker decides")
        ->check(CLI::IsMember({"romshell", "romshell-phx"}));
    bool forTests = false;
    verifyCommand->add_flag("--for-tests", forTests,
                            "A package for the tests: stand-in tools and the test bench's driver are warnings, not "
                            "errors (such a package is never released)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    pack::Problems problems;
    if (*buildCommand) {
        std::string error;
        if (!pack::ParseOptions(optionsText, &build.options, &error)) {
            std::cerr << "romshell-pack: --options: " << error << "\n";
            return kExitUsage;
        }
        pack::BuildPackage(build, &problems);
        return Report(problems);
    }
    if (*listCommand) {
        pack::PackageInfo info;
        if (pack::ReadPackage(listFile, &info, &problems)) {
            pack::CheckMembers(listFile, &info, &problems);
            // The listing shows the signature's state; refusing it is verify's part.
            pack::Problems signatureProblems;
            pack::CheckSignature(listFile, &info, &signatureProblems);
            std::cout << pack::FormatListing(listFile, info, listSha256);
        }
        return Report(problems);
    }
    if (*extractCommand) {
        pack::ExtractPackage(extractFile, extractFolder, &problems);
        return Report(problems);
    }
    std::string summary;
    pack::Problems warnings;
    bool good = pack::VerifyPackage(verifyFile, variant.empty() ? std::nullopt : std::optional<std::string>(variant),
                                    &problems, &summary, &warnings, forTests);
    for (const std::string& line : warnings) std::cerr << "romshell-pack: warning: " << line << "\n";
    if (good) std::cout << summary << ": good\n";
    return Report(problems);
}
