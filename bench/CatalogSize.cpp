// stowkeep_bench --catalog [--files N] [--runs N] [--dir path]
//
// How the catalog grows: a full backup of N small files (100,000 by default), then runs of
// "only new and modified files" that each change 1 % of them, with the size of catalog.db
// after each; then the time of an incremental run that finds nothing changed, and of
// listing the newest and the oldest run's files as a restore would.

#include "BackupEngine.h"
#include "Catalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace stowkeep::engine;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void writeSmallFile(const fs::path& path, const std::string& content, int64_t mtime)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Folders of a hundred files each, two levels deep, with names of a realistic length.
std::vector<fs::path> makeTree(const fs::path& root, uint64_t files)
{
    std::vector<fs::path> paths;
    paths.reserve(files);
    for (uint64_t i = 0; i < files; ++i) {
        const uint64_t folder = i / 100;
        const fs::path dir =
            root / ("project-" + std::to_string(folder / 100)) / ("module " + std::to_string(folder % 100));
        if (i % 100 == 0)
            fs::create_directories(dir);
        paths.push_back(dir / ("source-file-" + std::to_string(i) + ".txt"));
        writeSmallFile(paths.back(), "file " + std::to_string(i) + "\n", 1'700'000'000 + static_cast<int64_t>(i));
    }
    return paths;
}

uint64_t catalogBytes(const fs::path& folder)
{
    uint64_t total = 0;
    for (const char* name : {"catalog.db", "catalog.db-wal"}) {
        std::error_code ec;
        const auto size = fs::file_size(folder / name, ec);
        if (!ec)
            total += size;
    }
    return total;
}

} // namespace

int catalogSizeBenchmark(int argc, char** argv)
{
    uint64_t files = 100'000;
    int runs = 20;
    fs::path dir;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--files" && i + 1 < argc)
            files = std::stoull(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            runs = std::stoi(argv[++i]);
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else
            return std::fprintf(stderr, "usage: stowkeep_bench --catalog [--files N] [--runs N] [--dir path]\n"), 2;
    }
    if (dir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "stowkeep-catalog-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            return std::perror("mkdtemp"), 1;
        dir = pattern;
    }
    const fs::path source = dir / "source";
    const fs::path dest = dir / "dest";
    const fs::path catalogs = dir / "catalog";
    fs::remove_all(source);
    fs::remove_all(dest);
    fs::remove_all(catalogs);
    fs::create_directories(dest);

    auto start = std::chrono::steady_clock::now();
    const auto paths = makeTree(source, files);
    std::printf("corpus: %llu files in %s (made in %.1f s)\n", static_cast<unsigned long long>(files), source.c_str(),
                secondsSince(start));

    BackupEngine engine;
    engine.setCatalogFolder(catalogs.string());
    engine.setLogFolder((dir / "logs").string());
    engine.setLogDetailLevel(1);
    FileSelection selection;
    selection.IncludeItem(source.string() + "/", -1);
    BackupJob job;
    job.setBackupFolder(dest.string());
    job.setBackupSetName("Catalog benchmark");
    job.setSelection(&selection);
    job.setBackupType(NewAndModified);
    job.setCompressionLevel(1);
    job.setVerifyAfterBackup(false);
    auto clock = std::chrono::system_clock::now();
    BackupEngine::TestHooks hooks;
    hooks.clock = [&clock] { return clock; };
    engine.setTestHooks(hooks);

    auto run = [&](const char* what) {
        clock += std::chrono::hours(24);
        const auto t = std::chrono::steady_clock::now();
        const int32_t rc = engine.RunJob(job);
        if (rc != Success)
            throw std::runtime_error(std::string(what) + ": " + engine.GetErrorText(0, rc));
        return secondsSince(t);
    };

    std::mt19937_64 random(42);
    uint64_t previous = 0;
    for (int r = 1; r <= runs; ++r) {
        if (r > 1) {
            // 1 % of the files, anywhere in the tree, get new content and a new time.
            for (uint64_t k = 0; k < files / 100; ++k) {
                const auto& path = paths[random() % files];
                const int64_t mtime = 1'800'000'000 + r * 1000 + static_cast<int64_t>(k);
                writeSmallFile(path, "run " + std::to_string(r) + "\n", mtime);
            }
        }
        const double s = run(r == 1 ? "full backup" : "incremental backup");
        const uint64_t size = catalogBytes(catalogs);
        std::printf("run %2d (%s): %6.2f s, catalog.db %8.2f MB (%+9.1f KB)\n", r,
                    r == 1 ? "full, all files" : "1 % changed", s, static_cast<double>(size) / 1e6,
                    (static_cast<double>(size) - static_cast<double>(previous)) / 1e3);
        previous = size;
    }

    double best = 1e9;
    for (int i = 0; i < 3; ++i)
        best = std::min(best, run("incremental backup, nothing changed"));
    std::printf("incremental run, nothing changed: %.3f s (best of 3); catalog.db %.2f MB\n", best,
                static_cast<double>(catalogBytes(catalogs)) / 1e6);

    Catalog catalog(catalogs.string(), "bench");
    const auto all = catalog.runs("Catalog benchmark", dest.string());
    for (const auto* which : {&all.back(), &all.front()}) {
        const auto t = std::chrono::steady_clock::now();
        const auto entries = catalog.entries(which->id);
        std::printf("listing the %s run's files: %zu entries in %.3f s\n", which == &all.back() ? "newest" : "oldest",
                    entries.size(), secondsSince(t));
    }
    return 0;
}
