// Restore speed: Stowkeep's restore of a set's newest run against what a user would do
// by hand with 7-Zip to get the same files back, in the same run, the rounds interleaved
// (and which goes first alternating), each into an empty folder of its own with the disk
// synced before, so that no case pays for another's writes. The folders go at the end of
// each round, followed by a pause: ext4 passes over the inodes of files deleted in the
// last 30 seconds when it makes new ones, which would weigh on whatever runs next.

#include "BenchSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

using namespace stowkeep::engine;

namespace bench {

namespace {

RunInfo newestRun(BackupEngine& engine, const RestoreJob& job)
{
    const auto newest = FindNewestRun(engine.ListRuns(job));
    if (!newest)
        throw std::runtime_error("no run of " + job.backupSetName() + " in " + job.backupFolder());
    return *newest;
}

RestoreJob jobOf(const RestoreCase& c)
{
    RestoreJob job;
    job.setBackupFolder(c.backupFolder.string());
    job.setBackupSetName(c.set);
    job.setEncryptionPassword(c.password);
    job.setPaths(c.paths);
    return job;
}

// Files and bytes in a folder's tree (links counted as files).
std::pair<uint64_t, uint64_t> treeSize(const fs::path& folder)
{
    uint64_t files = 0, bytes = 0;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_symlink()) {
            ++files;
        } else if (it->is_regular_file()) {
            ++files;
            bytes += it->file_size();
        }
    }
    return {files, bytes};
}

} // namespace

Measured runRestore(const RestoreCase& c, const fs::path& target)
{
    return inChild([&] {
        // Timed from the start: listing the runs opens the archives as a user's restore does.
        const auto start = std::chrono::steady_clock::now();
        BackupEngine engine;
        engine.setCatalogFolder(c.catalogFolder.string());
        engine.setLogFolder("");
        RestoreJob job = jobOf(c);
        job.setTargetFolder(target.string());
        job.setRun(newestRun(engine, job));
        RestoreReport report;
        const int32_t rc = engine.Restore(job, report);
        const double s = seconds(start);
        if (rc != Success)
            throw std::runtime_error("restore: " + engine.GetErrorText(0, rc));
        return s;
    });
}

Measured sevenZipRestore(const RestoreCase& c, const fs::path& scratch, const fs::path& out)
{
    BackupEngine engine;
    engine.setCatalogFolder(c.catalogFolder.string());
    engine.setLogFolder("");
    const fs::path archive = c.backupFolder / newestRun(engine, jobOf(c)).archive;
    if (c.password.empty())
        return sevenZipExtract(archive, out, {}, c.paths);
    // The outer archive holds one entry: the inner archive.
    Measured outer = sevenZipExtract(archive, scratch, c.password);
    const fs::path inner = fs::directory_iterator(scratch)->path();
    const Measured second = sevenZipExtract(inner, out, {}, c.paths);
    outer.seconds += second.seconds;
    outer.peakMb = std::max(outer.peakMb, second.peakMb);
    return outer;
}

void measureRestore(const std::vector<RestoreCase>& cases, const fs::path& work, int rounds)
{
    const fs::path outs = work / "restore-out";
    const fs::path scratch = work / "7z-scratch"; // the inner archive: one file
    fs::path out;
    int samples = 0;
    auto sample = [&](const std::function<Measured()>& run) {
        out = outs / std::to_string(++samples);
        clearFolder(scratch);
        ::sync();
        Sample s;
        s.load = loadAverage();
        const Measured m = run();
        s.seconds = m.seconds;
        s.peakMb = m.peakMb;
        return s;
    };
    struct Sizes
    {
        uint64_t files = 0, bytes = 0;
    };
    std::vector<Series> ours(cases.size()), sevenZip(cases.size());
    std::vector<Sizes> sizes(cases.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t c = 0; c < cases.size(); ++c) {
            const RestoreCase& k = cases[c];
            auto reference = [&] { sevenZip[c].samples.push_back(sample([&] { return sevenZipRestore(k, scratch, out); })); };
            if ((r + c) % 2 == 0)
                reference();
            ours[c].samples.push_back(sample([&] { return runRestore(k, out); }));
            if (r == 0) {
                const auto [files, bytes] = treeSize(out);
                sizes[c] = {files, bytes};
            }
            if ((r + c) % 2 == 1)
                reference();
        }
        fs::remove_all(outs);
        ::sync();
        if (r + 1 < rounds)
            std::this_thread::sleep_for(std::chrono::seconds(35));
    }
    fs::remove_all(scratch);

    std::printf("\n== restore of the newest run into an empty folder (medians of %d interleaved rounds) ==\n", rounds);
    for (size_t c = 0; c < cases.size(); ++c) {
        const Sample m = ours[c].median();
        const Sample ref = sevenZip[c].median();
        std::printf("%s: %llu files, %.1f MB\n", cases[c].label.c_str(), static_cast<unsigned long long>(sizes[c].files),
                    static_cast<double>(sizes[c].bytes) / 1e6);
        std::printf("  %-22s %8.2f s                         [load %s; peak %.0f MB]\n",
                    cases[c].password.empty() ? "7z x" : "7z x outer + inner", ref.seconds, sevenZip[c].loads().c_str(),
                    ref.peakMb);
        std::printf("  %-22s %8.2f s  %5.2f x as fast as 7z  [load %s; peak %.0f MB]\n", "Stowkeep restore", m.seconds,
                    ref.seconds / m.seconds, ours[c].loads().c_str(), m.peakMb);
    }
}

void restoreBench(const FileSelection& selection, const fs::path& work, int rounds)
{
    const std::string password = "benchmark password";
    const fs::path catalog = work / "catalog";
    fs::remove_all(catalog);
    std::vector<RestoreCase> cases;
    for (const char* set : {"plain", "encrypted"}) {
        const bool encrypted = std::string(set) == "encrypted";
        BackupJob job;
        job.setBackupFolder((work / set).string());
        job.setBackupSetName(set);
        job.setSelection(&selection);
        job.setCompressionLevel(6);
        job.setEncryptionPassword(encrypted ? password : "");
        job.setVerifyAfterBackup(false);
        clearFolder(work / set);
        const Measured m = runEngine(work, job, "Medium backup");
        std::printf("Medium backup%s: %.2f s, archive %.1f MB\n", encrypted ? " with a password" : "", m.seconds,
                    static_cast<double>(folderBytes(work / set)) / 1e6);
        cases.push_back({encrypted ? "Medium with a password" : "Medium", catalog, work / set, set,
                         encrypted ? password : "", {}});
    }

    // A few files spread over the run, out of the encrypted archive: only their parts of it
    // are read and decrypted.
    RestoreCase few = cases.back();
    {
        BackupEngine engine;
        engine.setCatalogFolder(catalog.string());
        engine.setLogFolder("");
        RestoreJob job = jobOf(few);
        job.setRun(newestRun(engine, job));
        std::vector<std::string> files;
        for (const ManifestRow& row : engine.ListFiles(job))
            if (row.kind == ManifestKind::File && row.size > 0)
                files.push_back(row.path);
        constexpr size_t kFew = 5;
        for (size_t k = 0; k < kFew && !files.empty(); ++k)
            few.paths.push_back(files[(2 * k + 1) * files.size() / (2 * kFew)]);
        few.label = "5 files out of the archive with a password";
    }
    cases.push_back(few);
    measureRestore(cases, work, rounds);
}

} // namespace bench
