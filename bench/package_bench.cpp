// Benchmark of the package reader, as the program runs on Linux (through the emulated file system).
//
//  1. Builds, with romshell-pack's logic, a package of 37 entries holding 100 MiB of mixed data
//     (incompressible, text-like, sparse and structured runs), then times, in the same run and in
//     alternating rounds, the program's ExtractAllEntries and `gzip -dc` of the same 37 members,
//     and prints the best time of each and their ratio (target: within 1.15 x gzip's).
//  2. Times a 4096-byte copy of the package file through the seam (os::ReadFile/os::WriteFile)
//     against the same copy with the host's read/write, to show what the emulated file system adds.
//  3. Extracts a package with one 2 MiB entry and one with one 200 MiB entry, each in a process of
//     its own, and prints each process's peak resident memory during the extraction (the peak is
//     reset after the emulated world is set up) (target: less than 1 MiB apart).
//
// package_bench [--rounds N] [--keep]      (scratch files under $TMPDIR, removed unless --keep)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/context.h"
#include "emu/profile.h"
#include "emu/world.h"
#include "os/os.h"
#include "pack.h"
#include "package/package.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";
constexpr const char kExtraction[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update";
constexpr size_t kMiB = 1024 * 1024;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "package_bench: %s\n", what.c_str());
    std::exit(1);
}

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Mixed data in 64 KiB blocks of four kinds, the mix depending on the seed: incompressible bytes,
// text-like words, sparse blocks (mostly zeros) and structured records (counters and tables).
void WriteMixedData(const fs::path& path, size_t size, uint32_t seed) {
    static const char* kWords[] = {"flash", "block", "image", "BIOS", "setup", "table", "vendor", "update",
                                   "driver", "model", "serial", "version", "check", "write", "read", "port"};
    std::mt19937 rng(seed);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(64 * 1024, '\0');
    for (size_t done = 0; done < size; done += block.size()) {
        switch (rng() % 4) {
            case 0:
                for (char& c : block) c = static_cast<char>(rng());
                break;
            case 1: {
                size_t at = 0;
                while (at < block.size()) {
                    const char* w = kWords[rng() % 16];
                    for (const char* p = w; *p && at < block.size(); ++p) block[at++] = *p;
                    if (at < block.size()) block[at++] = (rng() % 9 == 0) ? '\n' : ' ';
                }
                break;
            }
            case 2:
                std::fill(block.begin(), block.end(), '\0');
                for (int i = 0; i < 64; ++i) block[rng() % block.size()] = static_cast<char>(rng());
                break;
            default:
                for (size_t i = 0; i + 8 <= block.size(); i += 8) {
                    uint32_t v = static_cast<uint32_t>(done + i) / 8;
                    std::memcpy(&block[i], &v, 4);
                    uint32_t w = v * 2654435761u >> 28;
                    std::memcpy(&block[i + 4], &w, 4);
                }
        }
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
    }
}

// 37 entry sizes summing to exactly 100 MiB: one large image-like entry and a spread of others.
std::vector<size_t> EntrySizes() {
    std::vector<size_t> sizes;
    size_t total = 100 * kMiB;
    sizes.push_back(40 * kMiB);
    size_t rest = total - sizes[0];
    for (int i = 1; i < 37; ++i) {
        // Weights 1..36 spread the remaining 60 MiB unevenly; the last entry takes the rounding.
        size_t share = rest * static_cast<size_t>(i) / (36 * 37 / 2);
        sizes.push_back(share + static_cast<size_t>(i) * 517);  // no multiples of 4096
    }
    size_t sum = 0;
    for (size_t s : sizes) sum += s;
    sizes.back() = sizes.back() + total - sum;
    return sizes;
}

void CreateBenchWorld(const fs::path& root) {
    std::string text, error;
    if (!emu::ReadTextFile(std::string(ROMSHELL_SOURCE_DIR) + "/emu/machines/default.json", &text, &error) ||
        !emu::CreateWorld(root.string(), text, &error)) {
        Die("no emulated world: " + error);
    }
    if (!os::CreateDirectory(kExtraction) || !os::SetCurrentDirectory(kExtraction)) Die("no extraction folder");
}

// Places the packed program at the machine's program path without copying it.
void PlaceProgram(const fs::path& packed) {
    fs::path target = emu::HostPathOf(kProgram);
    fs::remove(target);
    fs::create_hard_link(packed, target);
}

double TimeProgramExtraction() {
    fs::path folder = emu::HostPathOf(kExtraction);
    for (const auto& item : fs::directory_iterator(folder)) fs::remove(item.path());
    ResetUpdateContext();
    uint32_t offset = 0;
    if (ReadPackageOffset(kProgram, &offset) != 0) Die("no package offset");
    auto start = Clock::now();
    int result = ExtractAllEntries(kProgram, offset);
    double seconds = Seconds(start);
    if (result != 0) Die("ExtractAllEntries gave " + std::to_string(result));
    return seconds;
}

double TimeGzip(const fs::path& members, const fs::path& out, int count) {
    fs::remove_all(out);
    fs::create_directories(out);
    std::string command = "cd '" + members.string() + "' && for i in $(seq 1 " + std::to_string(count) +
                          "); do gzip -dc $i.gz > '" + out.string() + "'/$i || exit 1; done";
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) Die("gzip -dc failed");
    return Seconds(start);
}

// Copies the file in 4096-byte steps, through the seam or with the host's calls.
double TimeSeamCopy(const char* from, const char* to) {
    auto start = Clock::now();
    os::Handle in = os::CreateFile(from, os::kGenericRead, os::kShareRead, os::kOpenExisting, os::kFileAttributeNormal);
    os::Handle out = os::CreateFile(to, os::kGenericWrite, os::kShareRead, os::kCreateAlways, os::kFileAttributeNormal);
    if (!os::IsValid(in) || !os::IsValid(out)) Die("seam copy cannot open its files");
    char buffer[4096];
    uint32_t got = 0, written = 0;
    while (os::ReadFile(in, buffer, sizeof buffer, &got) && got > 0) os::WriteFile(out, buffer, got, &written);
    os::CloseHandle(in);
    os::CloseHandle(out);
    return Seconds(start);
}

double TimeHostCopy(const fs::path& from, const fs::path& to) {
    auto start = Clock::now();
    int in = ::open(from.c_str(), O_RDONLY);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) Die("host copy cannot open its files");
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(in, buffer, sizeof buffer)) > 0) {
        if (::write(out, buffer, static_cast<size_t>(got)) != got) Die("host copy cannot write");
    }
    ::close(in);
    ::close(out);
    return Seconds(start);
}

// A packed program with one entry of the given size (zlib level 6: the reader does not care).
void BuildSingleEntryPackage(const fs::path& scratch, const std::string& name, size_t size, uint32_t seed,
                             const fs::path& program, const fs::path& packed) {
    fs::path payload = scratch / ("payload-" + name);
    fs::create_directories(payload);
    WriteMixedData(payload / name, size, seed);
    pack::Problems problems;
    if (!pack::BuildPackage({program.string(), payload.string(), 8, packed.string()}, &problems)) Die(problems[0]);
    fs::remove_all(payload);
}

// Runs this program again to extract one package and report its peak resident memory.
long PeakResidentKib(const fs::path& packed, const fs::path& root, long* beforeKib) {
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {self, "--rss-child", packed.string(), root.string()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) Die("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) Die("cannot start the child");
    close(pipeFds[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    long before = 0, peak = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(text.c_str(), "%ld %ld", &before, &peak) != 2) {
        Die("the memory child failed: " + text);
    }
    *beforeKib = before;
    return peak;
}

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS"); -1 when missing.
long StatusKib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(std::string(field) + ":", 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
    }
    return -1;
}

// Prints the resident memory before the extraction and the peak during it. The peak is reset
// once the world is set up (clear_refs 5), so that it tells the extraction's own footprint.
int RssChild(const char* packed, const char* root) {
    CreateBenchWorld(root);
    PlaceProgram(packed);
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = StatusKib("VmRSS");
    TimeProgramExtraction();
    std::printf("%ld %ld\n", before, StatusKib("VmHWM"));
    emu::DetachWorld();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--rss-child") == 0) return RssChild(argv[2], argv[3]);
    int rounds = 3;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: package_bench [--rounds N] [--keep]\n");
            return 2;
        }
    }

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/package-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Die("no scratch folder");
    fs::path scratch = pattern;
    std::printf("scratch folder %s\n", scratch.c_str());

    // A stand-in program file: the package goes behind it.
    fs::path program = scratch / "program.exe";
    {
        std::string image(64 * 1024, '\0');
        image[0] = 'M';
        image[1] = 'Z';
        std::ofstream(program, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    }

    // 1. 37 entries, 100 MiB.
    fs::path payload = scratch / "payload";
    fs::create_directories(payload);
    std::vector<size_t> sizes = EntrySizes();
    for (size_t i = 0; i < sizes.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "entry%02zu.bin", i + 1);
        WriteMixedData(payload / name, sizes[i], static_cast<uint32_t>(i + 1));
    }
    fs::path packed = scratch / "packed.exe";
    auto buildStart = Clock::now();
    pack::Problems problems;
    if (!pack::BuildPackage({program.string(), payload.string(), 8, packed.string()}, &problems)) Die(problems[0]);
    double buildSeconds = Seconds(buildStart);

    // The same members as separate .gz files for gzip.
    pack::PackageInfo info;
    if (!pack::ReadPackage(packed.string(), &info, &problems)) Die(problems[0]);
    fs::path members = scratch / "members";
    fs::create_directories(members);
    uint64_t storedTotal = 0;
    {
        std::ifstream in(packed, std::ios::binary);
        std::vector<char> data;
        for (size_t i = 0; i < info.entries.size(); ++i) {
            const pack::EntryInfo& e = info.entries[i];
            data.resize(static_cast<size_t>(e.storedSize));
            in.seekg(static_cast<std::streamoff>(e.headOffset + 264));
            in.read(data.data(), static_cast<std::streamsize>(data.size()));
            std::ofstream(members / (std::to_string(i + 1) + ".gz"), std::ios::binary)
                .write(data.data(), static_cast<std::streamsize>(data.size()));
            storedTotal += data.size();
        }
    }
    fs::remove_all(payload);
    std::printf("package: %zu entries, %zu bytes unpacked, %llu bytes stored (%.1f %%), built in %.1f s\n",
                info.entries.size(), size_t{100 * kMiB}, static_cast<unsigned long long>(storedTotal),
                100.0 * static_cast<double>(storedTotal) / (100.0 * kMiB), buildSeconds);

    fs::path root = scratch / "world";
    CreateBenchWorld(root);
    PlaceProgram(packed);
    double bestProgram = 1e9, bestGzip = 1e9;
    for (int round = 0; round < rounds; ++round) {
        double p = TimeProgramExtraction();
        double g = TimeGzip(members, scratch / "gzip-out", static_cast<int>(info.entries.size()));
        std::printf("round %d: program %.3f s, gzip -dc %.3f s\n", round + 1, p, g);
        bestProgram = std::min(bestProgram, p);
        bestGzip = std::min(bestGzip, g);
    }
    std::printf("extraction of 37 entries, 100 MiB: program %.3f s, gzip -dc %.3f s, ratio %.3f (target <= 1.15)\n",
                bestProgram, bestGzip, bestProgram / bestGzip);

    // 2. What the seam adds to 4096-byte reads and writes.
    std::string copyTarget = std::string(kExtraction) + "\\copy.bin";
    double seam = 1e9, host = 1e9;
    for (int round = 0; round < rounds; ++round) {
        seam = std::min(seam, TimeSeamCopy(kProgram, copyTarget.c_str()));
        host = std::min(host, TimeHostCopy(packed, scratch / "host-copy.bin"));
    }
    std::printf("4096-byte copy of the %.1f MiB package: through the seam %.3f s, host read/write %.3f s\n",
                static_cast<double>(fs::file_size(packed)) / kMiB, seam, host);
    emu::DetachWorld();
    fs::remove_all(root);
    fs::remove_all(members);
    fs::remove_all(scratch / "gzip-out");
    fs::remove(scratch / "host-copy.bin");

    // 3. Peak memory against entry size.
    fs::path small = scratch / "small.exe", large = scratch / "large.exe";
    BuildSingleEntryPackage(scratch, "small.bin", 2 * kMiB, 101, program, small);
    BuildSingleEntryPackage(scratch, "large.bin", 200 * kMiB, 202, program, large);
    long smallBefore = 0, largeBefore = 0;
    long smallPeak = PeakResidentKib(small, scratch / "world-small", &smallBefore);
    fs::remove_all(scratch / "world-small");
    long largePeak = PeakResidentKib(large, scratch / "world-large", &largeBefore);
    fs::remove_all(scratch / "world-large");
    std::printf("peak resident memory while extracting: 2 MiB entry %ld KiB (%ld KiB before), 200 MiB entry %ld KiB "
                "(%ld KiB before); apart by %ld KiB (target < 1024)\n",
                smallPeak, smallBefore, largePeak, largeBefore, std::labs(largePeak - smallPeak));

    if (!keep) fs::remove_all(scratch);
    return 0;
}
