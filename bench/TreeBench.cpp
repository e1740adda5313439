// stowkeep_bench --tree PATH [--rounds N] [--memory | --restore] [--dir WORK]
//
// Measures Stowkeep against Info-ZIP's zip on an existing folder: each case once per
// round (odd rounds in reverse order), the rounds interleaved so that a change in the
// machine's load touches every case alike, and the median of the rounds printed with the
// load average seen before each run.
// Then the same for Medium and zip -6 with one other busy process on the machine, and a
// restore of the Medium archive against `7z x` of it.
//
// With --memory: only a Medium backup (with and without a password) and its verification,
// for their peak memory on a folder of many files. With --restore: only the restores, as
// for the generated corpus (RestoreBench.cpp).
//
// stowkeep_bench --codecs PATH: the zip writer alone on that folder, with each choice of
// deflate library for whole entries and for blocks of large ones, at levels 1, 6 and 9.

#include "BenchSupport.h"

#include "zip/ZipWriter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace stowkeep::engine;

namespace bench {

namespace {

// A process that keeps one core busy, as another program would, until it is stopped.
class BusyProcess
{
public:
    BusyProcess()
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            volatile uint64_t x = 0;
            for (;;)
                x = x + 1;
        }
        if (m_pid < 0)
            throw std::runtime_error("fork failed");
    }
    ~BusyProcess()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    BusyProcess(const BusyProcess&) = delete;
    BusyProcess& operator=(const BusyProcess&) = delete;

private:
    pid_t m_pid = -1;
};

struct Case
{
    std::string name;
    int level = 6;          // zip's level, or the job's
    bool zip = false;       // Info-ZIP's zip instead of a backup
    std::string password;
    bool verify = false;    // verification of the case's archive (plain Medium)
};

// With `only` (e.g. "None"), just the cases whose name starts with it, and their zip
// counterparts: for a quick look at one mode.
int treeMain(const fs::path& tree, const fs::path& work, int rounds, bool memoryOnly, const std::string& only)
{
    uint64_t files = 0, bytes = 0;
    for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it)
        if (!it->is_symlink() && it->is_regular_file()) {
            ++files;
            bytes += it->file_size();
        }
    std::printf("tree: %s, %llu files, %.1f MB; %d interleaved rounds\n", tree.c_str(),
                static_cast<unsigned long long>(files), static_cast<double>(bytes) / 1e6, rounds);
    const fs::path dest = work / "dest";
    const fs::path zipOut = work / "zip-out.zip";
    const fs::path keptFolder = work / "kept"; // the Medium archive, kept for verification and restore
    fs::path kept;
    FileSelection selection;
    selection.IncludeItem(tree.string() + "/", -1);

    auto runCase = [&](const Case& c) {
        Sample s;
        s.load = loadAverage();
        if (c.zip) {
            fs::remove(zipOut);
            const Measured m = runZip(tree, zipOut, c.level);
            s.seconds = m.seconds;
            s.peakMb = m.peakMb;
            s.cpuSeconds = m.cpuSeconds;
            s.bytes = fs::file_size(zipOut);
            fs::remove(zipOut);
            return s;
        }
        if (c.verify) {
            const Measured m = runVerify(kept, "");
            s.seconds = m.seconds;
            s.peakMb = m.peakMb;
            s.cpuSeconds = m.cpuSeconds;
            return s;
        }
        clearFolder(dest);
        fs::remove_all(work / "engine");
        BackupJob job;
        job.setBackupFolder(dest.string());
        job.setBackupSetName("tree");
        job.setSelection(&selection);
        job.setCompressionLevel(c.level);
        job.setEncryptionPassword(c.password);
        job.setVerifyAfterBackup(false);
        const Measured m = runEngine(work / "engine", job, c.name.c_str());
        s.seconds = m.seconds;
        s.peakMb = m.peakMb;
        s.cpuSeconds = m.cpuSeconds;
        s.bytes = folderBytes(dest);
        if (c.level == 6 && c.password.empty()) {
            clearFolder(keptFolder);
            const fs::path archive = fs::directory_iterator(dest)->path();
            kept = keptFolder / archive.filename();
            fs::rename(archive, kept);
        }
        clearFolder(dest);
        return s;
    };

    std::vector<Case> quiet = {
        {"zip -ry -6", 6, true, "", false},          {"Medium", 6, false, "", false},
        {"verification (Medium)", 6, false, "", true}, {"Medium, password", 6, false, "pw", false},
        {"zip -ry -1", 1, true, "", false},          {"Low", 1, false, "", false},
        {"None", 0, false, "", false},              {"None, password", 0, false, "pw", false},
    };
    if (memoryOnly) {
        // One Medium backup, with a password, and the verification: their time and peak memory.
        for (const Case& c : {Case{"Medium", 6, false, "", false}, Case{"Medium, password", 6, false, "pw", false},
                              Case{"verification (Medium)", 6, false, "", true}}) {
            const Sample s = runCase(c);
            std::printf("%-24s %8.2f s  peak %.1f MB  [load %.1f]\n", c.name.c_str(), s.seconds, s.peakMb, s.load);
        }
        return 0;
    }
    std::vector<Case> loaded = {{"zip -ry -6", 6, true, "", false}, {"Medium", 6, false, "", false}};
    if (!only.empty()) {
        auto unwanted = [&](const Case& c) {
            const int level = only == "Low" ? 1 : only == "None" ? 0 : 6;
            return c.name.rfind(only, 0) != 0 && !(c.zip && c.level == level);
        };
        std::erase_if(quiet, unwanted);
        std::erase_if(loaded, unwanted);
    }
    std::map<std::string, Series> q, l;
    // Odd rounds take the cases in reverse order. A case gains or loses a few percent from
    // the one before it (a password run measured 0.98 of Medium right after it and 1.06
    // right before it); in reverse it follows another one in half the rounds. Verification
    // still finds an archive: the first round runs Medium before it.
    for (int r = 0; r < rounds; ++r) {
        auto inOrder = [r](std::vector<Case> cases) {
            if (r % 2 == 1)
                std::reverse(cases.begin(), cases.end());
            return cases;
        };
        for (const Case& c : inOrder(quiet))
            q[c.name].samples.push_back(runCase(c));
        BusyProcess busy;
        for (const Case& c : inOrder(loaded))
            l[c.name].samples.push_back(runCase(c));
    }
    auto line = [&](const char* label, const Series& s, double reference, const char* goal) {
        if (s.samples.empty())
            return;
        const Sample m = s.median();
        std::printf("%-24s %8.2f s", label, m.seconds);
        if (m.bytes)
            std::printf("  %8.1f MB", static_cast<double>(m.bytes) / 1e6);
        else
            std::printf("  %11s", "");
        if (reference > 0)
            std::printf("  ratio %.2f%s", m.seconds / reference, goal);
        std::printf("   [load %s; peak %.0f MB; cpu %.2f s]\n", s.loads().c_str(), m.peakMb, m.cpuSeconds);
    };
    auto median = [](const Series& s) { return s.samples.empty() ? 0.0 : s.median().seconds; };
    const double zip6 = median(q["zip -ry -6"]);
    const double zip1 = median(q["zip -ry -1"]);
    const double medium = median(q["Medium"]);
    const double none = median(q["None"]);
    std::printf("\n== quiet (medians) ==\n");
    line("zip -ry -6", q["zip -ry -6"], 0, "");
    line("Medium", q["Medium"], zip6, " of zip -6 (goal <= 0.30)");
    line("Medium, password", q["Medium, password"], medium, " of Medium (goal <= 1.05)");
    line("verification (Medium)", q["verification (Medium)"], medium, " of Medium (goal <= 0.15)");
    line("zip -ry -1", q["zip -ry -1"], 0, "");
    line("Low", q["Low"], zip1, " of zip -1 (goal <= 0.15)");
    line("None", q["None"], 0, "");
    line("None, password", q["None, password"], none, " of None (goal <= 1.40)");
    std::printf("\n== one other busy process (medians) ==\n");
    line("zip -ry -6", l["zip -ry -6"], 0, "");
    line("Medium", l["Medium"], median(l["zip -ry -6"]), " of zip -6 (goal <= 0.30)");
    if (!only.empty())
        return 0;

    // Stowkeep's restore of the Medium archive against 7-Zip's extraction of it; there is no
    // catalog, so the archive's own manifest tells the run.
    try {
        measureRestore({{"Medium", work / "no-catalog", keptFolder, "tree", "", {}}}, work, rounds);
    } catch (const std::exception& e) {
        std::printf("restore: %s\n", e.what());
    }
    return 0;
}

// The zip writer alone, in this process, for one choice of codecs.
Sample writeWith(const std::vector<zip::EntrySource>& entries, const fs::path& out, int level, zip::DeflateCodec whole,
                 zip::DeflateCodec blocks)
{
    Sample s;
    s.load = loadAverage();
    fs::remove(out);
    const auto start = std::chrono::steady_clock::now();
    {
        zip::OutputFile file(out.string());
        zip::ZipWriter::Options o;
        o.level = level;
        o.wholeCodec = whole;
        o.blockCodec = blocks;
        o.collectResults = false;
        zip::ZipWriter writer(file, o);
        for (const auto& e : entries)
            writer.add(e);
        writer.finish();
        file.close();
    }
    s.seconds = seconds(start);
    s.bytes = fs::file_size(out);
    fs::remove(out);
    return s;
}

int codecsMain(const fs::path& tree, const fs::path& work, int rounds)
{
    std::vector<zip::EntrySource> entries;
    for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        zip::EntrySource e;
        e.name = it->path().lexically_relative(tree).generic_string();
        e.mode = st.st_mode;
        e.mtime = st.st_mtim.tv_sec;
        e.path = it->path().string();
        e.size = static_cast<uint64_t>(st.st_size);
        entries.push_back(std::move(e));
    }
    std::printf("tree: %s, %zu files; the zip writer alone, median of %d rounds\n", tree.c_str(), entries.size(),
                rounds);
    const fs::path out = work / "codecs.zip";
    using C = zip::DeflateCodec;
    struct Choice
    {
        const char* name;
        C whole, blocks;
    };
    const std::vector<Choice> choices = {{"zlib / zlib", C::Zlib, C::Zlib},
                                         {"libdeflate / zlib", C::Libdeflate, C::Zlib},
                                         {"libdeflate / libdeflate, final bit cleared", C::Libdeflate, C::Libdeflate},
                                         {"libdeflate / the smaller per entry", C::Libdeflate, C::Auto},
                                         {"libdeflate / our own (level 6 only)", C::Libdeflate, C::Lazy},
                                         {"ISA-L / ISA-L", C::Isal, C::Isal},
                                         {"libdeflate / ISA-L", C::Libdeflate, C::Isal}};
    for (int level : {1, 6, 9}) {
        std::printf("\n== level %d (whole entries / blocks of large ones) ==\n", level);
        std::map<std::string, Series> results;
        for (int r = 0; r < rounds; ++r)
            for (const Choice& c : choices) {
                if ((c.whole == C::Isal || c.blocks == C::Isal) && level != 1)
                    continue;
                if (c.blocks == C::Lazy && level != 6)
                    continue;
                results[c.name].samples.push_back(writeWith(entries, out, level, c.whole, c.blocks));
            }
        for (const Choice& c : choices) {
            if (!results.count(c.name))
                continue;
            const Sample m = results[c.name].median();
            std::printf("%-44s %7.2f s  %9.1f MB   [load %s]\n", c.name, m.seconds, static_cast<double>(m.bytes) / 1e6,
                        results[c.name].loads().c_str());
        }
    }
    return 0;
}

} // namespace

int treeModes(int argc, char** argv)
{
    fs::path tree;
    fs::path work;
    int rounds = 3;
    bool codecs = false;
    bool memoryOnly = false;
    bool restoreOnly = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--tree" || a == "--codecs") && i + 1 < argc) {
            codecs = a == "--codecs";
            tree = argv[++i];
        } else if (a == "--memory") {
            memoryOnly = true;
        } else if (a == "--restore") {
            restoreOnly = true;
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::stoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            work = argv[++i];
        } else {
            std::fprintf(stderr, "usage: stowkeep_bench --tree|--codecs PATH [--rounds N] [--memory | --restore | --only Medium|Low|None] [--dir work]\n");
            return 2;
        }
    }
    const bool ownWork = work.empty();
    if (ownWork) {
        std::string pattern = (fs::temp_directory_path() / "stowkeep-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            return std::perror("mkdtemp"), 1;
        work = pattern;
    }
    int rc = 1;
    try {
        fs::create_directories(work);
        tree = fs::canonical(tree);
        // Warm the page cache so that no case pays for the first read alone.
        runZip(tree, work / "warm.zip", 0);
        fs::remove(work / "warm.zip");
        if (restoreOnly && !codecs) {
            FileSelection selection;
            selection.IncludeItem(tree.string() + "/", -1);
            restoreBench(selection, work, rounds);
            rc = 0;
        } else {
            rc = codecs ? codecsMain(tree, work, rounds) : treeMain(tree, work, rounds, memoryOnly, only);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "stowkeep_bench: %s\n", e.what());
    }
    if (ownWork)
        fs::remove_all(work);
    return rc;
}

} // namespace bench
