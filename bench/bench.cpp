// stowkeep_bench <size> [--files N] [--dir path]
// stowkeep_bench <size> [--files N] --restore [--rounds N] [--dir path]
// stowkeep_bench --tree PATH | --codecs PATH (TreeBench.cpp)
//
// With --restore: Medium backups of the corpus, plain and with a password, then their
// restores (the whole run, and 5 files out of the encrypted archive) against 7-Zip's
// extraction of the same archives, in interleaved rounds (RestoreBench.cpp). With both a
// size and a file count, e.g. `1G --files 100000`, the corpus has exactly that many files.
//
// Generates a mixed corpus (many small text files, some large compressible files, some
// random data) of the given size (e.g. 1G, 300M) or number of files, then measures the
// engine against Info-ZIP's zip on the same tree in the same run, for "Medium" (deflate 6),
// "Low" (deflate 1) and "None" (stored): full backup, with a password, verification, an
// incremental run over the unchanged tree, and the peak memory. Run by hand; the figures
// go to stdout.
//
// Every measurement (ours and zip's) runs in a child process of its own, forked after the
// corpus is made, so that each peak memory figure is that run's alone: not the corpus
// generation's, nor that of the runs before it.

#include "BenchSupport.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace stowkeep::engine;
using namespace bench;

namespace {

struct Options
{
    uint64_t bytes = 0;
    uint64_t files = 0;
    fs::path dir;
    bool keepDir = false;
    bool restore = false;
    int rounds = 3;
};

uint64_t parseSize(const std::string& text)
{
    size_t used = 0;
    const double value = std::stod(text, &used);
    uint64_t unit = 1;
    if (used < text.size()) {
        switch (text[used]) {
        case 'k': case 'K': unit = 1ull << 10; break;
        case 'm': case 'M': unit = 1ull << 20; break;
        case 'g': case 'G': unit = 1ull << 30; break;
        default: throw std::invalid_argument("unknown size unit in " + text);
        }
    }
    return static_cast<uint64_t>(value * static_cast<double>(unit));
}

// xorshift64*: fast, and the same corpus on every run.
struct Random
{
    uint64_t state;
    uint64_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
    uint64_t below(uint64_t n) { return next() % n; }
};

const char* const kWords[] = {
    "backup", "archive", "the", "of", "and", "document", "folder", "report", "invoice", "meeting", "project",
    "budget", "summary", "data", "file", "holiday", "photo", "letter", "contract", "draft", "final", "version",
    "customer", "order", "note", "a", "to", "in", "is", "for", "with", "that", "this", "on", "from", "by",
    "schedule", "weekly", "monthly", "update", "review", "table", "chapter", "section", "figure", "result"};

// Written in pieces of about 1 MiB: a file of 64 MB is never held whole, so that the
// benchmark itself stays small before the measured runs.
void writeText(const fs::path& path, uint64_t size, Random& rng)
{
    constexpr size_t kPiece = size_t{1} << 20;
    std::ofstream out(path, std::ios::binary);
    std::string text;
    text.reserve(kPiece + 256);
    uint64_t written = 0;
    uint64_t made = 0;
    auto flush = [&] {
        const uint64_t n = std::min<uint64_t>(text.size(), size - written);
        out.write(text.data(), static_cast<std::streamsize>(n));
        written += n;
        text.clear();
    };
    while (made < size) {
        const size_t before = text.size();
        const int words = 6 + static_cast<int>(rng.below(10));
        for (int w = 0; w < words; ++w) {
            text += kWords[rng.below(std::size(kWords))];
            text += w + 1 == words ? ".\n" : " ";
        }
        if (rng.below(7) == 0)
            text += std::to_string(rng.next() % 100000) + "\t" + std::to_string(rng.next() % 1000) + "\n";
        made += text.size() - before;
        if (text.size() >= kPiece)
            flush();
    }
    flush();
}

void writeRandom(const fs::path& path, uint64_t size, Random& rng)
{
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(1 << 14);
    for (uint64_t done = 0; done < size;) {
        for (auto& v : block)
            v = rng.next();
        const uint64_t n = std::min<uint64_t>(size - done, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
}

struct Corpus
{
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Writes a corpus's files, 100 to a folder, 50 folders to a parent.
class CorpusWriter
{
public:
    explicit CorpusWriter(fs::path root)
        : m_root(std::move(root))
    {
    }

    void text(uint64_t size) { add(".txt", size, writeText); }
    // Large text files of 8-64 MB, then random data in files of 1-8 MB, up to the bytes given.
    void largeText(uint64_t bytes) { addUpTo(".log", bytes, 8ull << 20, 56ull << 20, writeText); }
    void random(uint64_t bytes) { addUpTo(".bin", bytes, 1ull << 20, 7ull << 20, writeRandom); }

    Random rng {0x9E3779B97F4A7C15ull};
    Corpus corpus;

private:
    using Write = void (*)(const fs::path&, uint64_t, Random&);

    void add(const char* ext, uint64_t size, Write write)
    {
        if (corpus.files % 100 == 0) {
            const uint64_t d = corpus.files / 100;
            m_dir = m_root / ("d" + std::to_string(d / 50)) / ("s" + std::to_string(d % 50));
            fs::create_directories(m_dir);
        }
        ++corpus.files;
        write(m_dir / ("f" + std::to_string(corpus.files) + ext), size, rng);
        corpus.bytes += size;
    }

    void addUpTo(const char* ext, uint64_t bytes, uint64_t least, uint64_t spread, Write write)
    {
        for (uint64_t done = 0; done < bytes;) {
            const uint64_t size = std::min<uint64_t>(bytes - done, least + rng.below(spread));
            add(ext, size, write);
            done += size;
        }
    }

    fs::path m_root;
    fs::path m_dir;
};

// Byte shares: 40% small text files, 40% large text files, 20% random data. With a file
// count, small files of 1-16 KB make up 95% of it (and, without a size, the large text
// and random files a quarter and a tenth of their bytes). With both, the large and the
// random files come first, then small files make up the count exactly, their sizes chosen
// so that they hold 40% of the bytes.
Corpus generate(const fs::path& root, const Options& o)
{
    CorpusWriter w(root);
    if (o.bytes && o.files) {
        const uint64_t largeBytes = o.bytes * 4 / 10;
        const uint64_t randomBytes = o.bytes * 2 / 10;
        w.largeText(largeBytes);
        w.random(randomBytes);
        const uint64_t smallCount = o.files > w.corpus.files ? o.files - w.corpus.files : 0;
        const uint64_t average = smallCount ? (o.bytes - largeBytes - randomBytes) / smallCount : 0;
        const uint64_t spread = average > 512 ? 2 * (average - 512) : 1;
        for (uint64_t n = 0; n < smallCount; ++n)
            w.text(512 + w.rng.below(spread));
        return w.corpus;
    }
    uint64_t smallBytes = o.bytes * 4 / 10;
    uint64_t largeBytes = o.bytes * 4 / 10;
    uint64_t randomBytes = o.bytes - smallBytes - largeBytes;
    const uint64_t smallCount = o.files ? o.files * 95 / 100 : 0;
    if (!o.bytes) {
        smallBytes = smallCount * 8192;
        largeBytes = smallBytes / 4;
        randomBytes = smallBytes / 10;
    }
    const uint64_t before = w.corpus.bytes;
    for (uint64_t n = 0; (smallCount ? n < smallCount : w.corpus.bytes - before < smallBytes); ++n)
        w.text(1024 + w.rng.below(15 * 1024));
    w.largeText(largeBytes);
    w.random(randomBytes);
    return w.corpus;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: stowkeep_bench <size, e.g. 1G> [--files N] [--dir path]\n"
                 "           backups of a generated corpus against zip -ry\n"
                 "       stowkeep_bench <size> [--files N] --restore [--rounds N] [--dir path]\n"
                 "           restores of Medium backups of it (plain, with a password, 5 files)\n"
                 "           against 7z x of the same archives\n"
                 "       stowkeep_bench --tree PATH [--rounds N] [--memory | --restore | --only Medium|Low|None] [--dir path]\n"
                 "           the same on an existing folder (--restore: only the restores)\n"
                 "       stowkeep_bench --codecs PATH [--rounds N] [--dir path]\n"
                 "           the zip writer alone with each deflate library\n");
}

} // namespace

int catalogSizeBenchmark(int argc, char** argv); // CatalogSize.cpp

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures show as they come, also into a file
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--tree" || std::string(argv[i]) == "--codecs")
            return treeModes(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--catalog")
        return catalogSizeBenchmark(argc, argv);
    Options o;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--files" && i + 1 < argc)
                o.files = std::stoull(argv[++i]);
            else if (a == "--dir" && i + 1 < argc)
                o.dir = argv[++i], o.keepDir = true;
            else if (a == "--restore")
                o.restore = true;
            else if (a == "--rounds" && i + 1 < argc)
                o.rounds = std::max(1, std::stoi(argv[++i]));
            else if (!a.empty() && a[0] != '-')
                o.bytes = parseSize(a);
            else
                return usage(), 2;
        }
    } catch (const std::exception&) {
        return usage(), 2;
    }
    if (!o.bytes && !o.files)
        return usage(), 2;
    if (o.dir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "stowkeep-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            return std::perror("mkdtemp"), 1;
        o.dir = pattern;
    }

    try {
        const fs::path corpus = o.dir / "corpus";
        const fs::path dest = o.dir / "dest";
        const fs::path zipOut = o.dir / "zip-out.zip";
        fs::remove_all(corpus);
        fs::create_directories(corpus);
        auto start = std::chrono::steady_clock::now();
        const Corpus c = generate(corpus, o);
        std::printf("corpus: %llu files, %.1f MB in %s (generated in %.1f s)\n",
                    static_cast<unsigned long long>(c.files), static_cast<double>(c.bytes) / 1e6,
                    corpus.c_str(), seconds(start));
        // Warm the page cache so that neither tool pays for the first read alone.
        runZip(corpus, zipOut, 0);
        fs::remove(zipOut);

        FileSelection selection;
        selection.IncludeItem(corpus.string() + "/*", -1);
        const double mb = static_cast<double>(c.bytes) / 1e6;

        if (o.restore) {
            restoreBench(selection, o.dir / "work-restore", o.rounds);
            if (!o.keepDir)
                fs::remove_all(o.dir);
            return 0;
        }

        const double parentMb = residentMb();
        double oursPeak = 0;
        double zipPeak = 0;
        for (const int level : {6, 1, 0}) {
            std::printf("\n== %s (level %d) ==\n", level == 6 ? "Medium" : level == 1 ? "Low" : "None", level);
            const fs::path work = o.dir / ("work-" + std::to_string(level));
            fs::remove_all(work);
            BackupJob job;
            job.setBackupFolder(dest.string());
            job.setSelection(&selection);
            job.setCompressionLevel(level);
            job.setVerifyAfterBackup(false);

            clearFolder(dest);
            job.setBackupSetName("plain");
            const Measured ours = runEngine(work, job, "full backup");
            const uint64_t oursSize = folderBytes(dest);
            const fs::path archive = fs::directory_iterator(dest)->path();
            const Measured verify = runVerify(archive, "");

            fs::remove(zipOut);
            const Measured zip = runZip(corpus, zipOut, level);
            const uint64_t zipSize = fs::file_size(zipOut);
            fs::remove(zipOut);

            job.setBackupType(NewAndModified);
            const Measured incremental = runEngine(work, job, "incremental backup");
            job.setBackupType(FullBackup);

            clearFolder(dest);
            job.setBackupSetName("encrypted");
            job.setEncryptionPassword("benchmark password");
            const Measured encrypted = runEngine(work, job, "encrypted backup");
            const fs::path encryptedArchive = fs::directory_iterator(dest)->path();
            const Measured verifyEncrypted = runVerify(encryptedArchive, "benchmark password");
            job.setEncryptionPassword("");
            clearFolder(dest);

            std::printf("full backup:        %7.2f s  %7.1f MB/s  archive %.1f MB\n", ours.seconds, mb / ours.seconds,
                        static_cast<double>(oursSize) / 1e6);
            std::printf("zip -qry -%d:        %7.2f s  %7.1f MB/s  archive %.1f MB\n", level, zip.seconds,
                        mb / zip.seconds, static_cast<double>(zipSize) / 1e6);
            std::printf("ours / zip:         %7.2f   (goals: Medium 0.3, Low 0.15)\n", ours.seconds / zip.seconds);
            std::printf("with password:      %7.2f s  ratio to without %.2f (goals: Medium 1.05, None 1.4)\n", encrypted.seconds,
                        encrypted.seconds / ours.seconds);
            std::printf("verification:       %7.2f s  (plain), %.2f s (encrypted); ratio to writing %.2f\n",
                        verify.seconds, verifyEncrypted.seconds, verify.seconds / ours.seconds);
            std::printf("incremental, same:  %7.2f s\n", incremental.seconds);
            std::printf("peak memory:        full %.1f MB, with password %.1f MB, verification %.1f / %.1f MB, "
                        "incremental %.1f MB; zip %.1f MB\n",
                        ours.peakMb, encrypted.peakMb, verify.peakMb, verifyEncrypted.peakMb, incremental.peakMb,
                        zip.peakMb);
            for (const Measured& m : {ours, verify, incremental, encrypted, verifyEncrypted})
                oursPeak = std::max(oursPeak, m.peakMb);
            zipPeak = std::max(zipPeak, zip.peakMb);
        }

        std::printf("\npeak memory: %.1f MB (stowkeep), %.1f MB (zip); each run in a child forked from %.1f MB\n",
                    oursPeak, zipPeak, parentMb);
        if (!o.keepDir)
            fs::remove_all(o.dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "stowkeep_bench: %s\n", e.what());
        if (!o.keepDir)
            fs::remove_all(o.dir);
        return 1;
    }
    return 0;
}
