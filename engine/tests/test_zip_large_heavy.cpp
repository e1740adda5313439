// Archives past the classic zip limits: entries and offsets over 4 GiB, more than 65,535
// entries. They write gigabytes, so they run only in the non-sanitizer pass.

#include "support/ArchiveTools.h"
#include "support/TempDir.h"

#include "zip/ZipReader.h"
#include "zip/ZipWriter.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace stowkeep::engine::zip;
using namespace stowkeep::test;

namespace {

constexpr uint64_t GiB = uint64_t{1} << 30;
constexpr uint64_t kHugeSize = 4 * GiB + GiB / 2;

EntrySource fileEntry(const fs::path& path, const std::string& name)
{
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    EntrySource e;
    e.name = name;
    e.mode = st.st_mode;
    e.mtime = st.st_mtim.tv_sec;
    e.path = path.string();
    e.size = static_cast<uint64_t>(st.st_size);
    return e;
}

// CRC-32 of n zero bytes.
uint32_t zeroCrc(uint64_t n)
{
    std::vector<unsigned char> zeros(1 << 20, 0);
    uLong crc = crc32(0, nullptr, 0);
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, zeros.size()));
        crc = crc32(crc, zeros.data(), static_cast<uInt>(k));
        n -= k;
    }
    return static_cast<uint32_t>(crc);
}

struct HugeCase
{
    const char* name;
    int level;
    const char* password;
};

class ZipHugeEntry : public ::testing::TestWithParam<HugeCase>
{
};

// A sparse file of 4.5 GiB, then a small file whose local header lies past 4 GiB when stored.
TEST_P(ZipHugeEntry, EntryOver4GiBReadBackByEveryReader)
{
    const HugeCase c = GetParam();
    const std::string password = c.password;
    TempDir dir;
    const fs::path huge = dir / "src/huge.bin";
    writeFile(dir / "src/after.txt", "after the huge one\n");
    {
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kHugeSize)), 0);
        ::close(fd);
    }
    const fs::path archive = dir / "huge.zip";
    ZipWriter::Options options;
    options.level = c.level;
    options.password = password;
    options.innerName = "inner.zip";
    const auto outcome = writeArchive(archive, {fileEntry(huge, "huge.bin"), fileEntry(dir / "src/after.txt", "after.txt")},
                                      options);
    fs::remove(huge);
    ASSERT_EQ(outcome.results.size(), 2u);
    EXPECT_EQ(outcome.results[0].status, EntryStatus::Written);
    EXPECT_EQ(outcome.results[0].size, kHugeSize);
    const uint32_t expectedCrc = zeroCrc(kHugeSize);
    EXPECT_EQ(outcome.results[0].crc, expectedCrc);
    if (c.level == 0) {
        EXPECT_GT(fs::file_size(archive), kHugeSize);
    }

    {
        ZipReader reader(archive.string(), password);
        ASSERT_EQ(reader.entries().size(), 2u);
        const ZipEntry& big = reader.entries()[0];
        EXPECT_EQ(big.size, kHugeSize);
        EXPECT_EQ(big.crc, expectedCrc);
        uint64_t got = 0;
        EXPECT_EQ(reader.read(big, [&](const char*, size_t n) { got += n; }), expectedCrc);
        EXPECT_EQ(got, kHugeSize);
        const ZipEntry& after = reader.entries()[1];
        if (c.level == 0) {
            EXPECT_GT(after.localHeaderOffset, 4 * GiB);
        }
        std::string text;
        reader.read(after, [&](const char* p, size_t n) { text.append(p, n); });
        EXPECT_EQ(text, "after the huge one\n");
    }

    std::vector<LibzipEntry> lz;
    std::string failure;
    EXPECT_TRUE(libzipReadAll(archive, password, lz, failure, false)) << failure;
    if (password.empty() && lz.size() == 2) {
        EXPECT_EQ(lz[0].readSize, kHugeSize);
        EXPECT_EQ(lz[0].readCrc, expectedCrc);
        EXPECT_EQ(lz[1].readSize, 19u);
    } else if (!password.empty() && lz.size() == 1) {
        EXPECT_GT(lz[0].readSize, kHugeSize);
    }

    const auto tested = sevenZipTest(archive, password);
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipHugeEntry,
                         ::testing::Values(HugeCase{"Deflated", 1, ""}, HugeCase{"StoredEncrypted", 0, "pw"}),
                         [](const auto& info) { return std::string(info.param.name); });

// 70,000 entries need the zip64 end of central directory record.
TEST(ZipManyEntries, MoreThan65535EntriesReadBackByEveryReader)
{
    constexpr int kCount = 70'000;
    TempDir dir;
    writeFile(dir / "one.txt", "tiny\n");
    const EntrySource source = fileEntry(dir / "one.txt", "");
    std::vector<EntrySource> entries;
    entries.reserve(kCount);
    for (int i = 0; i < kCount; ++i) {
        EntrySource e = source;
        e.name = "d" + std::to_string(i / 1000) + "/f" + std::to_string(i) + ".txt";
        entries.push_back(std::move(e));
    }
    const fs::path archive = dir / "many.zip";
    ZipWriter::Options options;
    const auto outcome = writeArchive(archive, entries, options);
    ASSERT_EQ(outcome.results.size(), static_cast<size_t>(kCount));
    EXPECT_EQ(outcome.reported.size(), static_cast<size_t>(kCount));

    ZipReader reader(archive.string(), "");
    ASSERT_EQ(reader.entries().size(), static_cast<size_t>(kCount));
    for (int i : {0, 65'534, 65'535, 65'536, kCount - 1}) {
        const ZipEntry& e = reader.entries()[static_cast<size_t>(i)];
        EXPECT_EQ(e.name, entries[static_cast<size_t>(i)].name);
        std::string text;
        reader.read(e, [&](const char* p, size_t n) { text.append(p, n); });
        EXPECT_EQ(text, "tiny\n");
    }

    EXPECT_EQ(libzipEntryCount(archive), kCount);
    std::vector<LibzipEntry> lz;
    std::string failure;
    ASSERT_TRUE(libzipReadAll(archive, "", lz, failure)) << failure;
    ASSERT_EQ(lz.size(), static_cast<size_t>(kCount));
    EXPECT_EQ(lz.back().name, entries.back().name);
    EXPECT_EQ(lz.back().data, "tiny\n");

    const auto tested = sevenZipTest(archive);
    EXPECT_EQ(tested.exitCode, 0) << tested.output.substr(0, 2000);
    EXPECT_NE(tested.output.find("Files: 70000"), std::string::npos) << tested.output.substr(0, 2000);
}

} // namespace
