#pragma once

// What the benchmark's modes share: timing, forked children with their peak memory,
// Info-ZIP's zip, and one engine run or verification in a child.

#include "BackupEngine.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

double seconds(std::chrono::steady_clock::time_point since);
// The machine's load average over the last minute, as /proc/loadavg has it (-1: unknown).
double loadAverage();

struct Sample
{
    double seconds = 0;
    double load = 0;
    double peakMb = 0;
    double cpuSeconds = 0; // user and system time of the measuring child
    uint64_t bytes = 0; // archive size
};

// One case's samples over interleaved rounds.
struct Series
{
    std::vector<Sample> samples;

    Sample median() const;
    std::string loads() const;
};

struct Measured
{
    double seconds = 0;
    double peakMb = 0; // the child's peak resident memory
    double cpuSeconds = 0; // the child's user and system time
};

double megabytes(const struct rusage& ru);
double cpuSeconds(const struct rusage& ru); // user and system time
// Resident memory of this process now, in MB: what a child forked now starts with.
double residentMb();
// Runs body (which returns the seconds it measured) in a forked child and returns those
// seconds with the child's peak memory. A failure in the child is thrown here.
Measured inChildProcess(const std::function<double()>& body);
template <typename Body> Measured inChild(Body&& body)
{
    return inChildProcess(std::function<double()>(std::forward<Body>(body)));
}
// Runs `zip -qry -<level> <out> .` in the folder; returns the seconds taken, its peak and CPU time.
Measured runZip(const fs::path& folder, const fs::path& out, int level);
uint64_t folderBytes(const fs::path& folder);
// Reads every entry of the archive to its end, as verification does.
double verifyTime(const fs::path& archive, const std::string& password);
// One run of the job by a fresh engine (the catalog is on the disk), in a child process.
Measured runEngine(const fs::path& work, const stowkeep::engine::BackupJob& job, const char* what);
Measured runVerify(const fs::path& archive, const std::string& password);
void clearFolder(const fs::path& folder);
// `7z x` of the archive into the folder (only the given names, when any; -p with a
// password); returns the seconds taken and its peak.
Measured sevenZipExtract(const fs::path& archive, const fs::path& out, const std::string& password = {},
                         const std::vector<std::string>& names = {});

// One restore to measure: the newest run of a set (none of `paths`: all of it).
struct RestoreCase
{
    std::string label;
    fs::path catalogFolder; // may hold no catalog: the archives' manifests tell the runs
    fs::path backupFolder;
    std::string set;
    std::string password;
    std::vector<std::string> paths;
};
// Stowkeep's restore of the case into the target, by a fresh engine in a child process:
// the runs listed, the newest restored. RestoreBench.cpp.
Measured runRestore(const RestoreCase& c, const fs::path& target);
// The same by hand with 7-Zip: `7z x` of the run's archive; with a password, of the outer
// archive into `scratch`, then of the inner archive it holds (both steps count).
Measured sevenZipRestore(const RestoreCase& c, const fs::path& scratch, const fs::path& out);
// Interleaved rounds of each case and its 7-Zip counterpart (which goes first alternating),
// each into an emptied folder with the disk synced before; prints the medians with the
// load averages.
void measureRestore(const std::vector<RestoreCase>& cases, const fs::path& work, int rounds);
// Medium backups of the selection, plain and with a password (catalog in work), then
// measureRestore on both and on a few files out of the encrypted archive.
void restoreBench(const stowkeep::engine::FileSelection& selection, const fs::path& work, int rounds);

// The modes on an existing folder (--tree, --codecs): TreeBench.cpp.
int treeModes(int argc, char** argv);

} // namespace bench
