// The zip writer under changing sources, failing destinations, cancellation and damage.

#include "support/ArchiveTools.h"
#include "support/TempDir.h"

#include "zip/OutputFile.h"
#include "zip/ZipReader.h"
#include "zip/ZipWriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace stowkeep::engine::zip;
using namespace stowkeep::test;

namespace {

constexpr uint64_t MiB = 1 << 20;

std::string pattern(size_t n, unsigned variant)
{
    std::string s(n, '\0');
    uint32_t x = variant * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        // compressible, but not trivially: a small alphabet with runs
        s[i] = static_cast<char>('a' + ((x >> 16) % 7));
    }
    return s;
}

uint32_t crcOf(const std::string& s)
{
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

EntrySource fileEntry(const fs::path& path, const std::string& name)
{
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    EntrySource e;
    e.name = name;
    e.kind = EntryKind::File;
    e.mode = st.st_mode;
    e.mtime = st.st_mtim.tv_sec;
    e.path = path.string();
    e.size = static_cast<uint64_t>(st.st_size);
    return e;
}

// Every independent reader accepts the archive; returns what the engine's reader sees.
std::map<std::string, std::string> checkReadable(const fs::path& archive, const std::string& password = {})
{
    std::vector<LibzipEntry> lz;
    std::string failure;
    EXPECT_TRUE(libzipReadAll(archive, password, lz, failure)) << failure;
    const auto tested = sevenZipTest(archive, password);
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    return readArchive(archive, password);
}

// ---- a file that changes between the selection's lstat and its reading ----

struct ChangeCase
{
    const char* name;
    uint64_t actualSize;   // what the file holds when it is read
    uint64_t recordedSize; // what the selection saw
    int64_t mtimeShift;    // recorded mtime minus actual
    EntryStatus expected;
};

class ZipChangedFile : public ::testing::TestWithParam<std::tuple<ChangeCase, int>>
{
};

TEST_P(ZipChangedFile, EntryHoldsWhatWasReadAndArchiveStaysValid)
{
    const auto [c, level] = GetParam();
    TempDir dir;
    const std::string content = pattern(c.actualSize, 7);
    writeFile(dir / "changing.txt", content);
    writeFile(dir / "after.txt", "the entry after it\n");
    EntrySource changing = fileEntry(dir / "changing.txt", "changing.txt");
    changing.size = c.recordedSize;
    changing.mtime += c.mtimeShift;

    ZipWriter::Options options;
    options.level = level;
    options.threads = 2;
    const fs::path archive = dir / "out.zip";
    const auto outcome = writeArchive(archive, {changing, fileEntry(dir / "after.txt", "after.txt")}, options);

    ASSERT_EQ(outcome.results.size(), 2u);
    const EntryResult& r = outcome.results[0];
    EXPECT_EQ(r.status, c.expected) << r.error;
    EXPECT_EQ(r.error.empty(), c.expected == EntryStatus::Written) << r.error;
    const std::string held = content.substr(0, static_cast<size_t>(std::min(c.actualSize, c.recordedSize)));
    EXPECT_EQ(r.size, held.size());
    EXPECT_EQ(r.crc, crcOf(held));
    EXPECT_EQ(outcome.results[1].status, EntryStatus::Written);

    const auto tree = checkReadable(archive);
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_TRUE(tree.at("changing.txt") == held) << "the entry must hold exactly the bytes read";
    EXPECT_EQ(tree.at("after.txt"), "the entry after it\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZipChangedFile,
    ::testing::Combine(
        ::testing::Values(ChangeCase{"Unchanged", 5000, 5000, 0, EntryStatus::Written},
                          ChangeCase{"UnchangedTwoBlocks", 2 * MiB, 2 * MiB, 0, EntryStatus::Written},
                          ChangeCase{"ShrankSmall", 1000, 5000, 0, EntryStatus::Changed},
                          ChangeCase{"GrewSmall", 5000, 1000, 0, EntryStatus::Changed},
                          ChangeCase{"ShrankToNothing", 0, 4000, 0, EntryStatus::Changed},
                          ChangeCase{"ShrankInSecondBlock", MiB + MiB / 2, 3 * MiB, 0, EntryStatus::Changed},
                          ChangeCase{"ShrankToBlockBoundary", MiB, 2 * MiB + 10, 0, EntryStatus::Changed},
                          ChangeCase{"GrewBeyondTwoBlocks", 2 * MiB + 300, 2 * MiB, 0, EntryStatus::Changed},
                          ChangeCase{"TouchedSameSize", 7000, 7000, -100, EntryStatus::Changed}),
        ::testing::Values(0, 6)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_Level" + std::to_string(std::get<1>(info.param));
    });

// ---- files that cannot be archived ----

TEST(ZipSkippedFiles, VanishedAndUnreadableFilesAreLeftOutOfAValidArchive)
{
    for (const std::string password : {"", "pw"}) {
        TempDir dir;
        writeFile(dir / "src/good1.txt", pattern(3000, 1));
        writeFile(dir / "src/good2.txt", pattern(2 * MiB, 2));
        fs::create_directories(dir / "src/a folder");
        ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0644), 0);
        writeFile(dir / "src/target.txt", "x");
        fs::create_symlink("target.txt", dir / "src/now a link");
        writeFile(dir / "src/locked.txt", "secret");
        fs::permissions(dir / "src/locked.txt", fs::perms::none);
        // Running as root, permissions do not stop reading: that case then expects success.
        const bool canLock = ::geteuid() != 0;

        auto asFile = [&](const std::string& name, uint64_t size) {
            EntrySource e;
            e.name = name;
            e.kind = EntryKind::File;
            e.mode = S_IFREG | 0644;
            e.mtime = 1'600'000'000;
            e.path = (dir / "src" / name).string();
            e.size = size;
            return e;
        };
        struct Expect
        {
            EntrySource entry;
            EntryStatus status;
        };
        std::vector<Expect> cases = {
            {fileEntry(dir / "src/good1.txt", "good1.txt"), EntryStatus::Written},
            {asFile("gone.txt", 100), EntryStatus::Vanished},
            {asFile("gone folder/file.txt", 100), EntryStatus::Vanished},
            {asFile("a folder", 4096), EntryStatus::Unreadable},  // a folder where the file was
            {asFile("pipe", 0), EntryStatus::Unreadable},         // must not block the run
            {asFile("now a link", 1), EntryStatus::Unreadable},   // never followed
            {fileEntry(dir / "src/locked.txt", "locked.txt"), canLock ? EntryStatus::Unreadable : EntryStatus::Written},
            {fileEntry(dir / "src/good2.txt", "good2.txt"), EntryStatus::Written},
        };
        std::vector<EntrySource> entries;
        for (const auto& c : cases)
            entries.push_back(c.entry);

        ZipWriter::Options options;
        options.password = password;
        options.innerName = "inner.zip";
        const fs::path archive = dir / "out.zip";
        const auto outcome = writeArchive(archive, entries, options);
        ASSERT_EQ(outcome.results.size(), cases.size());
        std::set<std::string> expectedNames;
        for (size_t i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(outcome.results[i].status, cases[i].status) << cases[i].entry.name;
            if (cases[i].status == EntryStatus::Written)
                expectedNames.insert(cases[i].entry.name);
            else
                EXPECT_FALSE(outcome.results[i].error.empty()) << cases[i].entry.name;
        }
        EXPECT_EQ(outcome.reported.size(), cases.size()) << "every entry is reported, skipped ones too";

        const auto tree = checkReadable(archive, password);
        std::set<std::string> names;
        for (const auto& [name, data] : tree)
            names.insert(name);
        EXPECT_EQ(names, expectedNames) << "password: " << password;
        EXPECT_TRUE(tree.at("good2.txt") == pattern(2 * MiB, 2));
    }
}

// ---- a failing destination ----

struct FaultCase
{
    const char* name;
    const char* password;
    uint64_t failAfter; // bytes written before the destination fails
    int error;
};

class ZipWriteFault : public ::testing::TestWithParam<FaultCase>
{
};

TEST_P(ZipWriteFault, WriteErrorSurfacesAndTheWriterStopsCleanly)
{
    const FaultCase c = GetParam();
    TempDir dir;
    std::vector<EntrySource> entries;
    for (int i = 0; i < 12; ++i) {
        const fs::path p = dir / ("src/file" + std::to_string(i));
        writeFile(p, pattern(i % 3 == 0 ? MiB + 1234 : 20'000, static_cast<unsigned>(i)));
        entries.push_back(fileEntry(p, "file" + std::to_string(i)));
    }
    std::atomic<uint64_t> written{0};
    std::atomic<int> failures{0};
    auto hook = [&](uint64_t bytes) {
        if (written + bytes > c.failAfter) {
            ++failures;
            return c.error;
        }
        written += bytes;
        return 0;
    };
    const fs::path archive = dir / "out.zip";
    ZipWriter::Options options;
    options.level = 1;
    options.password = c.password;
    options.innerName = "inner.zip";
    try {
        OutputFile out(archive.string(), hook);
        ZipWriter writer(out, options);
        for (const auto& e : entries)
            writer.add(e);
        writer.finish();
        out.close();
        FAIL() << "the write error was not reported";
    } catch (const WriteError& e) {
        EXPECT_EQ(e.error(), c.error);
        EXPECT_NE(std::string(e.what()).find(std::strerror(c.error)), std::string::npos) << e.what();
    }
    EXPECT_GE(failures.load(), 1);
    EXPECT_LE(written.load(), c.failAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipWriteFault,
                         ::testing::Values(FaultCase{"FullAtOnce", "", 0, ENOSPC},
                                           FaultCase{"FullMidway", "", 200'000, ENOSPC},
                                           FaultCase{"IoErrorMidway", "", 1'500'000, EIO},
                                           FaultCase{"EncryptedFullAtOnce", "pw", 0, ENOSPC},
                                           FaultCase{"EncryptedFullMidway", "pw", 200'000, ENOSPC}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ZipOutputFile, NeverOverwritesAndRefusesPatchesPastTheEnd)
{
    TempDir dir;
    writeFile(dir / "existing.zip", "keep me");
    try {
        OutputFile out((dir / "existing.zip").string());
        FAIL() << "an existing file was opened for writing";
    } catch (const WriteError& e) {
        EXPECT_EQ(e.error(), EEXIST);
    }
    EXPECT_EQ(readFile(dir / "existing.zip"), "keep me");

    OutputFile out((dir / "new.zip").string());
    out.write("abcdef", 6);
    out.patch(2, "XY", 2);
    EXPECT_THROW(out.patch(5, "XY", 2), WriteError);
    EXPECT_EQ(out.position(), 6u);
    out.sync();
    out.close();
    EXPECT_EQ(readFile(dir / "new.zip"), "abXYef");
    EXPECT_THROW(out.write("x", 1), WriteError);
}

// Once synced, none of the file stays in the page cache, so that verification reads it from
// the disk. (A file system in memory has no disk to read from.)
TEST(ZipOutputFile, SyncedFileIsReadFromTheDiskAgain)
{
    TempDir dir;
    struct statfs fs {};
    ASSERT_EQ(::statfs(dir.path().c_str(), &fs), 0);
    if (fs.f_type == TMPFS_MAGIC)
        GTEST_SKIP() << "the temporary folder is in memory";
    const fs::path path = dir / "cached.zip";
    const std::string bytes(3'000'000, 'b');
    OutputFile out(path.string());
    out.write(bytes.data(), bytes.size());
    out.patch(0, "PK", 2);
    out.sync();
    out.close();

    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    void* map = ::mmap(nullptr, bytes.size(), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(map, MAP_FAILED);
    const size_t pages = (bytes.size() + 4095) / 4096;
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(::mincore(map, bytes.size(), resident.data()), 0);
    ::munmap(map, bytes.size());
    EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }), 0);
}

// Many megabytes in pieces of every size, patched before and after the last megabytes,
// closed with and without a sync: the file holds exactly what was written. On ext4 the
// megabytes in the middle went past the page cache.
TEST(ZipOutputFile, LargeWritesAndPatchesLandWhereWritten)
{
    TempDir dir;
    for (const bool syncFirst : {true, false}) {
        const fs::path path = dir / (syncFirst ? "synced.bin" : "closed.bin");
        std::string expected;
        {
            OutputFile out(path.string());
            const size_t sizes[] = {1, 4095, 4097, 65536, 3 * MiB + 7, 100};
            for (size_t i = 0; expected.size() < 9 * MiB; ++i) {
                const std::string piece = pattern(sizes[i % std::size(sizes)], static_cast<unsigned>(i));
                out.write(piece.data(), piece.size());
                expected += piece;
            }
            EXPECT_EQ(out.position(), expected.size());
            out.patch(5, "early", 5);
            expected.replace(5, 5, "early");
            out.patch(expected.size() - 3, "end", 3);
            expected.replace(expected.size() - 3, 3, "end");
            if (syncFirst)
                out.sync();
            out.close();
        }
        struct statfs where {};
        if (::statfs(path.c_str(), &where) == 0 && where.f_type == 0xEF53) {
            const int fd = ::open(path.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            void* map = ::mmap(nullptr, expected.size(), PROT_READ, MAP_SHARED, fd, 0);
            ASSERT_NE(map, MAP_FAILED);
            unsigned char resident = 1;
            ASSERT_EQ(::mincore(static_cast<char*>(map) + 4 * MiB, 4096, &resident), 0);
            EXPECT_EQ(resident & 1, 0) << "the file's middle went through the page cache";
            ::munmap(map, expected.size());
            ::close(fd);
        }
        EXPECT_TRUE(readFile(path) == expected) << path;
    }
}

// ---- cancellation ----

struct CancelCase
{
    const char* name;
    int cancelAfterEntries; // entries reported done before the request
    const char* password;
};

class ZipCancel : public ::testing::TestWithParam<CancelCase>
{
};

TEST_P(ZipCancel, CancelledRunThrowsAndStopsItsThreads)
{
    const CancelCase c = GetParam();
    TempDir dir;
    const fs::path big = dir / "big.bin";
    writeFile(big, pattern(3 * MiB, 9));
    writeFile(dir / "small.txt", "small");
    std::vector<EntrySource> entries;
    for (int i = 0; i < 40; ++i)
        entries.push_back(fileEntry(i % 10 == 5 ? big : dir / "small.txt", "e" + std::to_string(i)));

    std::atomic<int> done{0};
    ZipWriter::Options options;
    options.password = c.password;
    options.innerName = "inner.zip";
    options.onEntryDone = [&](const EntryResult&) { ++done; };
    options.cancelled = [&] { return done.load() >= c.cancelAfterEntries; };
    OutputFile out((dir / "out.zip").string());
    bool cancelled = false;
    try {
        ZipWriter writer(out, options);
        for (const auto& e : entries)
            writer.add(e);
        writer.finish();
    } catch (const Cancelled&) {
        cancelled = true;
    }
    EXPECT_TRUE(cancelled);
    EXPECT_LT(done.load(), static_cast<int>(entries.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipCancel,
                         ::testing::Values(CancelCase{"BeforeAnything", 0, ""}, CancelCase{"AfterSome", 3, ""},
                                           CancelCase{"AfterSomeEncrypted", 7, "pw"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A writer dropped without finish() (the caller's own error) must not hang or leak.
TEST(ZipCancel, WriterAbandonedMidwayShutsDown)
{
    TempDir dir;
    writeFile(dir / "big.bin", pattern(4 * MiB, 3));
    OutputFile out((dir / "out.zip").string());
    {
        ZipWriter writer(out, {});
        for (int i = 0; i < 5; ++i)
            writer.add(fileEntry(dir / "big.bin", "big" + std::to_string(i)));
    }
    SUCCEED();
}

// ---- damage ----

struct DamageCase
{
    const char* name;
    int level;
    const char* password;
    // where to flip a byte, as a fraction of the file; negative: cut that many bytes off the end
    double where;
    size_t size = 600'000; // of the one entry (over 4 MiB: read back in a stream)
};

class ZipDamage : public ::testing::TestWithParam<DamageCase>
{
};

TEST_P(ZipDamage, ReaderRefusesDamagedArchive)
{
    const DamageCase c = GetParam();
    TempDir dir;
    writeFile(dir / "data.txt", pattern(c.size, 4));
    ZipWriter::Options options;
    options.level = c.level;
    options.password = c.password;
    options.innerName = "inner.zip";
    const fs::path archive = dir / "out.zip";
    writeArchive(archive, {fileEntry(dir / "data.txt", "data.txt")}, options);
    ASSERT_TRUE(readArchive(archive, c.password).at("data.txt") == pattern(c.size, 4));

    std::string bytes = readFile(archive);
    if (c.where < 0)
        bytes.resize(bytes.size() - static_cast<size_t>(-c.where));
    else
        bytes[static_cast<size_t>(c.where * static_cast<double>(bytes.size()))] ^= 0x20;
    const fs::path damaged = dir / "damaged.zip";
    writeFile(damaged, bytes);
    EXPECT_THROW(readArchive(damaged, c.password), ZipError);
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipDamage,
                         ::testing::Values(DamageCase{"StoredData", 0, "", 0.5},
                                           DamageCase{"DeflatedData", 6, "", 0.5},
                                           DamageCase{"LargeDeflatedData", 6, "", 0.5, 5 * MiB},
                                           DamageCase{"LocalHeader", 6, "", 0.0},
                                           DamageCase{"Truncated", 6, "", -30},
                                           DamageCase{"EncryptedData", 6, "pw", 0.5},
                                           DamageCase{"EncryptedStoredData", 0, "pw", 0.3},
                                           DamageCase{"EncryptedTruncated", 6, "pw", -5}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// Entries are checked on several threads but reported in the order asked; a damaged entry
// is named without stopping the others, and an exception from the caller stops the reading.
TEST(ZipCheckAll, InOrderDamageNamedAndCallerCanStop)
{
    TempDir dir;
    std::vector<EntrySource> entries;
    for (int i = 0; i < 200; ++i) {
        const fs::path p = dir / ("src/f" + std::to_string(i));
        writeFile(p, pattern(i == 57 ? 3 * MiB : 1000 + 37 * static_cast<size_t>(i), static_cast<unsigned>(i)));
        entries.push_back(fileEntry(p, "f" + std::to_string(i)));
    }
    const fs::path archive = dir / "out.zip";
    writeArchive(archive, entries, {});
    {
        // Damage the data of entry f100, after its local header.
        ZipReader reader(archive.string(), "");
        std::string bytes = readFile(archive);
        bytes[reader.entries()[100].localHeaderOffset + 60] ^= 0x55;
        writeFile(dir / "damaged.zip", bytes);
    }
    ZipReader reader((dir / "damaged.zip").string(), "");
    std::vector<size_t> which(reader.entries().size());
    for (size_t i = 0; i < which.size(); ++i)
        which[i] = which.size() - 1 - i; // any order the caller likes
    std::vector<size_t> seen;
    reader.checkAll(which, [&](size_t i, const ZipReader::Check& check) {
        seen.push_back(i);
        EXPECT_EQ(check.error.empty(), i != 100) << i << ": " << check.error;
        if (check.error.empty()) {
            EXPECT_EQ(check.crc, reader.entries()[i].crc);
            EXPECT_EQ(check.size, reader.entries()[i].size);
        }
    }, 3);
    EXPECT_EQ(seen, which);

    size_t calls = 0;
    EXPECT_THROW(reader.checkAll(which, [&](size_t, const ZipReader::Check&) {
        if (++calls == 10)
            throw Cancelled();
    }), Cancelled);
    EXPECT_EQ(calls, 10u);
}

// Entries checked together are read from the archive at once. Local headers whose extra
// fields run longer than this writer's (other writers pad them) still read back whole.
TEST(ZipCheckAll, LongLocalExtraFields)
{
    auto le = [](std::string& s, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            s += static_cast<char>(v >> (8 * i));
    };
    std::string local, central;
    std::vector<std::string> contents;
    constexpr int kCount = 6;
    for (int i = 0; i < kCount; ++i) {
        const std::string name = "f" + std::to_string(i);
        const std::string& data = contents.emplace_back(300 + 100 * i, static_cast<char>('a' + i));
        const uint64_t offset = local.size();
        std::string common; // version needed, flags, method (stored), time and date, CRC, sizes, name length
        le(common, 10, 2), le(common, 0, 8);
        le(common, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())), 4);
        le(common, data.size(), 4), le(common, data.size(), 4), le(common, name.size(), 2);
        local += "PK\x03\x04" + common;
        le(local, 1004, 2);
        local += name;
        le(local, 0xcafe, 2), le(local, 1000, 2);
        local += std::string(1000, 'x') + data;
        central += "PK\x01\x02";
        le(central, 20, 2);
        central += common;
        central.append(12, '\0'); // no extra, comment or attributes
        le(central, offset, 4);
        central += name;
    }
    std::string end = "PK\x05\x06";
    le(end, 0, 4), le(end, kCount, 2), le(end, kCount, 2), le(end, central.size(), 4), le(end, local.size(), 4);
    le(end, 0, 2);
    TempDir dir;
    writeFile(dir / "padded.zip", local + central + end);

    ZipReader reader((dir / "padded.zip").string(), "");
    ASSERT_EQ(reader.entries().size(), static_cast<size_t>(kCount));
    std::vector<size_t> which(kCount);
    for (size_t i = 0; i < which.size(); ++i)
        which[i] = i;
    size_t checked = 0;
    reader.checkAll(which, [&](size_t i, const ZipReader::Check& check) {
        ++checked;
        EXPECT_EQ(check.error, "") << i;
        EXPECT_EQ(check.size, contents[i].size()) << i;
        EXPECT_EQ(check.crc, reader.entries()[i].crc) << i;
    });
    EXPECT_EQ(checked, which.size());
}

} // namespace
