#pragma once

// What the benchmark's modes share: timing, forked children with their peak memory,
// Info-ZIP's zip, and one engine run or verification in a child.

#include "BackupEngine.h"

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <string>

namespace bench {

namespace fs = std::filesystem;

double seconds(std::chrono::steady_clock::time_point since);

struct Measured
{
    double seconds = 0;
    double peakMb = 0; // the child's peak resident memory
};

double megabytes(const struct rusage& ru);
// Resident memory of this process now, in MB: what a child forked now starts with.
double residentMb();
// Runs body (which returns the seconds it measured) in a forked child and returns those
// seconds with the child's peak memory. A failure in the child is thrown here.
Measured inChildProcess(const std::function<double()>& body);
template <typename Body> Measured inChild(Body&& body)
{
    return inChildProcess(std::function<double()>(std::forward<Body>(body)));
}
// Runs `zip -qr -<level> <out> .` in the folder; returns the seconds taken and its peak.
Measured runZip(const fs::path& folder, const fs::path& out, int level);
uint64_t folderBytes(const fs::path& folder);
// Reads every entry of the archive to its end, as verification does.
double verifyTime(const fs::path& archive, const std::string& password);
// One run of the job by a fresh engine (the catalog is on the disk), in a child process.
Measured runEngine(const fs::path& work, const stowkeep::engine::BackupJob& job, const char* what);
Measured runVerify(const fs::path& archive, const std::string& password);
void clearFolder(const fs::path& folder);

// The modes on an existing folder (--tree, --codecs): TreeBench.cpp.
int treeModes(int argc, char** argv);

} // namespace bench
